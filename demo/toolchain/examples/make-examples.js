#!/usr/bin/env node
// Remakes the example inputs beside this file: two short WAV stems, the manifest that masters
// them with a mark, and marked.wav, the result of that master run.
//   node make-examples.js
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { wavFile } = require('../packages/cli/dist/index.js');

const rate = 16000;
const length = Math.round(1.6 * rate);
const here = __dirname;

// A plucked arpeggio and a soft drone, one second and a half each.
const melody = new Float64Array(length);
[261.63, 329.63, 392.0, 523.25].forEach((hz, i) => {
  const start = Math.round(i * 0.35 * rate);
  for (let n = 0; start + n < length; n++) {
    const t = n / rate;
    melody[start + n] += 0.3 * Math.exp(-4 * t) * (Math.sin(2 * Math.PI * hz * t) + 0.3 * Math.sin(4 * Math.PI * hz * t));
  }
});
const drone = new Float64Array(length);
for (let n = 0; n < length; n++) {
  const t = n / rate;
  const swell = Math.min(1, t / 0.4) * Math.min(1, (1.6 - t) / 0.4);
  drone[n] = 0.2 * swell * (Math.sin(2 * Math.PI * 130.81 * t) + 0.5 * Math.sin(2 * Math.PI * 196.0 * t));
}
fs.writeFileSync(path.join(here, 'melody.wav'), wavFile({ sampleRate: rate, channels: [melody] }));
fs.writeFileSync(path.join(here, 'drone.wav'), wavFile({ sampleRate: rate, channels: [drone] }));

const manifest = {
  title: 'Demo master',
  inputs: [
    { file: 'melody.wav', gainDb: 0 },
    { file: 'drone.wav', gainDb: -4 },
  ],
  fadeOut: 0.2,
  peakDb: -1,
  mark: { seed: 'demo-seed', carrier: 1000, mixDb: -30 },
  output: 'demo-master.wav',
};
fs.writeFileSync(path.join(here, 'demo.master.json'), JSON.stringify(manifest, null, 2) + '\n');

execFileSync(process.execPath, [path.join(here, '../packages/cli/dist/index.js'), 'master', 'run',
  path.join(here, 'demo.master.json'), '-o', path.join(here, 'marked.wav')], { stdio: 'inherit' });
