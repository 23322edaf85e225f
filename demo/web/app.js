// The demo interface: talks to the window's bridge, which the window announces as
// window.__NERIX_BRIDGE = { port, token, origin } before this script runs.
'use strict';

(function () {
  const bridge = window.__NERIX_BRIDGE;
  const forms = Array.from(document.querySelectorAll('form[data-job]'));
  let busy = false;

  function setHealth(state, text) {
    const box = document.getElementById('health');
    box.className = 'health ' + state;
    document.getElementById('health-text').textContent = text;
  }

  async function checkHealth() {
    if (!bridge) {
      setHealth('down', 'No bridge: this page is not running in the Vantorel window, or the window has no tool chain configured.');
      return;
    }
    setHealth('unknown', 'Asking the bridge…');
    try {
      const response = await fetch(bridge.origin + '/health');
      const answer = await response.json();
      if (response.ok && answer.ok) setHealth('up', 'Bridge ready on port ' + bridge.port + ' (version ' + answer.version + ')');
      else setHealth('down', 'The bridge answered ' + response.status + ': ' + JSON.stringify(answer));
    } catch (error) {
      setHealth('down', 'Cannot reach the bridge at ' + bridge.origin + ': ' + error.message);
    }
  }

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

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Shows one answer plainly: what happened, then the tool's own words.
  function showAnswer(box, job, status, answer) {
    box.replaceChildren();
    const good = status === 200 && answer && answer.ok === true;
    box.className = 'result ' + (good ? 'ok' : 'failed');
    let headline;
    if (good) headline = { compose: 'Composed: ' + answer.outputPath, master: 'Mastered', verify: 'Verified' }[job];
    else if (answer && typeof answer.error === 'string') headline = answer.error;
    else headline = job + ' failed';
    if (!good) headline += ' (HTTP ' + status + (answer && 'exitCode' in answer ? ', exit code ' + answer.exitCode : '') + ')';
    box.append(element('p', 'headline', headline));
    for (const stream of ['stdout', 'stderr']) {
      if (answer && typeof answer[stream] === 'string' && answer[stream] !== '') {
        box.append(element('div', 'stream-name', stream === 'stdout' ? 'Output' : 'Messages'));
        box.append(element('pre', stream, answer[stream]));
      }
    }
    // A file the tool wrote can be checked straight away.
    const written = good && typeof answer.stdout === 'string' && /^output: (.+\.wav)\b/m.exec(answer.stdout);
    if (written) {
      const button = element('button', 'link', 'Verify this file');
      button.type = 'button';
      button.addEventListener('click', () => {
        document.querySelector('form[data-job="verify"]').elements.wav.value = written[1];
        document.getElementById('verify').scrollIntoView({ behavior: 'smooth' });
      });
      box.append(button);
    }
  }

  function setBusy(on, activeForm) {
    busy = on;
    document.body.classList.toggle('busy', on);
    for (const form of forms) {
      form.querySelector('button[type="submit"]').disabled = on || !bridge;
      form.closest('.job').classList.toggle('running', on && form === activeForm);
    }
  }

  async function run(form) {
    if (busy || !bridge) return;
    const job = form.dataset.job;
    const box = form.closest('.job').querySelector('.result');
    box.className = 'result pending';
    box.replaceChildren(element('p', 'headline', 'Running ' + job + '…'));
    setBusy(true, form);
    try {
      const response = await fetch(bridge.origin + '/' + job, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Nerix-Token': bridge.token },
        body: JSON.stringify(bodyFor(job, form)),
      });
      let answer = null;
      try {
        answer = await response.json();
      } catch (_) {
        answer = { error: 'the bridge sent an answer that is not JSON' };
      }
      showAnswer(box, job, response.status, answer);
    } catch (error) {
      showAnswer(box, job, 0, { error: 'Cannot reach the bridge: ' + error.message });
    } finally {
      setBusy(false);
    }
  }

  for (const form of forms) {
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      run(form);
    });
  }
  document.getElementById('health-retry').addEventListener('click', checkHealth);
  setBusy(false);
  checkHealth();
})();
