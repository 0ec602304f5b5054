import { t } from './i18n.js';

// A small element builder: h('p', {class: 'x'}, 'text', child). Text is always set as
// text, never parsed as HTML, so what the register or a request says cannot become markup.

export function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === false || v === null || v === undefined) continue;
    if (k.startsWith('on') && typeof v === 'function') el.addEventListener(k.slice(2), v);
    else if (k === 'class') el.className = v;
    else if (k === 'dataset') Object.assign(el.dataset, v);
    else if (v === true) el.setAttribute(k, '');
    else el.setAttribute(k, String(v));
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const c of children) {
    if (c === null || c === undefined || c === false) continue;
    if (Array.isArray(c)) append(el, c);
    else el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
}

export function clear(el) {
  while (el.firstChild) el.firstChild.remove();
  return el;
}

// <time> with the machine-readable UTC value and the shop's local reading.
export function timeEl(iso, text) {
  return iso ? h('time', { datetime: iso }, text) : h('span', { class: 'muted' }, '—');
}

let toastTimer = 0;
let carry = false;

// A message outlives a change of page only when it was said for the page the action
// opens (`carry`, a job just started); on any other move it goes.
export function dropStaleToast() {
  if (carry) {
    carry = false;
    return;
  }
  const t = document.getElementById('toast');
  t.textContent = '';
  t.className = 'toast';
}

export function say(message, kind = 'info', { toNextPage = false } = {}) {
  carry = toNextPage;
  const t = document.getElementById('toast');
  t.className = `toast ${kind}`;
  t.textContent = message;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => {
    t.textContent = '';
    t.className = 'toast';
  }, 8000);
}

// A modal question; resolves true only on the explicit confirming button. Cancel has the
// focus first, so Enter alone never confirms a destructive step.
export function confirmDialog({ title, body, confirm, dismiss = t('common.cancel'), danger = true }) {
  return new Promise((resolve) => {
    const dlg = document.getElementById('confirm');
    clear(dlg);
    const cancelBtn = h('button', { type: 'button', class: 'btn', value: 'cancel' }, dismiss);
    const okBtn = h('button', { type: 'button', class: danger ? 'btn danger' : 'btn primary' }, confirm);
    dlg.setAttribute('aria-labelledby', 'confirm-title');
    dlg.append(
      h('h2', { id: 'confirm-title' }, title),
      ...[].concat(body).map((p) => h('p', {}, p)),
      h('div', { class: 'row end' }, cancelBtn, okBtn),
    );
    const done = (v) => {
      dlg.close();
      resolve(v);
    };
    cancelBtn.addEventListener('click', () => done(false));
    okBtn.addEventListener('click', () => done(true));
    dlg.addEventListener('cancel', () => resolve(false), { once: true });
    dlg.showModal();
    cancelBtn.focus();
  });
}

// Moves the focus to an element that may not take it by itself (a heading, a panel);
// the tabindex goes again when it loses the focus, as it is not a stop for Tab.
export function setFocus(el) {
  if (!el) return;
  if (!el.hasAttribute('tabindex')) {
    el.setAttribute('tabindex', '-1');
    el.addEventListener('blur', () => el.removeAttribute('tabindex'), { once: true });
  }
  el.focus({ preventScroll: true });
}

// Where the focus is, said so that it can be found again in a redrawn copy: the element's
// id, or its data-act or name within the nearest ancestor that has an id.
function focusPath(root) {
  const el = document.activeElement;
  if (!el || el === document.body || !root.contains(el)) return null;
  if (el.id) return { sel: `#${CSS.escape(el.id)}` };
  const host = el.parentElement && el.parentElement.closest('[id]');
  const own = el.dataset.act ? `[data-act="${CSS.escape(el.dataset.act)}"]` : el.getAttribute('name') ? `[name="${CSS.escape(el.getAttribute('name'))}"]` : null;
  if (host && own) return { sel: `#${CSS.escape(host.id)} ${own}`, host: host.id };
  if (host) {
    const same = [...host.querySelectorAll(el.tagName)];
    return { sel: null, host: host.id, tag: el.tagName, index: same.indexOf(el) };
  }
  return null;
}

// The page's scroll position as of the last scroll event: reading window.scrollY after a
// change of the page makes the browser lay it out at once, and a burst of live updates
// would then lay the page out many times a frame.
let scrolledTo = typeof window === 'undefined' ? 0 : window.scrollY;
let scrollBack = null;
if (typeof window !== 'undefined') window.addEventListener('scroll', () => (scrolledTo = window.scrollY), { passive: true });

// Puts the scroll back where it was before this frame's redraws, once, when the browser
// lays the page out anyway.
function holdScroll() {
  if (scrollBack !== null) return;
  scrollBack = scrolledTo;
  requestAnimationFrame(() => {
    const y = scrollBack;
    scrollBack = null;
    if (window.scrollY !== y) window.scrollTo(0, y);
  });
}

// A new page starts at its top, also when a redraw held the old page's scroll this frame.
export function toTop() {
  scrolledTo = 0;
  if (scrollBack !== null) scrollBack = 0;
  window.scrollTo(0, 0);
}

// Runs `redraw` (which replaces part of `root`) and puts the focus back where the person
// was: on the same control in the new copy, or else on the nearest thing around it that
// is still there, never on the page's body. The scroll position stays.
export function keepFocus(root, redraw) {
  const where = focusPath(root);
  holdScroll();
  const out = redraw();
  if (where) {
    let el = where.sel ? root.querySelector(where.sel) : null;
    if (!el && where.tag) {
      const host = document.getElementById(where.host);
      el = host ? host.querySelectorAll(where.tag)[where.index] : null;
    }
    if (!el && where.host) el = document.getElementById(where.host);
    if (el && !el.disabled) el === document.activeElement || (el.matches('a, button, input, select, textarea, summary, [tabindex]') ? el.focus({ preventScroll: true }) : setFocus(el));
    else setFocus(root);
  }
  return out;
}
