#!/usr/bin/env node
// The demo tool chain's command line: small, real versions of the three jobs the window runs.
//
//   index.js compose build SOURCE -o OUTPUT       a piece's source text -> .mid (or .wav)
//   index.js master run MANIFEST [-o OUTPUT]       mix, level and mark the WAV files of a manifest
//   index.js master verify WAV --seed SEED [--carrier HZ] [--mix-db DB] [--null-trials N]
//                                                  look for the mark of SEED in a WAV file
//
// Plain Node.js (18 or later), no packages. Results go to standard output, master's progress
// to standard error as it goes; every failure ends with a message on standard error and a
// non-zero exit status (2: the command line itself is wrong, 1: anything else, a missing mark
// included).
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

class Failure extends Error {
  constructor(message, status = 1) {
    super(message);
    this.status = status;
  }
}

const usage = [
  'usage:',
  '  index.js compose build SOURCE -o OUTPUT',
  '  index.js master run MANIFEST [-o OUTPUT]',
  '  index.js master verify WAV --seed SEED [--carrier HZ] [--mix-db DB] [--null-trials N]',
].join('\n');

// ---------------------------------------------------------------------------------------------
// Command line

// Splits arguments into positionals and "--name value" / "-o value" options; every option
// takes exactly one value, which may itself start with "-" (a negative level, say).
function parseArgs(args, known) {
  const positional = [];
  const options = {};
  for (let i = 0; i < args.length; i++) {
    const arg = args[i];
    if (arg.length > 1 && arg.startsWith('-') && !/^-\d/.test(arg)) {
      if (!known.includes(arg)) throw new Failure(`unknown option ${arg}\n${usage}`, 2);
      if (i + 1 >= args.length) throw new Failure(`${arg} needs a value\n${usage}`, 2);
      if (arg in options) throw new Failure(`${arg} given twice`, 2);
      options[arg] = args[++i];
    } else {
      positional.push(arg);
    }
  }
  return { positional, options };
}

function numberOption(name, text, { min = -Infinity, max = Infinity, integer = false } = {}) {
  const value = Number(text);
  if (text === undefined || text.trim() === '' || !Number.isFinite(value))
    throw new Failure(`${name}: not a number: ${JSON.stringify(text)}`, 2);
  if (integer && !Number.isInteger(value)) throw new Failure(`${name}: not a whole number: ${text}`, 2);
  if (value < min || value > max) throw new Failure(`${name}: ${text} is outside ${min} to ${max}`, 2);
  return value;
}

function readFile(file, what) {
  try {
    return fs.readFileSync(file);
  } catch (error) {
    throw new Failure(`cannot read ${what} ${file}: ${error.code === 'ENOENT' ? 'no such file' : error.message}`);
  }
}

function writeFile(file, bytes, what) {
  try {
    fs.mkdirSync(path.dirname(path.resolve(file)), { recursive: true });
    fs.writeFileSync(file, bytes);
  } catch (error) {
    throw new Failure(`cannot write ${what} ${file}: ${error.message}`);
  }
}

// Where results go when nothing else is said: the user's Music folder (as the desktop names
// it in user-dirs.dirs) joined with "Nerix", the folder the window's compose job writes to.
function outputFolder() {
  const home = os.homedir();
  const config = process.env.XDG_CONFIG_HOME || path.join(home, '.config');
  let music = path.join(home, 'Music');
  try {
    const text = fs.readFileSync(path.join(config, 'user-dirs.dirs'), 'utf8');
    const match = /^XDG_MUSIC_DIR="(.*)"\s*$/m.exec(text);
    if (match && match[1]) {
      const value = match[1].replace(/^\$HOME/, home);
      if (path.isAbsolute(value) && value !== home) music = value;
    }
  } catch (_) {
    // no user-dirs.dirs: the default stays
  }
  return path.join(music, 'Nerix');
}

const dB = (gain) => 20 * Math.log10(gain);
const gainOf = (db) => Math.pow(10, db / 20);
const fixed = (value, digits = 1) => (value >= 0 ? '+' : '') + value.toFixed(digits);

