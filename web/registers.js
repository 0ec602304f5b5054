// The registers' cards: state in words and colour, queue, last status and its age, the
// status check, and for a held register why and what to do, with Resume.

import { h, clear, timeEl, say, keepFocus, setFocus } from './dom.js';
import { post, paths, newKey } from './api.js';
import { t, has, currentLang } from './i18n.js';
import { registerStateWord, registerStateExplain, localTime, age, reasonText, sentence } from './text.js';

const ICON = { idle: '●', busy: '◐', held: '■', unreachable: '▲' };

// An error from the service in the page's words: by its code, else its own message.
export function errorText(e) {
  return e && e.code && has(`apiError.${e.code}`) ? t(`apiError.${e.code}`) : (e && e.message) || '';
}

// Why a register is held, by the hold's code; what to do about it, by the same code.
export function heldWhy(reg) {
  const held = reg.held || {};
  if (held.reasonCode && has(`hold.${held.reasonCode}`)) return t(`hold.${held.reasonCode}`, held.reasonParams || {});
  return reasonText(held.reasonCode, held.reasonParams, held.reason) || t('hold.unknown');
}

export function heldAdvice(reg) {
  const code = (reg.held && reg.held.reasonCode) || '';
  if (['counter_jumped', 'different_register', 'counter_not_number'].includes(code)) return t('hold.todo.counter');
  if (code === 'no_advance') return t('hold.todo.no_advance');
  return t('hold.todo.sale');
}

// What to check on a register that does not answer, by what went wrong with its line.
export function unreachableAdvice(reg) {
  const code = reg.errorCode || '';
  return has(`regError.${code}`) ? t(`regError.${code}`, { device: reg.device || '' }) : registerStateExplain('unreachable');
}

// A button that is busy keeps the focus: it says so instead of being disabled.
function busy(button, on) {
  if (on) button.setAttribute('aria-disabled', 'true');
  else button.removeAttribute('aria-disabled');
}
const isBusy = (button) => button.getAttribute('aria-disabled') === 'true';

async function statusCheck(reg, button) {
  if (isBusy(button)) return;
  busy(button, true);
  try {
    const job = await post(paths.jobsOf(reg.name), { kind: 'status' }, newKey());
    say(t('card.checking', { name: reg.name, id: job.id }));
  } catch (e) {
    say(t('card.checkFailed', { name: reg.name, why: errorText(e) }), 'error');
  } finally {
    for (const b of document.querySelectorAll(`[data-register="${CSS.escape(reg.name)}"] [data-act="check"]`)) busy(b, false);
  }
}

// Why the last Resume did not release a register; shown in its card (which is redrawn on
// every change of the register) until it is released.
const resumeNote = new Map();

function showNote(name, text) {
  if (text) resumeNote.set(name, text);
  else resumeNote.delete(name);
  // The card may have been redrawn while the register was read: write into the one shown.
  for (const el of document.querySelectorAll(`[data-register="${CSS.escape(name)}"] .resume-note`)) el.textContent = text;
}

// Resume: the register is read again and released when nothing is left open. Answers
// true when it was released. Used by the cards and by a held job's page.
export async function resume(name, button, noteEl) {
  if (button && isBusy(button)) return false;
  if (button) busy(button, true);
  const note = (text) => {
    showNote(name, text);
    if (noteEl) noteEl.textContent = text;
  };
  note(t('resume.checking'));
  try {
    await post(paths.resume(name));
    note('');
    say(t('resume.released', { name }));
    return true;
  } catch (e) {
    const why = e.code === 'sale_open' ? t('resume.saleOpen') : e.code === 'unreachable' ? t('resume.unreadable') : errorText(e);
    note(t('resume.stillHeld', { why }));
    return false;
  } finally {
    if (button) busy(button, false);
  }
}

// A long device path may wrap after a '/', never inside a name.
function pathBreaks(path) {
  return path.split(/(?<=\/)/).flatMap((part, i) => (i ? [h('wbr'), part] : [part]));
}

let stale = false;
// During an outage every card says that what it shows may be old.
export function markStale(on) {
  stale = on;
  for (const card of document.querySelectorAll('article.reg')) {
    card.classList.toggle('stale', on);
    const note = card.querySelector('.stale-note');
    if (note) note.hidden = !on;
  }
}

