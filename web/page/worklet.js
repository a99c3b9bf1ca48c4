// The battle runs here, in the audio thread: every time the audio system
// asks for frames, the battle hands out the next samples of its tones; an
// instruction takes effect when its tone's last sample has gone out, and the
// next tone is made then (web/BattleStream.h). What goes out is kept and
// handed to the page (the WAV download), and moments of the battle go to
// the page's view, each marked with the frame at which it is heard.
import { TonewellBattle, Phase, Text } from './module.js';

// Samples per recording message (about 0.74 s of sound).
const kRecordSamples = 1 << 16;
// A moment of the battle for the view every 80 ms of sound at most (12.5
// frames a second: the browser draws each at a cost).
const kMomentFrames = 3528;

class TonewellProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions;
    this.battle = new TonewellBattle(o.module);
    this.soundSamples = o.soundSamples;
    this.phase = this.battle.start(o.warriors, o.reader, o.soundSamples);
    this.record = new Int16Array(kRecordSamples);
    this.recorded = 0;
    this.startFrame = -1; // the frame at which the battle's first sample goes out
    this.samplesOut = 0;
    this.sinceMoment = kMomentFrames;
    this.starved = 0;
    this.quanta = 0;
    this.busyMs = 0;
    this.ended = false;
    this.stopped = false;
    this.port.onmessage = (event) => this.receive(event.data);
  }

  receive(message) {
    if (message.type === 'stop') {
      this.stopped = true;
    } else if (message.type === 'finish') {
      // The lines after the battle, with the page's elapsed time.
      const text = this.battle.text(Text.finish, message.seconds);
      this.port.postMessage({ type: 'finish-text', text }, [text.buffer]);
    }
  }

  process(inputs, outputs) {
    if (this.stopped) return false;
    if (this.ended) return true; // silence until the page lets go
    const began = Date.now();
    const out = outputs[0];
    const frames = out[0].length;
    if (this.startFrame < 0) this.startFrame = currentFrame;
    if (this.sinceMoment >= kMomentFrames) {
      this.battle.requestMoment();
      this.sinceMoment = 0;
    }
    const samples = this.battle.render(frames);
    out[0].set(this.battle.left(frames));
    if (out.length > 1) out[1].set(this.battle.right(frames));
    this.keep(this.battle.pcm(samples));
    this.sinceMoment += frames;
    this.sendMoment();
    const phase = this.battle.phase();
    if (phase === Phase.playing && samples < 2 * frames && this.soundSamples > 0) ++this.starved;
    ++this.quanta;
    this.busyMs += Date.now() - began;
    if (phase !== Phase.playing) this.end(phase);
    return true;
  }

  // The samples just put out, kept in order for the page.
  keep(samples) {
    let from = 0;
    while (from < samples.length) {
      const n = Math.min(samples.length - from, kRecordSamples - this.recorded);
      this.record.set(samples.subarray(from, from + n), this.recorded);
      this.recorded += n;
      from += n;
      if (this.recorded === kRecordSamples) this.flushRecord();
    }
    this.samplesOut += samples.length;
  }

  flushRecord() {
    const chunk = this.record.slice(0, this.recorded);
    this.port.postMessage({ type: 'pcm', samples: chunk }, [chunk.buffer]);
    this.recorded = 0;
  }

  sendMoment() {
    const moment = this.battle.takeMoment();
    if (moment === null) return;
    const firstSample = new DataView(moment.buffer).getFloat64(0, true);
    const frame = this.startFrame + Math.floor(firstSample / 2);
    this.port.postMessage({ type: 'moment', moment, frame }, [moment.buffer]);
  }

  end(phase) {
    this.ended = true;
    this.flushRecord();
    const output = this.battle.text(Text.output);
    const details = this.battle.text(Text.details);
    this.port.postMessage({
      type: 'end',
      phase,
      output,
      details,
      lastFrame: this.startFrame + Math.ceil(this.samplesOut / 2),
      samples: this.samplesOut,
      starved: this.starved,
      quanta: this.quanta,
      busyMs: this.busyMs,
    });
  }
}

registerProcessor('tonewell', TonewellProcessor);
