// The page: two warrior editors, the controls, the view of the core and
// the console's output. The battle itself runs in the audio worklet
// (worklet.js); this page's own instance of the module checks the warriors
// before anything plays, draws what the worklet reports when it is heard,
// and renders the WAV when no finished recording is at hand.
import { Examples } from './examples.js';
import { makeLink, readLink } from './link.js';
import { Phase, Text, TonewellBattle } from './module.js';
import { wavBlob } from './wav.js';

const $ = (id) => document.getElementById(id);
const encoder = new TextEncoder();
const decoder = new TextDecoder();
const kRate = 44100;
const kMapRows = 80;
const kMapCols = 100;
const kStatusWidth = 110;
const kOutputLatency = 0.2; // seconds
// Untouched, then warriors 1 to 3; a warrior's next instruction brighter.
const kCellColours = ['#262a32', '#c98a12', '#1f8fc4', '#6da32a'];
const kNextColours = ['#ffffff', '#fff0b3', '#c9f0ff', '#e3ffc2'];

const app = {
  module: null,
  view: null, // this page's instance: checks, view text and map
  context: null,
  node: null,
  state: 'loading', // loading, ready, playing, paused, ended, stopped
  moments: [],
  recording: [],
  recordingKey: null, // the battle the recording is of, when complete
  battleKey: null,
  end: null,
  finishAsked: false,
  playStart: 0,
  soundStart: null, // performance time at which the first frame was heard
  stats: {},
};

function exampleByName(name) {
  return Examples.find((e) => e.name === name);
}

// The two editors, from the page's template: warrior i's are #warrior{i},
// #example{i} (the bundled examples) and #text{i}.
function makeEditors() {
  const template = $('warrior-editor');
  for (const i of [1, 2]) {
    const editor = template.content.firstElementChild.cloneNode(true);
    editor.id = `warrior${i}`;
    editor.querySelector('.title').textContent = `Warrior ${i}`;
    const select = editor.querySelector('.example');
    select.id = `example${i}`;
    select.setAttribute('aria-label', `Example for warrior ${i}`);
    const text = editor.querySelector('.text');
    text.id = `text${i}`;
    text.setAttribute('aria-label', `Warrior ${i} text`);
    $('warriors').append(editor);
  }
}

function fillPickers() {
  for (const i of [1, 2]) {
    const select = $(`example${i}`);
    select.add(new Option('(your warrior)', ''));
    for (const e of Examples) select.add(new Option(e.source ? `${e.name} (source)` : e.name, e.name));
    select.addEventListener('change', () => {
      const example = exampleByName(select.value);
      if (example === undefined) return;
      $(`text${i}`).value = example.text;
      if (example.source) $('reader').value = 'source';
    });
    $(`text${i}`).addEventListener('input', () => {
      const example = exampleByName(select.value);
      if (example !== undefined && example.text !== $(`text${i}`).value) select.value = '';
    });
  }
}

function setWarrior(i, origin) {
  if (origin === undefined) return;
  const example = origin.example !== undefined ? exampleByName(origin.example) : undefined;
  if (origin.example !== undefined && example === undefined) {
    throw new Error(`no bundled warrior is called "${origin.example}"`);
  }
  $(`example${i}`).value = example !== undefined ? example.name : '';
  $(`text${i}`).value = example !== undefined ? example.text : decoder.decode(origin.bytes);
}

// The editors' warriors: bytes, the file name failures show, and how a
// link names them.
function currentWarriors() {
  return [1, 2].map((i) => {
    const text = $(`text${i}`).value;
    const example = exampleByName($(`example${i}`).value);
    const same = example !== undefined && example.text === text;
    const bytes = encoder.encode(text);
    return {
      bytes,
      fileName: encoder.encode(same ? example.file : `warrior${i}.red`),
      link: same ? { example: example.name } : { bytes },
    };
  });
}

function notice(text, error = false) {
  $('notice').textContent = text;
  $('notice').classList.toggle('error', error);
}

function setState(state) {
  app.state = state;
  const live = state === 'playing' || state === 'paused';
  $('play').disabled = state === 'loading' || state === 'playing';
  $('play').textContent = state === 'paused' ? 'Resume' : 'Play';
  $('pause').disabled = state !== 'playing';
  $('stop').disabled = !live;
  $('download').disabled = state === 'loading';
}

