// Tells whether a screenshot of the window shows the demo page, drawn, with its bridge reached.
//   node scripts/demo-picture.js RGB_FILE WIDTH HEIGHT STYLE_CSS
// RGB_FILE holds WIDTH x HEIGHT pixels of 8-bit RGB. The colours come from the page's own style
// sheet: the top bar in the ink colour with light title text and the green dot of a reached
// bridge, and below it the paper and card colours of the three job panels.
// Prints one line and exits 0 when the picture is the page, 1 when it is not (the line says
// what is missing), 2 when the inputs cannot be read.
'use strict';
const fs = require('fs');

const [file, widthText, heightText, styleFile] = process.argv.slice(2);
const width = Number(widthText), height = Number(heightText);
let pixels, style;
try {
  pixels = fs.readFileSync(file);
  style = fs.readFileSync(styleFile, 'utf8');
} catch (error) {
  console.log('cannot read the inputs: ' + error.message);
  process.exit(2);
}
if (pixels.length !== width * height * 3) {
  console.log(`the picture has ${pixels.length} bytes, not ${width} x ${height} x 3`);
  process.exit(2);
}

function colour(pattern, what) {
  const m = style.match(pattern);
  if (!m) {
    console.log('the style sheet names no ' + what);
    process.exit(2);
  }
  const hex = m[1];
  return [0, 2, 4].map((i) => parseInt(hex.substr(i, 2), 16));
}
const ink = colour(/--ink:\s*#([0-9a-f]{6})/i, 'ink colour');
const paper = colour(/--paper:\s*#([0-9a-f]{6})/i, 'paper colour');
const card = colour(/--card:\s*#([0-9a-f]{6})/i, 'card colour');
const up = colour(/\.health\.up \.dot\s*\{[^}]*background:\s*#([0-9a-f]{6})/i, 'colour for a reached bridge');

const near = (x, y, c, tolerance = 12) => {
  const i = (y * width + x) * 3;
  return Math.abs(pixels[i] - c[0]) <= tolerance && Math.abs(pixels[i + 1] - c[1]) <= tolerance &&
         Math.abs(pixels[i + 2] - c[2]) <= tolerance;
};
const light = (x, y) => {
  const i = (y * width + x) * 3;
  return pixels[i] > 200 && pixels[i + 1] > 200 && pixels[i + 2] > 200;
};

// The page's top bar: the first run of rows that are mostly ink, below the window's header bar
// (and a settings bar, when the window shows one) near the top.
const inky = (y) => {
  let count = 0;
  for (let x = 0; x < width; ++x) count += near(x, y, ink);
  return count >= width * 0.6;
};
let top = 0;
while (top < Math.min(height, 240) && !inky(top)) ++top;
let bar = 0;
while (top + bar < height && inky(top + bar)) ++bar;
let title = 0, dot = 0;
for (let y = top; y < top + bar; ++y)
  for (let x = 0; x < width; ++x) {
    title += x < width / 3 && light(x, y);
    dot += x >= width / 2 && near(x, y, up, 24);
  }
let panel = 0, text = 0, page = 0, sampled = 0;
for (let y = top + bar; y < height; y += 2)
  for (let x = 0; x < width; x += 2) {
    const i = (y * width + x) * 3;
    panel += near(x, y, card, 4);
    page += near(x, y, paper, 4) || near(x, y, card, 4) || light(x, y);
    text += pixels[i] + pixels[i + 1] + pixels[i + 2] < 300;
    ++sampled;
  }
const share = (n) => Math.round((100 * n) / sampled);

// The most common colour's share of the whole window: a page that has not drawn is one colour.
const counts = new Map();
for (let i = 0; i < pixels.length; i += 3 * 7) {
  const key = (pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2];
  counts.set(key, (counts.get(key) || 0) + 1);
}
const flat = Math.max(...counts.values()) / Math.ceil(pixels.length / 21);

function fail(reason) {
  console.log(reason);
  process.exit(1);
}
if (flat > 0.97) fail(`the window is one flat colour (${Math.round(100 * flat)}% of it): the page has not drawn`);
if (bar < 30 || bar > 120) fail(`the window shows no top bar of the page (${bar} rows in its colour near the top, not 30 to 120)`);
if (title < 150) fail('the top bar holds no title');
if (share(page) < 70) fail(`only ${share(page)}% below the top bar is in the page's colours`);
if (share(panel) < 15 || text < sampled * 0.003)
  fail(`the job panels are missing below the top bar (${share(panel)}% panel colour, ${(100 * text / sampled).toFixed(1)}% text)`);
if (dot < 30) fail('the page is drawn, but its top bar does not show a reached bridge');
console.log(`the demo page: a top bar of ${bar} pixels ${top} below the window's top, with its title and the bridge reached, the job panels below`);
