// The Tonewell WebAssembly module's functions, for the page, its audio
// worklet and the tests: instantiates a compiled module synchronously
// (allowed off the main thread and for small modules) and wraps its exports.

const clockNow = () =>
  globalThis.performance !== undefined ? globalThis.performance.now() : Date.now();

// The system calls the module imports: a clock (for the moments it takes),
// an empty environment and an exit that cannot happen in a module without
// a main function.
function systemImports(memory) {
  const view = () => new DataView(memory().buffer);
  return {
    env: { emscripten_notify_memory_growth: () => {} },
    wasi_snapshot_preview1: {
      clock_time_get: (id, precision, out) => {
        view().setBigUint64(out, BigInt(Math.round(clockNow() * 1e6)), true);
        return 0;
      },
      proc_exit: (code) => {
        throw new Error(`the Tonewell module exited with ${code}`);
      },
      environ_sizes_get: (count, size) => {
        view().setUint32(count, 0, true);
        view().setUint32(size, 0, true);
        return 0;
      },
      environ_get: () => 0,
    },
  };
}

export const Phase = { idle: 0, playing: 1, finished: 2, failed: 3 };
export const Text = { output: 0, details: 1, finish: 2, status: 3 };

// One battle in one instance of the module.
export class TonewellBattle {
  constructor(module) {
    let memory = null;
    const instance = new WebAssembly.Instance(module, systemImports(() => memory));
    this.x = instance.exports;
    memory = this.x.memory;
    this.x._initialize();
  }

  bytes(address, length) {
    return new Uint8Array(this.x.memory.buffer, address, length);
  }

  // warriors: [{bytes: Uint8Array, fileName: Uint8Array}, {...}];
  // reader: 'load' or 'source'. Returns the phase.
  start(warriors, reader, soundSamples) {
    const inputs = [warriors[0].bytes, warriors[0].fileName, warriors[1].bytes, warriors[1].fileName];
    inputs.forEach((data, which) => {
      const address = this.x.tw_input(which, data.length);
      this.bytes(address, data.length).set(data);
    });
    return this.x.tw_start(reader === 'source' ? 1 : 0, soundSamples);
  }

  // SoundSamples read from `text` (bytes) as the console reads its third
  // argument, or null when it is no integer.
  parseSoundSamples(text) {
    this.bytes(this.x.tw_input(0, text.length), text.length).set(text);
    if (this.x.tw_parse_sound_samples() === 0) return null;
    return new DataView(this.x.memory.buffer, this.x.tw_text(), 4).getInt32(0, true);
  }

  // Runs `count` silent full-length battles of the two warriors (load form,
  // bytes); returns the instructions executed, -1 for a pair that is not
  // full-length.
  silentBattles(warriors, count) {
    const inputs = [warriors[0], new Uint8Array(0), warriors[1], new Uint8Array(0)];
    inputs.forEach((data, which) => {
      this.bytes(this.x.tw_input(which, data.length), data.length).set(data);
    });
    return this.x.tw_silent_battles(count);
  }

  phase() {
    return this.x.tw_phase();
  }

  // Renders `frames` frames; returns the number of samples the battle put
  // out. pcm(), left() and right() then view the rendered values.
  render(frames) {
    return this.x.tw_render(frames);
  }

  pcm(samples) {
    return new Int16Array(this.x.memory.buffer, this.x.tw_pcm(), samples);
  }

  left(frames) {
    return new Float32Array(this.x.memory.buffer, this.x.tw_left(), frames);
  }

  right(frames) {
    return new Float32Array(this.x.memory.buffer, this.x.tw_right(), frames);
  }

  // The bytes of text `kind` (Text), a copy.
  text(kind, value = 0) {
    const length = this.x.tw_make_text(kind, value);
    return this.bytes(this.x.tw_text(), length).slice();
  }

  requestMoment() {
    this.x.tw_request_moment();
  }

  // A copy of the moment asked for, or null while it is not taken yet.
  takeMoment() {
    const size = this.x.tw_take_moment();
    return size === 0 ? null : this.bytes(this.x.tw_moment(), size).slice();
  }

  // Shows `moment` (bytes from takeMoment of any instance) in the view.
  useMoment(moment) {
    this.bytes(this.x.tw_moment(), moment.length).set(moment);
    this.x.tw_use_moment();
    return new DataView(moment.buffer, moment.byteOffset, moment.length).getFloat64(0, true);
  }

  // The map of the moment in use: one byte a character (see tw_make_map).
  map(rows, cols) {
    const chars = this.x.tw_make_map(rows, cols);
    return this.bytes(this.x.tw_map(), chars);
  }
}