function applyLink() {
  let link;
  try {
    link = readLink(window.location.search);
    setWarrior(1, link.warriors[0] ?? { example: 'Mice' });
    setWarrior(2, link.warriors[1] ?? { example: 'Piper' });
  } catch (e) {
    notice(`This link's warriors could not be read: ${e.message}`, true);
    return { play: false };
  }
  if (link.soundSamples !== undefined) $('samples').value = link.soundSamples;
  if (link.reader !== undefined) $('reader').value = link.reader;
  return link;
}

// The output's clock against the page's: the performance time at which
// the output plays `frame`, or null before the output has said.
function wallOfFrame(frame) {
  const ts = app.context.getOutputTimestamp();
  if (ts.contextTime === undefined || !ts.performanceTime) return null;
  return ts.performanceTime + (frame / kRate - ts.contextTime) * 1000;
}

function heardFrame() {
  const ts = app.context.getOutputTimestamp();
  if (ts.contextTime === undefined || !ts.performanceTime) {
    const latency = (app.context.baseLatency || 0) + (app.context.outputLatency || 0);
    return (app.context.currentTime - latency) * kRate;
  }
  return (ts.contextTime + (performance.now() - ts.performanceTime) / 1000) * kRate;
}

// The colours of the map's cells as pixels (RGBA bytes in memory order):
// index owner + 16 * next.
const kCellPixels = (() => {
  const pixels = new Uint32Array(32);
  const bytes = new Uint8Array(pixels.buffer);
  const put = (index, hex) => {
    for (let k = 0; k < 3; ++k) bytes[index * 4 + k] = parseInt(hex.slice(1 + 2 * k, 3 + 2 * k), 16);
    bytes[index * 4 + 3] = 255;
  };
  kCellColours.forEach((hex, owner) => put(owner, hex));
  kNextColours.forEach((hex, owner) => put(owner + 16, hex));
  return pixels;
})();

// One pixel per map character; the page scales the canvas up and draws the
// grid between the cells once, over it. Returns how many characters each
// owner (untouched, warrior 1, 2, 3) has.
function drawMap(map) {
  if (app.mapImage === undefined) {
    app.mapImage = $('map').getContext('2d').createImageData(kMapCols, kMapRows);
    app.mapPixels = new Uint32Array(app.mapImage.data.buffer);
  }
  const owners = [0, 0, 0, 0];
  for (let c = 0; c < map.length; ++c) {
    app.mapPixels[c] = kCellPixels[map[c]];
    ++owners[map[c] & 3];
  }
  $('map').getContext('2d').putImageData(app.mapImage, 0, 0);
  return owners;
}

function drawGrid() {
  const canvas = $('grid');
  const g = canvas.getContext('2d');
  const size = canvas.width / kMapCols;
  g.fillStyle = '#0b0c0f';
  for (let x = 1; x < kMapCols; ++x) g.fillRect(x * size - 1, 0, 1, canvas.height);
  for (let y = 1; y < kMapRows; ++y) g.fillRect(0, y * size - 1, canvas.width, 1);
}

function drawMoment(moment) {
  app.view.useMoment(moment);
  const status = decoder.decode(app.view.text(Text.status, kStatusWidth));
  if (status !== app.shownStatus) {
    $('status').textContent = status;
    app.shownStatus = status;
  }
  app.mapOwners = drawMap(app.view.map(kMapRows, kMapCols));
  app.stats.momentsShown = (app.stats.momentsShown ?? 0) + 1;
}

// Shows what is heard now, and finishes the battle once its last frame has
// been heard.
function follow() {
  if (app.context === null || app.node === null || app.state !== 'playing') return;
  const heard = heardFrame();
  if (app.soundStart === null && app.firstFrame !== undefined && heard >= app.firstFrame) {
    app.soundStart = wallOfFrame(app.firstFrame);
  }
  let latest = null;
  while (app.moments.length > 0 && app.moments[0].frame <= heard) latest = app.moments.shift();
  if (latest !== null) drawMoment(latest.moment);
  if (app.end !== null && !app.finishAsked && heard >= app.end.lastFrame) finish();
}