export function registerCard(reg, { withTools = true, level = 3 } = {}) {
  const last = reg.lastStatus || null;
  const id = `reg-${reg.name}`;
  const checkBtn = h('button', { type: 'button', class: 'btn', dataset: { act: 'check' } }, t('card.check'));
  checkBtn.addEventListener('click', () => statusCheck(reg, checkBtn));

  let held = null;
  if (reg.state === 'held') {
    const resumeBtn = h('button', { type: 'button', class: 'btn primary', dataset: { act: 'resume' } }, t('card.resume'));
    const note = h('p', { class: 'resume-note', role: 'status' }, resumeNote.get(reg.name) || '');
    resumeBtn.addEventListener('click', () => resume(reg.name, resumeBtn));
    const jobId = reg.held && reg.held.jobId;
    held = h(
      'div',
      { class: 'held-box', role: 'group', 'aria-label': t('card.heldGroup', { name: reg.name }) },
      h('p', {}, h('strong', {}, t('card.why')), ' ', heldWhy(reg)),
      h('p', {}, h('strong', {}, t('card.todo')), ' ', heldAdvice(reg)),
      h('div', { class: 'row' }, resumeBtn, jobId ? h('a', { href: `#/jobs/${jobId}` }, t('card.causedBy', { id: jobId })) : null),
      note,
    );
  } else {
    resumeNote.delete(reg.name);
  }

  const rows = [
    [t('card.device'), h('code', {}, pathBreaks(reg.device || '—'))],
    [t('card.queued'), String(reg.queued ?? 0)],
  ];
  if (Number.isInteger(reg.attention) && reg.attention > 0)
    rows.push([t('card.attention'), h('a', { href: `#/?state=attention&register=${encodeURIComponent(reg.name)}` }, t('card.attentionJobs', { count: reg.attention }))]);
  if (last) {
    rows.push([t('card.counter'), last.receiptNumber || '—']);
    rows.push([t('card.serial'), last.serial || '—']);
    if (last.model) rows.push([t('card.model'), last.model]);
    // Held: the why above says what the register had open; a reading's "no sale open" from
    // before would contradict it.
    if (reg.state !== 'held') rows.push([t('card.saleOpen'), last.saleOpen ? t('card.saleOpen.yes') : t('card.saleOpen.no')]);
    rows.push([t('card.lastChecked'), h('span', {}, timeEl(last.at, localTime(last.at, { short: true })), ' ', h('span', { class: 'age', dataset: { at: last.at || '' } }, `(${age(last.at)})`))]);
  } else {
    rows.push([t('card.lastChecked'), t('card.notYet')]);
  }

  const card = h(
    'article',
    { class: `card reg state-${reg.state}${stale ? ' stale' : ''}`, id: `card-${reg.name}`, 'aria-labelledby': id, dataset: { register: reg.name } },
    h(
      'div',
      { class: 'card-head' },
      h(`h${level}`, { id }, reg.name),
      h('span', { class: `badge ${reg.state}` }, h('span', { 'aria-hidden': 'true' }, ICON[reg.state] || '•'), ` ${registerStateWord(reg.state)}`),
    ),
    h('p', { class: 'stale-note', hidden: !stale }, t('card.stale')),
    // A held register: why and Resume first, then its facts.
    held,
    reg.state === 'unreachable' ? h('p', { class: 'explain' }, unreachableAdvice(reg)) : reg.state !== 'idle' && !held ? h('p', { class: 'explain' }, registerStateExplain(reg.state)) : null,
    reg.state === 'unreachable' && reg.lastError && currentLang() === 'en' ? h('p', { class: 'explain' }, h('strong', {}, t('card.lastError')), ' ', h('span', { lang: 'en' }, sentence(reg.lastError))) : null,
    h('dl', { class: 'facts' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)])),
    h(
      'div',
      { class: 'row' },
      checkBtn,
      withTools ? h('a', { class: 'btn link', dataset: { act: 'tools' }, href: `#/registers/${encodeURIComponent(reg.name)}`, 'aria-label': t('card.toolsLabel', { name: reg.name }) }, t('card.tools')) : null,
    ),
  );
  return card;
}

export function renderCards(container, registers, opts) {
  clear(container);
  if (!registers.length) {
    container.append(h('p', { class: 'muted' }, t('card.none')));
    return;
  }
  for (const r of registers) {
    const card = registerCard(r, opts);
    card.dataset.json = JSON.stringify(r);
    container.append(card);
  }
}

// A card drawn again for a changed register; the same register again changes nothing.
// A keyboard user's focus stays on the same control of the new card, or on the card
// when that control is gone (Resume, once the register is released).
export function replaceCard(old, reg, opts) {
  const json = JSON.stringify(reg);
  if (old.dataset.json === json) return old;
  const fresh = registerCard(reg, opts);
  fresh.dataset.json = json;
  const parent = old.parentElement;
  const had = old.contains(document.activeElement) ? document.activeElement.dataset.act || 'card' : '';
  keepFocus(parent || document.body, () => old.replaceWith(fresh));
  if (had && !fresh.contains(document.activeElement)) {
    const again = had !== 'card' && fresh.querySelector(`[data-act="${had}"]`);
    if (again) again.focus({ preventScroll: true });
    else setFocus(fresh);
  }
  return fresh;
}

// Ages ("3 min fa") move on without asking the service anything.
export function refreshAges(root = document) {
  for (const el of root.querySelectorAll('.age[data-at]')) {
    if (el.dataset.at) el.textContent = `(${age(el.dataset.at)})`;
  }
}