// ---------------------------------------------------------------------------------------------
// Pieces: the source language
//
//   # a comment, from a "#" that starts a word to the end of the line
//   title "Morning"          the track name
//   tempo 96                 beats per minute (20..300)
//   program 0                General MIDI instrument (0..127)
//   velocity 90              loudness of the notes that follow (1..127)
//   C4 D#4 Eb:2 r:0.5        notes (letter, optional # or b, octave -1..9, else 4) and rests, each
//   C4+E4+G4:2               lasting one beat unless ":beats" says otherwise; "+" makes a chord

const NOTE = /^([A-Ga-g])([#b]?)(-1|[0-9])?$/;
const SEMITONE = { C: 0, D: 2, E: 4, F: 5, G: 7, A: 9, B: 11 };

function parsePiece(text, file) {
  const piece = { title: '', tempo: 120, program: 0, events: [] };
  let velocity = 90;
  let beat = 0;
  const lines = text.split(/\r?\n/);
  const fail = (line, column, message) => {
    throw new Failure(`${file}:${line}:${column}: ${message}`);
  };

  lines.forEach((raw, index) => {
    const lineNo = index + 1;
    const line = raw.replace(/(^|\s)#.*$/, '$1');  // not the "#" of a sharp
    const titleMatch = /^\s*title\s+"([^"]*)"\s*$/.exec(line);
    if (titleMatch) {
      piece.title = titleMatch[1];
      return;
    }
    const tokens = [];
    const pattern = /\S+/g;
    for (let m; (m = pattern.exec(line));) tokens.push({ text: m[0], column: m.index + 1 });

    for (let i = 0; i < tokens.length; i++) {
      const { text: token, column } = tokens[i];
      if (token === 'tempo' || token === 'program' || token === 'velocity' || token === 'title') {
        const argument = tokens[++i];
        if (!argument) fail(lineNo, column, `${token} needs a value`);
        if (token === 'title') fail(lineNo, column, 'title needs a text in double quotes, alone on its line');
        const value = Number(argument.text);
        const [min, max] = { tempo: [20, 300], program: [0, 127], velocity: [1, 127] }[token];
        if (!Number.isInteger(value) || value < min || value > max)
          fail(lineNo, argument.column, `${token} must be a whole number from ${min} to ${max}, not "${argument.text}"`);
        if (token === 'tempo') {
          if (beat > 0) fail(lineNo, column, 'tempo must come before the first note');
          piece.tempo = value;
        } else if (token === 'program') {
          if (beat > 0) fail(lineNo, column, 'program must come before the first note');
          piece.program = value;
        } else {
          velocity = value;
        }
        continue;
      }

      const [body, durationText, extra] = token.split(':');
      if (extra !== undefined) fail(lineNo, column, `"${token}" has more than one ":"`);
      let beats = 1;
      if (durationText !== undefined) {
        const fraction = /^(\d+)\/(\d+)$/.exec(durationText);
        beats = fraction ? Number(fraction[1]) / Number(fraction[2]) : Number(durationText);
        if (!Number.isFinite(beats) || beats <= 0 || beats > 64)
          fail(lineNo, column, `"${durationText}" is not a length in beats (more than 0, at most 64)`);
      }
      if (body === 'r' || body === 'R') {
        beat += beats;
        continue;
      }
      const keys = [];
      for (const name of body.split('+')) {
        const note = NOTE.exec(name);
        if (!note) fail(lineNo, column, `"${name}" is not a note, a rest or a keyword`);
        const letter = note[1].toUpperCase();
        const shift = note[2] === '#' ? 1 : note[2] === 'b' ? -1 : 0;
        const octave = note[3] === undefined ? 4 : Number(note[3]);
        const key = (octave + 1) * 12 + SEMITONE[letter] + shift;
        if (key < 0 || key > 127) fail(lineNo, column, `"${name}" is outside the MIDI range`);
        keys.push(key);
      }
      piece.events.push({ keys, start: beat, beats, velocity });
      beat += beats;
    }
  });
  if (piece.events.length === 0) throw new Failure(`${file}: the piece has no notes`);
  piece.beats = beat;
  return piece;
}

// Standard MIDI file, format 0: one track, 480 ticks per quarter note.
function midiFile(piece) {
  const TICKS = 480;
  const varLen = (value) => {
    const bytes = [value & 0x7f];
    while ((value >>= 7) > 0) bytes.unshift((value & 0x7f) | 0x80);
    return bytes;
  };
  const timed = [];
  const tick = (beats) => Math.round(beats * TICKS);
  for (const event of piece.events) {
    for (const key of event.keys) {
      timed.push({ at: tick(event.start), order: 1, bytes: [0x90, key, event.velocity] });
      timed.push({ at: tick(event.start + event.beats), order: 0, bytes: [0x80, key, 0] });
    }
  }
  // Note-offs before note-ons at the same moment, so repeated notes sound twice.
  timed.sort((a, b) => a.at - b.at || a.order - b.order);

  const track = [];
  if (piece.title) {
    const name = Buffer.from(piece.title, 'utf8');
    track.push(0, 0xff, 0x03, ...varLen(name.length), ...name);
  }
  const perQuarter = Math.round(60000000 / piece.tempo);
  track.push(0, 0xff, 0x51, 0x03, (perQuarter >> 16) & 0xff, (perQuarter >> 8) & 0xff, perQuarter & 0xff);
  track.push(0, 0xc0, piece.program);
  let now = 0;
  for (const event of timed) {
    track.push(...varLen(event.at - now), ...event.bytes);
    now = event.at;
  }
  track.push(0, 0xff, 0x2f, 0x00);

  const header = Buffer.alloc(14);
  header.write('MThd', 0, 'latin1');
  header.writeUInt32BE(6, 4);
  header.writeUInt16BE(0, 8);
  header.writeUInt16BE(1, 10);
  header.writeUInt16BE(TICKS, 12);
  const trackHeader = Buffer.alloc(8);
  trackHeader.write('MTrk', 0, 'latin1');
  trackHeader.writeUInt32BE(track.length, 4);
  return Buffer.concat([header, trackHeader, Buffer.from(track)]);
}

// A plain additive voice, for a piece written to a .wav file.
function renderPiece(piece, sampleRate = 22050) {
  const secondsPerBeat = 60 / piece.tempo;
  const length = Math.ceil((piece.beats * secondsPerBeat + 0.3) * sampleRate);
  const out = new Float64Array(length);
  for (const event of piece.events) {
    const start = Math.round(event.start * secondsPerBeat * sampleRate);
    const count = Math.round(event.beats * secondsPerBeat * sampleRate);
    const level = (event.velocity / 127) * 0.25;
    for (const key of event.keys) {
      const hz = 440 * Math.pow(2, (key - 69) / 12);
      for (let n = 0; n < count + 0.25 * sampleRate && start + n < length; n++) {
        const t = n / sampleRate;
        const attack = Math.min(1, t / 0.01);
        const release = n < count ? 1 : Math.max(0, 1 - (n - count) / (0.25 * sampleRate));
        const body = Math.exp(-2.5 * t);
        const wave = Math.sin(2 * Math.PI * hz * t) + 0.35 * Math.sin(4 * Math.PI * hz * t);
        out[start + n] += level * attack * release * body * wave;
      }
    }
  }
  return { sampleRate, channels: [out] };
}

function compose(args) {
  const [verb, ...rest] = args;
  if (verb !== 'build') throw new Failure(`compose: unknown command ${JSON.stringify(verb || '')}\n${usage}`, 2);
  const { positional, options } = parseArgs(rest, ['-o']);
  if (positional.length !== 1 || !options['-o']) throw new Failure(`compose build needs SOURCE and -o OUTPUT\n${usage}`, 2);
  const source = positional[0];
  const output = options['-o'];

  const piece = parsePiece(readFile(source, 'source').toString('utf8'), path.basename(source));
  const extension = path.extname(output).toLowerCase();
  let bytes;
  if (extension === '.mid' || extension === '.midi') bytes = midiFile(piece);
  else if (extension === '.wav') bytes = wavFile(renderPiece(piece));
  else throw new Failure(`cannot write ${JSON.stringify(extension || path.basename(output))}: the output must end in .mid or .wav`);
  writeFile(output, bytes, 'piece');

  const notes = piece.events.reduce((sum, event) => sum + event.keys.length, 0);
  const seconds = (piece.beats * 60) / piece.tempo;
  console.log(`composed ${piece.title ? `"${piece.title}": ` : ''}${notes} notes, ${piece.beats} beats at ${piece.tempo} bpm (${seconds.toFixed(1)} s)`);
  console.log(`output: ${path.resolve(output)} (${bytes.length} bytes)`);
}

// ---------------------------------------------------------------------------------------------
// WAV files: PCM 8/16/24/32-bit and 32/64-bit float in, 16-bit PCM out

function readWav(file) {
  const bytes = readFile(file, 'WAV file');
  const bad = (why) => new Failure(`${file} is not a WAV file this tool reads: ${why}`);
  if (bytes.length < 12 || bytes.toString('latin1', 0, 4) !== 'RIFF' || bytes.toString('latin1', 8, 12) !== 'WAVE')
    throw bad('no RIFF/WAVE header');
  let format = null;
  let data = null;
  for (let at = 12; at + 8 <= bytes.length;) {
    const id = bytes.toString('latin1', at, at + 4);
    const size = bytes.readUInt32LE(at + 4);
    const body = bytes.subarray(at + 8, Math.min(bytes.length, at + 8 + size));
    if (id === 'fmt ' && body.length >= 16) {
      format = {
        code: body.readUInt16LE(0),
        channels: body.readUInt16LE(2),
        sampleRate: body.readUInt32LE(4),
        bits: body.readUInt16LE(14),
      };
      if (format.code === 0xfffe && body.length >= 26) format.code = body.readUInt16LE(24);
    } else if (id === 'data') {
      data = body;
    }
    at += 8 + size + (size % 2);
  }
  if (!format) throw bad('no format chunk');
  if (!data) throw bad('no data chunk');
  const { code, channels, sampleRate, bits } = format;
  if (channels < 1 || sampleRate < 1) throw bad('no channels or no sample rate');
  const width = bits / 8;
  const read = {
    '1/8': (o) => (data.readUInt8(o) - 128) / 128,
    '1/16': (o) => data.readInt16LE(o) / 32768,
    '1/24': (o) => data.readIntLE(o, 3) / 8388608,
    '1/32': (o) => data.readInt32LE(o) / 2147483648,
    '3/32': (o) => data.readFloatLE(o),
    '3/64': (o) => data.readDoubleLE(o),
  }[`${code}/${bits}`];
  if (!read) throw bad(`format ${code} with ${bits} bits per sample is not supported`);
  const frames = Math.floor(data.length / (width * channels));
  const out = [];
  for (let c = 0; c < channels; c++) out.push(new Float64Array(frames));
  for (let f = 0; f < frames; f++)
    for (let c = 0; c < channels; c++) out[c][f] = read((f * channels + c) * width);
  return { sampleRate, channels: out };
}

function wavFile(audio) {
  const channels = audio.channels.length;
  const frames = audio.channels[0].length;
  const bytes = Buffer.alloc(44 + frames * channels * 2);
  bytes.write('RIFF', 0, 'latin1');
  bytes.writeUInt32LE(36 + frames * channels * 2, 4);
  bytes.write('WAVEfmt ', 8, 'latin1');
  bytes.writeUInt32LE(16, 16);
  bytes.writeUInt16LE(1, 20);
  bytes.writeUInt16LE(channels, 22);
  bytes.writeUInt32LE(audio.sampleRate, 24);
  bytes.writeUInt32LE(audio.sampleRate * channels * 2, 28);
  bytes.writeUInt16LE(channels * 2, 32);
  bytes.writeUInt16LE(16, 34);
  bytes.write('data', 36, 'latin1');
  bytes.writeUInt32LE(frames * channels * 2, 40);
  for (let f = 0; f < frames; f++) {
    for (let c = 0; c < channels; c++) {
      const value = Math.max(-1, Math.min(1, audio.channels[c][f]));
      bytes.writeInt16LE(Math.round(value * 32767), 44 + (f * channels + c) * 2);
    }
  }
  return bytes;
}

const peakOf = (audio) => audio.channels.reduce((p, ch) => ch.reduce((q, v) => Math.max(q, Math.abs(v)), p), 0);
const seconds = (audio) => audio.channels[0].length / audio.sampleRate;

// ---------------------------------------------------------------------------------------------
// The mark: a quiet carrier whose sign flips in a pattern drawn from the seed. Whoever knows
// the seed finds it by correlation; against any other seed the correlation is noise.

const CHIP = 128;  // samples per sign

function seededSigns(seed, count) {
  let h = 0x811c9dc5;  // FNV-1a of the seed's UTF-8 bytes, then xorshift
  for (const byte of Buffer.from(String(seed), 'utf8')) h = Math.imul(h ^ byte, 0x01000193) >>> 0;
  let state = h || 1;
  const signs = new Int8Array(count);
  for (let i = 0; i < count; i++) {
    state ^= state << 13;
    state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5;
    state >>>= 0;
    signs[i] = state & 1 ? 1 : -1;
  }
  return signs;
}

function markSignal(seed, carrier, sampleRate, length) {
  const signs = seededSigns(seed, Math.ceil(length / CHIP));
  const out = new Float64Array(length);
  const step = (2 * Math.PI * carrier) / sampleRate;
  for (let n = 0; n < length; n++) out[n] = signs[Math.floor(n / CHIP)] * Math.sin(step * n);
  return out;
}

function checkCarrier(carrier, sampleRate) {
  if (carrier >= sampleRate / 2)
    throw new Failure(`carrier ${carrier} Hz is not below half the sample rate (${sampleRate / 2} Hz)`);
}

// ---------------------------------------------------------------------------------------------
// master run

// How far a run has come, on standard error as each step is done (writes to a pipe or a file
// are synchronous, so a line leaves before the next step starts); the findings stay on
// standard output.
const progress = (text) => process.stderr.write(`master: ${text}\n`);

function masterRun(rest) {
  const { positional, options } = parseArgs(rest, ['-o']);
  if (positional.length !== 1) throw new Failure(`master run needs one MANIFEST\n${usage}`, 2);
  const manifestPath = positional[0];
  let manifest;
  try {
    manifest = JSON.parse(readFile(manifestPath, 'manifest').toString('utf8'));
  } catch (error) {
    if (error instanceof Failure) throw error;
    throw new Failure(`${manifestPath} is not JSON: ${error.message}`);
  }
  const where = path.basename(manifestPath);
  if (!manifest || typeof manifest !== 'object' || Array.isArray(manifest))
    throw new Failure(`${where}: the manifest must be a JSON object`);
  if (!Array.isArray(manifest.inputs) || manifest.inputs.length === 0)
    throw new Failure(`${where}: "inputs" must list at least one WAV file`);

  const base = path.dirname(path.resolve(manifestPath));
  const lines = [`master: ${manifest.title || where}`];
  const inputs = manifest.inputs.map((input, i) => {
    if (!input || typeof input.file !== 'string' || input.file === '')
      throw new Failure(`${where}: inputs[${i}] needs a "file"`);
    const gainDb = input.gainDb === undefined ? 0 : input.gainDb;
    const offset = input.offset === undefined ? 0 : input.offset;
    if (typeof gainDb !== 'number' || !Number.isFinite(gainDb)) throw new Failure(`${where}: inputs[${i}].gainDb must be a number`);
    if (typeof offset !== 'number' || !(offset >= 0) || offset > 3600)
      throw new Failure(`${where}: inputs[${i}].offset must be seconds from 0 to 3600`);
    const file = path.resolve(base, input.file);
    const audio = readWav(file);
    lines.push(`  input ${input.file}: ${audio.sampleRate} Hz, ${audio.channels.length} ch, ${seconds(audio).toFixed(2)} s, gain ${fixed(gainDb)} dB${offset ? `, at ${offset} s` : ''}`);
    return { audio, gain: gainOf(gainDb), offset };
  });

  const sampleRate = inputs[0].audio.sampleRate;
  for (const input of inputs)
    if (input.audio.sampleRate !== sampleRate)
      throw new Failure(`${where}: the inputs differ in sample rate (${sampleRate} and ${input.audio.sampleRate} Hz)`);
  const channelCount = Math.max(...inputs.map((input) => input.audio.channels.length));
  const length = Math.max(...inputs.map((input) => Math.round(input.offset * sampleRate) + input.audio.channels[0].length));
  const mix = { sampleRate, channels: Array.from({ length: channelCount }, () => new Float64Array(length)) };
  // A second of the mix at a time, so that whoever watches the run sees it move: a line for
  // every second mixed, or every fiftieth of a long mix.
  const total = `${(length / sampleRate).toFixed(1)} s`;
  const every = Math.max(1, Math.ceil(length / sampleRate / 50));
  for (let block = 0, second = 1; block < length; block += sampleRate, second++) {
    const blockEnd = Math.min(length, block + sampleRate);
    for (const { audio, gain, offset } of inputs) {
      const start = Math.round(offset * sampleRate);
      for (let c = 0; c < channelCount; c++) {
        const from = audio.channels[Math.min(c, audio.channels.length - 1)];  // mono goes to every channel
        const end = Math.min(blockEnd, start + from.length);
        for (let n = Math.max(block, start); n < end; n++) mix.channels[c][n] += gain * from[n - start];
      }
    }
    if (second % every === 0 || blockEnd === length) progress(`mixed ${(blockEnd / sampleRate).toFixed(1)} of ${total}`);
  }

  const fadeOut = manifest.fadeOut === undefined ? 0 : manifest.fadeOut;
  if (typeof fadeOut !== 'number' || !(fadeOut >= 0)) throw new Failure(`${where}: "fadeOut" must be seconds, 0 or more`);
  const fadeLength = Math.min(length, Math.round(fadeOut * sampleRate));
  for (const channel of mix.channels)
    for (let n = 0; n < fadeLength; n++) channel[length - fadeLength + n] *= 1 - n / fadeLength;

  const peakDb = manifest.peakDb === undefined ? -1 : manifest.peakDb;
  if (typeof peakDb !== 'number' || !(peakDb <= 0) || peakDb < -60) throw new Failure(`${where}: "peakDb" must be from -60 to 0`);
  const before = peakOf(mix);
  if (before === 0) throw new Failure(`${where}: the mix is silent`);
  const levelGain = gainOf(peakDb) / before;
  progress(`levelling to ${peakDb.toFixed(1)} dBFS`);
  for (const channel of mix.channels) for (let n = 0; n < length; n++) channel[n] *= levelGain;
  lines.push(`  mix: ${channelCount} ch, ${(length / sampleRate).toFixed(2)} s, peak ${dB(before).toFixed(1)} dBFS -> ${peakDb.toFixed(1)} dBFS (${fixed(dB(levelGain))} dB)`);
  if (fadeLength) lines.push(`  fade out: ${fadeOut} s`);

  if (manifest.mark !== undefined) {
    const mark = manifest.mark;
    if (!mark || typeof mark !== 'object' || typeof mark.seed !== 'string' || mark.seed === '')
      throw new Failure(`${where}: "mark" needs a "seed" text`);
    const carrier = mark.carrier === undefined ? 1000 : mark.carrier;
    const mixDb = mark.mixDb === undefined ? -30 : mark.mixDb;
    if (typeof carrier !== 'number' || !(carrier > 0)) throw new Failure(`${where}: mark.carrier must be a frequency in Hz`);
    if (typeof mixDb !== 'number' || !(mixDb <= 0) || mixDb < -90) throw new Failure(`${where}: mark.mixDb must be from -90 to 0`);
    checkCarrier(carrier, sampleRate);
    progress('marking');
    const signal = markSignal(mark.seed, carrier, sampleRate, length);
    const level = gainOf(mixDb);
    for (const channel of mix.channels) for (let n = 0; n < length; n++) channel[n] += level * signal[n];
    lines.push(`  mark: seed ${JSON.stringify(mark.seed)}, carrier ${carrier} Hz, ${mixDb.toFixed(1)} dB`);
  }

  let output = options['-o'];
  if (output === undefined) {
    const named = typeof manifest.output === 'string' && manifest.output !== '' ? manifest.output : path.basename(manifestPath).replace(/(\.master)?\.json$/i, '') + '.wav';
    output = path.isAbsolute(named) ? named : path.join(outputFolder(), named);
  }
  if (output === '') throw new Failure('-o needs a file name');
  const clipped = peakOf(mix) > 1;
  progress(`writing ${path.resolve(output)}`);
  writeFile(output, wavFile(mix), 'master');
  if (clipped) lines.push('  warning: the mark pushed the peak past full scale; samples were clipped');
  lines.push(`output: ${path.resolve(output)}`);
  console.log(lines.join('\n'));
}

// ---------------------------------------------------------------------------------------------
// master verify

function masterVerify(rest) {
  const { positional, options } = parseArgs(rest, ['--seed', '--carrier', '--mix-db', '--null-trials']);
  if (positional.length !== 1) throw new Failure(`master verify needs one WAV\n${usage}`, 2);
  const seed = options['--seed'];
  if (seed === undefined || seed === '') throw new Failure(`master verify needs --seed SEED\n${usage}`, 2);
  const carrier = options['--carrier'] === undefined ? 1000 : numberOption('--carrier', options['--carrier'], { min: 1 });
  const expectedDb = options['--mix-db'] === undefined ? null : numberOption('--mix-db', options['--mix-db'], { min: -90, max: 0 });
  const trials = options['--null-trials'] === undefined ? 32 : numberOption('--null-trials', options['--null-trials'], { min: 2, max: 10000, integer: true });

  const file = positional[0];
  const audio = readWav(file);
  checkCarrier(carrier, audio.sampleRate);
  const length = audio.channels[0].length;
  if (length < CHIP * 16) throw new Failure(`${file} is too short to carry a mark (${length} samples)`);
  const mono = new Float64Array(length);
  for (const channel of audio.channels) for (let n = 0; n < length; n++) mono[n] += channel[n] / audio.channels.length;

  // The correlation with a seed's mark, and the level that mark would have if present.
  const correlate = (trialSeed) => {
    const signal = markSignal(trialSeed, carrier, audio.sampleRate, length);
    let dot = 0;
    let energy = 0;
    for (let n = 0; n < length; n++) {
      dot += mono[n] * signal[n];
      energy += signal[n] * signal[n];
    }
    return { score: dot / Math.sqrt(energy), level: dot / energy };
  };
  const found = correlate(seed);
  const nulls = [];
  for (let i = 0; i < trials; i++) nulls.push(correlate(`${seed}\u0000null-${i}`).score);
  const mean = nulls.reduce((a, b) => a + b, 0) / trials;
  const sd = Math.sqrt(nulls.reduce((a, b) => a + (b - mean) * (b - mean), 0) / (trials - 1)) || Number.EPSILON;
  const z = (found.score - mean) / sd;
  const present = z >= 6 && found.level > 0;

  const lines = [
    `file: ${file} (${audio.sampleRate} Hz, ${audio.channels.length} ch, ${seconds(audio).toFixed(2)} s)`,
    `seed: ${JSON.stringify(seed)}, carrier ${carrier} Hz`,
    `score: z = ${z.toFixed(1)} against ${trials} null trials (null mean ${mean.toExponential(2)}, sd ${sd.toExponential(2)})`,
  ];
  if (present) {
    lines.push(`mark level: ${dB(found.level).toFixed(1)} dB${expectedDb === null ? '' : ` (expected ${expectedDb.toFixed(1)} dB, off by ${fixed(dB(found.level) - expectedDb)} dB)`}`);
  }
  lines.push(`mark found: ${present ? 'yes' : 'no'}`);
  console.log(lines.join('\n'));
  if (!present) throw new Failure(`no mark for seed ${JSON.stringify(seed)} in ${file} (z = ${z.toFixed(1)}, 6 needed)`);
}

// ---------------------------------------------------------------------------------------------

function main(args) {
  const [command, ...rest] = args;
  if (command === 'compose') return compose(rest);
  if (command === 'master') {
    const [verb, ...more] = rest;
    if (verb === 'run') return masterRun(more);
    if (verb === 'verify') return masterVerify(more);
    throw new Failure(`master: unknown command ${JSON.stringify(verb || '')}\n${usage}`, 2);
  }
  if (command === '--help' || command === '-h') {
    console.log(usage);
    return undefined;
  }
  throw new Failure(`unknown command ${JSON.stringify(command || '')}\n${usage}`, 2);
}

if (require.main === module) {
  try {
    main(process.argv.slice(2));
  } catch (error) {
    const message = error instanceof Failure ? error.message : `internal error: ${error && error.stack ? error.stack : error}`;
    process.stderr.write(`nerix: ${message}\n`);
    process.exitCode = error instanceof Failure ? error.status : 1;
  }
}

module.exports = { parsePiece, midiFile, readWav, wavFile, markSignal };
