// A chunk of its own, imported by the entry as bundlers split them.
export const paint = (colour) => { document.getElementById('state').style.background = colour; };

// Settles with what `run` gives, or with the error's text: one failing check leaves the others.
// The checks done so far are shown in the state box as they settle.
export const check = async (run) => {
  const state = document.getElementById('state');
  state.textContent += ' …';
  try { return await run(); } catch (error) { return `failed: ${error}`; } finally { state.textContent += ' ✓'; }
};

export const once = (target, event) => new Promise((resolve, reject) => {
  target.addEventListener(event, resolve, { once: true });
  target.addEventListener('error', () => reject(new Error(`media error ${target.error && target.error.code}`)), { once: true });
});
