// The demo interface: talks to the window's bridge, which the window announces as
// window.__NERIX_BRIDGE = { port, token, origin } before this script runs.
'use strict';

(function () {
  const bridge = window.__NERIX_BRIDGE;
  const forms = Array.from(document.querySelectorAll('form[data-job]'));
  const HEALTH_EVERY_MS = 3000;
  const HEALTH_PATIENCE_MS = 4000;
  // What a pane keeps of one stream; the start of a long output gives way to its end.
  const PANE_LIMIT = 1 << 20;
  let running = null;  // { form, controller } of the job under way

  // ---------------------------------------------------------------------------------------
  // The status bar: asks /health every few seconds, one question at a time, during jobs too.

  let healthTimer = 0;
  let healthAsking = false;

  function setHealth(state, text) {
    const box = document.getElementById('health');
    const line = document.getElementById('health-text');
    // Unchanged text is left alone, so a screen reader does not hear every poll.
    if (box.className === 'health ' + state && line.textContent === text) return;
    box.className = 'health ' + state;
    line.textContent = text;
  }

  async function checkHealth() {
    if (!bridge) {
      setHealth('down', 'No bridge: this page is not running in the Vantorel window, or the window has no tool chain configured.');
      return;
    }
    if (healthAsking) return;
    clearTimeout(healthTimer);
    healthAsking = true;
    const controller = new AbortController();
    const patience = setTimeout(() => controller.abort(), HEALTH_PATIENCE_MS);
    try {
      const response = await fetch(bridge.origin + '/health', { cache: 'no-store', signal: controller.signal });
      const answer = await response.json();
      if (response.ok && answer.ok) setHealth('up', 'Bridge ready on port ' + bridge.port + ' (version ' + answer.version + ')');
      else setHealth('down', 'The bridge answered ' + response.status + ': ' + JSON.stringify(answer));
    } catch (error) {
      if (error.name === 'AbortError') setHealth('down', 'The bridge did not answer within ' + HEALTH_PATIENCE_MS / 1000 + ' s');
      else setHealth('down', 'Cannot reach the bridge at ' + bridge.origin + ': ' + error.message);
    } finally {
      clearTimeout(patience);
      healthAsking = false;
      healthTimer = setTimeout(checkHealth, HEALTH_EVERY_MS);
    }
  }

  // ---------------------------------------------------------------------------------------
  // Job requests

  // A number typed into a field goes out as a JSON number; anything else as the text typed.
  function valueOf(text) {
    const trimmed = text.trim();
    return trimmed !== '' && Number.isFinite(Number(trimmed)) ? Number(trimmed) : text;
  }

  function bodyFor(job, form) {
    const field = (name) => form.elements[name].value;
    if (job === 'compose') {
      const body = { source: field('source'), format: field('format') };
      if (field('name').trim() !== '') body.name = field('name');
      return body;
    }
    if (job === 'master') {
      const body = { manifest: field('manifest') };
      if (field('output').trim() !== '') body.output = field('output');
      return body;
    }
    const body = { wav: field('wav'), seed: field('seed') };
    for (const name of ['carrier', 'mixDb', 'nullTrials'])
      if (field(name).trim() !== '') body[name] = valueOf(field(name));
    return body;
  }

  // The lines of a streamed answer as they arrive; a line cut across two reads waits for its end.
  async function* linesOf(body) {
    const reader = body.getReader();
    const decoder = new TextDecoder();
    let pending = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      const parts = (pending + decoder.decode(value, { stream: true })).split('\n');
      pending = parts.pop();
      yield parts.filter((line) => line.trim() !== '');
    }
    pending += decoder.decode();
    if (pending.trim() !== '') yield [pending];
  }

  // ---------------------------------------------------------------------------------------
  // Output panes: one per job, built once; the headline is the only part a screen reader
  // announces, the streams are read at will.

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function makePane(section) {
    const box = section.querySelector('.result');
    const title = section.querySelector('h2').textContent;
    const headline = element('p', 'headline');
    headline.setAttribute('role', 'status');
    const extra = element('div', 'extra');
    box.hidden = true;
    box.append(headline);
    const streams = {};
    for (const [name, label] of [['stdout', 'Output'], ['stderr', 'Messages']]) {
      const heading = element('div', 'stream-name', label);
      const pre = element('pre', name);
      pre.tabIndex = 0;  // scrollable with the keyboard
      pre.setAttribute('aria-label', title + ': ' + label.toLowerCase());
      heading.hidden = pre.hidden = true;
      box.append(heading, pre);
      const stream = { label, heading, pre, size: 0, cut: false, following: true };
      // The pane follows the end of the output until the reader scrolls away from it.
      pre.addEventListener('scroll', () => {
        stream.following = pre.scrollHeight - pre.scrollTop - pre.clientHeight < 8;
      });
      streams[name] = stream;
    }
    box.append(extra);

    return {
      start(text) {
        box.hidden = false;
        box.className = 'result pending';
        headline.textContent = text;
        extra.replaceChildren();
        for (const stream of Object.values(streams)) {
          stream.pre.replaceChildren();
          stream.heading.hidden = stream.pre.hidden = true;
          stream.heading.textContent = stream.label;
          stream.size = 0;
          stream.cut = false;
          stream.following = true;
        }
      },
      append(name, text) {
        if (!text) return;
        const stream = streams[name];
        const pre = stream.pre;
        stream.heading.hidden = pre.hidden = false;
        let cut = text.length > PANE_LIMIT;
        if (cut) text = text.slice(-PANE_LIMIT);
        pre.append(text);
        stream.size += text.length;
        for (; stream.size > PANE_LIMIT; cut = true) {
          stream.size -= pre.firstChild.textContent.length;
          pre.firstChild.remove();
        }
        if (cut && !stream.cut) stream.heading.textContent = stream.label + ' (the start is no longer shown)';
        stream.cut = stream.cut || cut;
        if (stream.following) pre.scrollTop = pre.scrollHeight;
      },
      text(name) {
        return streams[name].pre.textContent;
      },
      finish(state, text) {
        box.className = 'result ' + state;
        headline.textContent = text;
      },
      offer(button) {
        extra.append(button);
      },
    };
  }

  const panes = new Map(forms.map((form) => [form, makePane(form.closest('.job'))]));

  // What happened, in one line: the job's result, its error, or why there is none.
  function finishAnswer(pane, job, status, answer) {
    const good = status === 200 && answer && answer.ok === true;
    let headline;
    if (good) headline = { compose: 'Composed' + (answer.outputPath ? ': ' + answer.outputPath : ''), master: 'Mastered', verify: 'Verified' }[job];
    else if (answer && typeof answer.error === 'string') headline = answer.error;
    else headline = job + ' failed';
    if (!good && status) headline += ' (HTTP ' + status + (answer && 'exitCode' in answer ? ', exit code ' + answer.exitCode : '') + ')';
    pane.finish(good ? 'ok' : 'failed', headline);

    // A file the tool wrote can be checked straight away.
    const written = good && /^output: (.+\.wav)\b/m.exec(pane.text('stdout'));
    if (written) {
      const button = element('button', 'link', 'Verify this file');
      button.type = 'button';
      button.addEventListener('click', () => {
        const verify = document.querySelector('form[data-job="verify"]');
        verify.elements.wav.value = written[1];
        document.getElementById('verify').scrollIntoView({ behavior: 'smooth' });
        verify.elements.wav.focus({ preventScroll: true });
      });
      pane.offer(button);
    }
    const file = good && (answer.outputPath || (written && written[1]));
    // A WAV file it wrote plays here, from the URL the bridge gives for it.
    if (file && file.startsWith('/') && /\.wav$/i.test(file)) addPlayer(pane, file);
    // In the window, the file it wrote can be shown in the file manager or opened.
    if (file && file.startsWith('/') && window.vantorel) {
      for (const [label, call] of [['Show in Files', 'showInFiles'], ['Open', 'openFile']]) {
        const button = element('button', 'link', label);
        button.type = 'button';
        button.addEventListener('click', async () => {
          if (!(await window.vantorel[call](file))) button.textContent = label + ' (did not work)';
        });
        pane.offer(button);
      }
    }
  }

  async function addPlayer(pane, file) {
    try {
      const response = await fetch(bridge.origin + '/files', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Nerix-Token': bridge.token },
        body: JSON.stringify({ path: file }),
      });
      const answer = await response.json();
      if (!response.ok) throw new Error(answer.error || 'HTTP ' + response.status);
      const player = element('audio', 'player');
      player.controls = true;
      player.preload = 'metadata';
      player.src = answer.url;
      player.setAttribute('aria-label', 'Play ' + file.slice(file.lastIndexOf('/') + 1));
      pane.offer(player);
    } catch (error) {
      pane.offer(element('span', 'note', 'This file cannot be played here: ' + error.message));
    }
  }

  // ---------------------------------------------------------------------------------------
  // Running a job: its output is shown as the tool writes it; Cancel ends the request, and the
  // bridge stops the tool when the request goes.

  function setBusy(form) {
    document.body.classList.toggle('busy', form !== null);
    for (const each of forms) {
      const submit = each.querySelector('button[type="submit"]');
      const cancel = each.querySelector('button.cancel');
      const mine = each === form;
      // Focus follows the button that takes the place of the one the user pressed.
      const hadFocus = document.activeElement === submit || document.activeElement === cancel;
      submit.disabled = form !== null || !bridge;
      cancel.hidden = !mine;
      each.closest('.job').classList.toggle('running', mine);
      if (hadFocus) (mine ? cancel : submit).focus();
    }
  }

  async function run(form) {
    if (running || !bridge) return;
    const job = form.dataset.job;
    const pane = panes.get(form);
    const controller = new AbortController();
    running = { form, controller };
    pane.start('Running ' + job + '…');
    setBusy(form);
    try {
      const response = await fetch(bridge.origin + '/' + job, {
        method: 'POST',
        headers: {
          'Content-Type': 'application/json',
          'X-Nerix-Token': bridge.token,
          Accept: 'application/x-ndjson',
        },
        body: JSON.stringify(bodyFor(job, form)),
        signal: controller.signal,
      });
      if (!(response.headers.get('Content-Type') || '').startsWith('application/x-ndjson')) {
        // A refusal before the tool ran (or a bridge without live output): one plain answer.
        let answer;
        try {
          answer = await response.json();
        } catch (_) {
          answer = { error: 'the bridge sent an answer that is not JSON' };
        }
        for (const name of ['stdout', 'stderr']) if (answer && typeof answer[name] === 'string') pane.append(name, answer[name]);
        finishAnswer(pane, job, response.status, answer);
        return;
      }
      let last = null;
      for await (const lines of linesOf(response.body)) {
        const text = { stdout: '', stderr: '' };
        for (const line of lines) {
          let item;
          try {
            item = JSON.parse(line);
          } catch (_) {
            item = { stderr: '[the bridge sent a line that is not JSON: ' + line + ']\n' };
          }
          if (typeof item.stdout === 'string') text.stdout += item.stdout;
          else if (typeof item.stderr === 'string') text.stderr += item.stderr;
          else if (typeof item.status === 'number') last = item;
        }
        pane.append('stdout', text.stdout);
        pane.append('stderr', text.stderr);
      }
      if (last) finishAnswer(pane, job, last.status, last);
      else finishAnswer(pane, job, 0, { error: 'The bridge ended the answer before the job had finished' });
    } catch (error) {
      if (error.name === 'AbortError') pane.finish('cancelled', 'Cancelled: the ' + job + ' job was stopped');
      else finishAnswer(pane, job, 0, { error: 'Cannot reach the bridge: ' + error.message });
    } finally {
      running = null;
      setBusy(null);
    }
  }

  for (const form of forms) {
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      run(form);
    });
    form.querySelector('button.cancel').addEventListener('click', () => {
      if (running && running.form === form) running.controller.abort();
    });
  }
  document.getElementById('health-retry').addEventListener('click', checkHealth);
  setBusy(null);
  setHealth('unknown', 'Asking the bridge…');
  checkHealth();
})();
