// What interfaces built by a bundler do every day, each check reported in one object that the
// page hands to the bridge's compose job (the test's tool writes it to the -o path).
import { paint, check, once } from './vendor-91bb3e.js';

const bridge = window.__NERIX_BRIDGE;
const report = { origin: location.origin, bridge: Boolean(bridge) };
const post = async (path, body) => (await fetch(bridge.origin + path, {
  method: 'POST', headers: { 'Content-Type': 'application/json', 'X-Nerix-Token': bridge.token },
  body: JSON.stringify(body) })).json();
// The page's database, and what one of its requests gives.
const database = () => new Promise((resolve, reject) => {
  const open = indexedDB.open('fixture', 1);
  open.onupgradeneeded = () => open.result.createObjectStore('counts');
  open.onerror = () => reject(open.error);
  open.onsuccess = () => resolve(open.result);
});
const done = (request) => new Promise((resolve, reject) => {
  request.onsuccess = () => resolve(request.result);
  request.onerror = () => reject(request.error);
});

report.styled = getComputedStyle(document.getElementById('state')).width;

report.json = await check(async () => {
  const response = await fetch('/data.json');
  if (!response.ok) throw new Error(`status ${response.status}`);
  return { status: response.status, type: response.headers.get('Content-Type'), items: (await response.json()).items };
});

report.route = await check(async () => {
  const response = await fetch('/mixes/3');
  return { status: response.status, type: response.headers.get('Content-Type') };
});

report.worker = await check(() => new Promise((resolve, reject) => {
  const worker = new Worker(new URL('./worker-5c0d21.js', import.meta.url), { type: 'module' });
  worker.onmessage = (event) => resolve(event.data);
  worker.onerror = (event) => reject(new Error(event.message || 'worker error'));
  worker.postMessage(21);
}));

report.wasm = await check(async () => {
  const { instance } = await WebAssembly.instantiateStreaming(fetch('/assets/add-0a9d.wasm'));
  return instance.exports.add(40, 2);
});

report.range = await check(async () => {
  const response = await fetch('/media/tone.wav', { headers: { Range: 'bytes=0-3' } });
  return { status: response.status, range: response.headers.get('Content-Range'), text: await response.text() };
});

// The <audio> element's own source, as the HTML names it: it plays (muted, so no sound card is
// needed) and seeks, from the same file as the bridge serves it.
report.audio = await check(async () => {
  const audio = document.getElementById('tone');
  audio.muted = true;
  if (audio.readyState < 1) await once(audio, 'loadedmetadata');
  const duration = audio.duration;
  await audio.play();
  if (audio.currentTime === 0) await once(audio, 'timeupdate');
  audio.currentTime = 1.5;
  await once(audio, 'seeked');
  audio.pause();
  const served = bridge && audio.currentSrc.startsWith(`${bridge.origin}/files/`) && audio.currentSrc.endsWith('/media/tone.wav');
  return { duration, played: true, seekedTo: Math.round(audio.currentTime * 10) / 10, served };
});

report.localStorage = await check(() => {
  const seen = Number(localStorage.getItem('launches') || 0);
  localStorage.setItem('launches', String(seen + 1));
  return seen;
});
report.indexedDB = await check(async () => {
  const store = (await database()).transaction('counts', 'readwrite').objectStore('counts');
  const seen = (await done(store.get('launches'))) || 0;
  await done(store.put(seen + 1, 'launches'));
  return seen;
});

// What the release before stored as structured values comes back as such: a Date, the bytes of
// an ArrayBuffer and the text of a Blob.
report.kept = await check(async () => {
  const kept = await done((await database()).transaction('counts').objectStore('counts').get('kept'));
  return kept && {
    date: kept.date instanceof Date ? kept.date.toISOString() : String(kept.date),
    bytes: kept.bytes instanceof ArrayBuffer ? Array.from(new Uint8Array(kept.bytes)) : String(kept.bytes),
    blob: kept.blob instanceof Blob ? await kept.blob.text() : String(kept.blob),
  };
});

// A WAV file a compose job wrote (the tool writes the bytes it is given) plays and seeks from the
// URL the bridge gives for it.
report.jobAudio = await check(async () => {
  let text = '';
  for (const byte of new Uint8Array(await (await fetch('/media/tone.wav')).arrayBuffer())) text += String.fromCharCode(byte);
  const job = await post('/compose', { source: 'base64:' + btoa(text), name: 'take', format: 'wav' });
  const { url } = await post('/files', { path: job.outputPath });
  const audio = new Audio(url);
  audio.muted = true;
  await once(audio, 'loadedmetadata');
  await audio.play();
  audio.currentTime = 2;
  await once(audio, 'seeked');
  audio.pause();
  return { duration: audio.duration, seekedTo: Math.round(audio.currentTime), url: url.replace(bridge.origin, 'BRIDGE').replace(/[0-9a-f]{32}/, 'ID') };
});

if (bridge) await post('/compose', { source: JSON.stringify(report), name: 'report', format: 'json' });
paint('rgb(0, 255, 0)');