function finish() {
  app.finishAsked = true;
  const now = performance.now();
  // When the first and the last frame were heard, by the output's clock
  // then: a sound that was held up shows as a longer wall time.
  const soundEnd = wallOfFrame(app.end.lastFrame);
  app.stats.wallSeconds = app.soundStart === null || soundEnd === null ? 0 : (soundEnd - app.soundStart) / 1000;
  app.stats.soundSeconds = app.end.samples / 2 / kRate;
  if (app.end.phase === Phase.failed) {
    $('report').textContent = decoder.decode(app.end.output);
    $('details').textContent = decoder.decode(app.end.details);
    ended('The battle failed.');
    return;
  }
  app.node.port.postMessage({ type: 'finish', seconds: (now - app.playStart) / 1000 });
}

function ended(text) {
  setState('ended');
  notice(text);
  if (app.node !== null) app.node.port.postMessage({ type: 'stop' });
}

function receive(node, message) {
  if (node !== app.node) return; // a battle stopped before
  switch (message.type) {
    case 'pcm':
      app.recording.push(message.samples);
      break;
    case 'moment':
      if (app.firstFrame === undefined) app.firstFrame = message.frame;
      app.moments.push(message);
      break;
    case 'end':
      app.end = message;
      Object.assign(app.stats, {
        starved: message.starved,
        quanta: message.quanta,
        busyMs: message.busyMs,
        samples: message.samples,
      });
      if (app.firstFrame === undefined) app.firstFrame = message.lastFrame;
      break;
    case 'finish-text':
      $('report').textContent = decoder.decode(app.end.output) + decoder.decode(message.text);
      app.recordingKey = app.battleKey;
      ended('The battle is over.');
      break;
    default:
      break;
  }
}

function stopBattle() {
  if (app.node !== null) {
    app.node.port.postMessage({ type: 'stop' });
    app.node.disconnect();
    app.node = null;
  }
}

async function ensureAudio() {
  if (app.context === null) {
    // A long output buffer (about 0.2 s) rides out a busy machine; the view
    // follows the output's own clock, so it stays with the sound.
    app.context = new AudioContext({ sampleRate: kRate, latencyHint: kOutputLatency });
    await app.context.audioWorklet.addModule('worklet.js');
  }
  if (app.context.state === 'suspended') {
    // Without a click the browser may hold the sound back: resume() then
    // waits for one, so it is not waited for long.
    const shortly = new Promise((resolve) => setTimeout(resolve, 300));
    await Promise.race([app.context.resume().catch(() => {}), shortly]);
  }
}

// Reads SoundSamples as the console reads its third argument.
function soundSamples() {
  const value = app.view.parseSoundSamples(encoder.encode($('samples').value));
  if (value === null) {
    notice('SoundSamples is not an integer (the console answers with three long beeps).', true);
  }
  return value;
}

async function play() {
  if (app.state === 'paused') {
    await app.context.resume();
    setState('playing');
    notice('');
    return;
  }
  const samples = soundSamples();
  if (samples === null) return;
  stopBattle();
  const warriors = currentWarriors();
  const reader = $('reader').value;
  const task = { warriors: warriors.map((w) => ({ bytes: w.bytes, fileName: w.fileName })), reader, soundSamples: samples };
  Object.assign(app, { moments: [], recording: [], end: null, finishAsked: false, soundStart: null, stats: {} });
  app.firstFrame = undefined;
  app.battleKey = JSON.stringify([warriors.map((w) => decoder.decode(w.fileName) + decoder.decode(w.bytes)), reader, samples]);
  app.recordingKey = null;
  $('details').textContent = '';
  notice('');
  app.playStart = performance.now();
  // The console loads both warriors before its first tone: a warrior that
  // does not load is reported and nothing plays.
  const phase = app.view.start(task.warriors, reader, samples);
  $('report').textContent = decoder.decode(app.view.text(Text.output));
  if (phase === Phase.failed) {
    $('details').textContent = decoder.decode(app.view.text(Text.details));
    setState('ended');
    notice('The warriors were not loaded: nothing plays.', true);
    return;
  }
  await ensureAudio();
  const node = new AudioWorkletNode(app.context, 'tonewell', {
    numberOfInputs: 0,
    numberOfOutputs: 1,
    outputChannelCount: [2],
    processorOptions: { module: app.module, ...task },
  });
  node.port.onmessage = (event) => receive(node, event.data);
  node.connect(app.context.destination);
  app.node = node;
  if (app.context.state === 'running') {
    setState('playing');
  } else {
    setState('paused');
    notice('The browser holds the sound back until you press Play.');
  }
}

async function pause() {
  if (app.state !== 'playing') return;
  await app.context.suspend();
  setState('paused');
  notice('Paused.');
}

