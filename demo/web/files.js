// The user's files, where the window offers them (window.vantorel): Browse… beside each path,
// a WAV dropped on Verify, and files opened with Vantorel, each in the field it belongs to. In a
// browser (vantorel-bridge) there is no such object, and the fields are typed as before.
'use strict';

(() => {
  const vantorel = window.vantorel;
  if (!vantorel) return;
  const field = (job, name) => document.querySelector(`form[data-job="${job}"]`).elements[name];
  const wavFilter = { name: 'WAV audio', patterns: ['*.wav'], mimeTypes: ['audio/x-wav', 'audio/wav'] };
  const manifestFilter = { name: 'Master manifests', patterns: ['*.master.json', '*.json'] };
  const folderOf = (path) => (path && path.startsWith('/') ? path.replace(/\/[^/]*$/, '') || '/' : undefined);

  function browse(input, choose) {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'browse';
    button.textContent = 'Browse…';
    button.addEventListener('click', async () => {
      try {
        const path = await choose(input.value);
        if (path) input.value = path;
      } catch (error) {
        console.error('Browse failed:', error.message);
      }
      input.focus();
    });
    input.closest('label').after(button);
  }

  browse(field('master', 'manifest'), async (now) => {
    const paths = await vantorel.openFiles({ title: 'Choose a manifest', folder: folderOf(now), filters: [manifestFilter] });
    return paths && paths[0];
  });
  browse(field('master', 'output'), (now) =>
    vantorel.saveFile({ title: 'Save the master as', folder: folderOf(now), name: now ? now.replace(/^.*\//, '') : 'master.wav', filters: [wavFilter] }));
  browse(field('verify', 'wav'), async (now) => {
    const paths = await vantorel.openFiles({ title: 'Choose a WAV file', folder: folderOf(now), filters: [wavFilter] });
    return paths && paths[0];
  });

  // A file goes to the field of its kind: a WAV to Verify, a manifest to Master.
  function place(path) {
    if (/\.wav$/i.test(path)) {
      field('verify', 'wav').value = path;
      return 'verify';
    }
    if (/\.json$/i.test(path)) {
      field('master', 'manifest').value = path;
      return 'master';
    }
    return null;
  }
  function show(section) {
    if (section) document.getElementById(section).scrollIntoView({ behavior: 'smooth' });
  }
  vantorel.addEventListener('open', (event) => {
    let last = null;
    for (const path of event.detail.paths) last = place(path) || last;
    show(last);
  });
  vantorel.addEventListener('drop', (event) => {
    const { paths, target } = event.detail;
    const verify = target instanceof Element && target.closest('#verify');
    const wav = paths.find((path) => /\.wav$/i.test(path));
    if (verify && wav) return void (field('verify', 'wav').value = wav);
    for (const path of paths) place(path);
  });
  // Where a file can be dropped.
  document.getElementById('verify').classList.add('drop-here');
})();
