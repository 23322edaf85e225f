// Stands in for the tool chain's command line in the window's end-to-end test. Records every run
// (arguments, working folder, process id, for compose the source) in calls.jsonl beside itself
// first; compose copies its source to the -o path (the bytes of "base64:<data>" decoded);
// "manifests/wait.master.json" writes a line and waits to be stopped.
'use strict';
const fs = require('fs');
const args = process.argv.slice(2);
const record = { args, cwd: process.cwd(), pid: process.pid };
if (args[0] === 'compose') record.source = fs.readFileSync(args[2], 'utf8');
fs.appendFileSync(`${__dirname}/calls.jsonl`, JSON.stringify(record) + '\n');
if (args[0] === 'compose') {
  fs.mkdirSync(require('path').dirname(args[4]), { recursive: true });
  const source = record.source;
  fs.writeFileSync(args[4], source.startsWith('base64:') ? Buffer.from(source.slice(7), 'base64') : source);
}
if (args[2] === 'manifests/wait.master.json') {
  process.stdout.write('fixture waits\n');
  setTimeout(() => {}, 300000);  // long past the test's deadline, yet never forever
} else {
  process.stdout.write(`fixture ${args[0]} ${args[1]} ok\n`);
}
if (args[1] === 'verify') process.stderr.write('fixture verify notes\n');