function stop() {
  stopBattle();
  setState('stopped');
  notice('Stopped.');
}

async function copyLink() {
  const warriors = currentWarriors();
  const base = `${window.location.origin}${window.location.pathname}`;
  const link = makeLink(base, warriors.map((w) => w.link), $('samples').value.trim(), $('reader').value);
  window.history.replaceState(null, '', link);
  try {
    await navigator.clipboard.writeText(link);
    notice('Link copied.');
  } catch {
    notice('The link is in the address bar.');
  }
}

// The WAV of the battle in the editors: the worklet's recording when that
// battle has played to its end, else rendered here.
async function wavOfBattle() {
  if (app.recordingKey !== null && app.recordingKey === app.battleKey) return wavBlob(app.recording);
  const samples = soundSamples();
  if (samples === null) return null;
  const battle = new TonewellBattle(app.module);
  const warriors = currentWarriors().map((w) => ({ bytes: w.bytes, fileName: w.fileName }));
  battle.start(warriors, $('reader').value, samples);
  const pieces = [];
  while (battle.phase() === Phase.playing) {
    const began = performance.now();
    while (battle.phase() === Phase.playing && performance.now() - began < 30) {
      const n = battle.render(8192);
      if (n > 0) pieces.push(battle.pcm(n).slice());
    }
    notice(`Rendering… ${((pieces.length * 8192) / kRate / 2).toFixed(0)} s of sound`);
    await new Promise((resolve) => setTimeout(resolve, 0));
  }
  return wavBlob(pieces);
}

async function download() {
  const blob = await wavOfBattle();
  if (blob === null) return;
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = 'tonewell.wav';
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  notice(`WAV saved (${blob.size} bytes).`);
}

async function sha256Hex(blob) {
  const digest = await crypto.subtle.digest('SHA-256', await blob.arrayBuffer());
  return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
}

// For tests and benchmarks: the state, the figures and the recording's digest.
window.tonewell = {
  state: () => app.state,
  stats: () => ({ ...app.stats, state: app.state, readyMs: app.readyMs, readyAt: app.readyAt }),
  report: () => $('report').textContent,
  status: () => $('status').textContent,
  mapOwners: () => app.mapOwners ?? [],
  details: () => $('details').textContent,
  recordedWavDigest: async () => (app.recordingKey === null ? null : sha256Hex(wavBlob(app.recording))),
  renderedWavDigest: async () => sha256Hex(await wavOfBattle()),
  play,
  // Instructions per second of the executor over silent full-length battles
  // of two warriors (texts), for at least `seconds`.
  executorSpeed: (texts, seconds) => {
    const battle = new TonewellBattle(app.module);
    const warriors = texts.map((t) => encoder.encode(t));
    let steps = 0;
    const began = performance.now();
    while (performance.now() - began < seconds * 1000) {
      const n = battle.silentBattles(warriors, 1);
      if (n < 0) return -1;
      steps += n;
    }
    return steps / ((performance.now() - began) / 1000);
  },
};

async function init() {
  makeEditors();
  fillPickers();
  const link = applyLink();
  setState('loading');
  for (const [id, action] of [['play', play], ['pause', pause], ['stop', stop], ['copy-link', copyLink], ['download', download]]) {
    $(id).addEventListener('click', () => {
      Promise.resolve()
        .then(action)
        .catch((e) => notice(e.message, true));
    });
  }
  const began = performance.now();
  const response = fetch('tonewell.wasm');
  try {
    app.module = await WebAssembly.compileStreaming(response);
  } catch {
    // A server that does not say application/wasm.
    app.module = await WebAssembly.compile(await (await fetch('tonewell.wasm')).arrayBuffer());
  }
  app.view = new TonewellBattle(app.module);
  app.readyMs = performance.now() - began;
  app.readyAt = performance.now(); // since the navigation started
  $('status').textContent = 'Ready: press Play.';
  drawGrid();
  $('legend').innerHTML =
    '<span class="w1">■ warrior 1</span> &nbsp; <span class="w2">■ warrior 2</span> &nbsp; ' +
    'each cell in the colour of the warrior that last wrote it; bright: a warrior\'s next instruction';
  setState('ready');
  // The view keeps up with the moments (one every 80 ms of sound) without
  // drawing at the display's rate, which would cost the machine more.
  setInterval(follow, 40);
  if (link.play) await play();
}

init().catch((e) => notice(`The page could not start: ${e.message}`, true));
