// The registers' cards: state in words and colour, queue, last status and its age, the
// status check, and for a held register why and what to do, with Resume.

import { h, clear, timeEl, say } from './dom.js';
import { post, paths, newKey } from './api.js';
import { REGISTER_STATES, localTime, age, sentence } from './text.js';

const ICON = { idle: '●', busy: '◐', held: '■', unreachable: '▲' };

// What to do about a held register, from its reason.
function heldAdvice(reg) {
  const reason = (reg.held && reg.held.reason) || '';
  if (/advanced by more than one|counter/i.test(reason)) {
    return 'Another receipt was printed on this register while the service was waiting for one of its own. Compare the register’s paper roll with the job named here, then press Resume.';
  }
  return 'On the register itself, finish the open sale (take the payment) or cancel it. Then press Resume: the register is checked again and released only when no sale is open on it.';
}

async function statusCheck(reg, button) {
  button.disabled = true;
  try {
    const job = await post(paths.jobsOf(reg.name), { kind: 'status' }, newKey());
    say(`Checking ${reg.name} (job ${job.id}).`);
  } catch (e) {
    say(`Could not check ${reg.name}: ${e.message}`, 'error');
  } finally {
    button.disabled = false;
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

async function resume(reg, button) {
  button.disabled = true;
  showNote(reg.name, 'Checking the register…');
  try {
    await post(paths.resume(reg.name));
    showNote(reg.name, '');
    say(`${reg.name} is released: no sale is open on it.`);
  } catch (e) {
    const why = e.code === 'sale_open' ? 'a sale is still open on the register. Finish or cancel it there first.' : e.message;
    showNote(reg.name, `Still on hold: ${why}`);
  } finally {
    button.disabled = false;
  }
}

// A long device path may wrap after a '/', never inside a name.
function pathBreaks(path) {
  return path.split(/(?<=\/)/).flatMap((part, i) => (i ? [h('wbr'), part] : [part]));
}

export function registerCard(reg, { withTools = true } = {}) {
  const st = REGISTER_STATES[reg.state] || { word: reg.state, explain: '' };
  const last = reg.lastStatus || null;
  const id = `reg-${reg.name}`;
  const checkBtn = h('button', { type: 'button', class: 'btn', dataset: { act: 'check' } }, 'Check now');
  checkBtn.addEventListener('click', () => statusCheck(reg, checkBtn));

  let held = null;
  if (reg.state === 'held') {
    const resumeBtn = h('button', { type: 'button', class: 'btn primary', dataset: { act: 'resume' } }, 'Resume');
    const note = h('p', { class: 'resume-note', role: 'status' }, resumeNote.get(reg.name) || '');
    resumeBtn.addEventListener('click', () => resume(reg, resumeBtn));
    held = h(
      'div',
      { class: 'held-box', role: 'group', 'aria-label': `Why ${reg.name} is on hold` },
      h('p', {}, h('strong', {}, 'Why: '), sentence(reg.held && reg.held.reason) || 'The last receipt’s outcome needs checking.'),
      reg.held && reg.held.jobId ? h('p', {}, 'Caused by ', h('a', { href: `#/jobs/${reg.held.jobId}` }, `job ${reg.held.jobId}`)) : null,
      h('p', {}, h('strong', {}, 'What to do: '), heldAdvice(reg)),
      resumeBtn,
      note,
    );
  } else {
    resumeNote.delete(reg.name);
  }

  const rows = [
    ['Device', h('code', {}, pathBreaks(reg.device || '—'))],
    ['Jobs waiting', String(reg.queued ?? 0)],
  ];
  if (last) {
    rows.push(['Receipt counter', last.receiptNumber || '—']);
    rows.push(['Serial no.', last.serial || '—']);
    if (last.model) rows.push(['Model', last.model]);
    rows.push(['Sale open', last.saleOpen ? 'Yes — a sale is open on the register' : 'No']);
    rows.push([
      'Last checked',
      h('span', {}, timeEl(last.at, localTime(last.at, { short: true })), ' ', h('span', { class: 'age', dataset: { at: last.at || '' } }, `(${age(last.at)})`)),
    ]);
  } else {
    rows.push(['Last checked', 'not yet: press Check now']);
  }

  return h(
    'article',
    { class: `card reg state-${reg.state}`, 'aria-labelledby': id, dataset: { register: reg.name } },
    h(
      'div',
      { class: 'card-head' },
      h('h3', { id }, reg.name),
      h('span', { class: `badge ${reg.state}` }, h('span', { 'aria-hidden': 'true' }, ICON[reg.state] || '•'), ` ${st.word}`),
    ),
    reg.state !== 'idle' ? h('p', { class: 'explain' }, st.explain) : null,
    reg.state === 'unreachable' && reg.lastError ? h('p', { class: 'explain' }, h('strong', {}, 'Last error: '), sentence(reg.lastError)) : null,
    h('dl', { class: 'facts' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)])),
    held,
    h(
      'div',
      { class: 'row' },
      checkBtn,
      withTools ? h('a', { class: 'btn link', dataset: { act: 'tools' }, href: `#/registers/${encodeURIComponent(reg.name)}`, 'aria-label': `Tools for ${reg.name}: downloads, totals, test receipt` }, 'Tools') : null,
    ),
  );
}

export function renderCards(container, registers, opts) {
  clear(container);
  if (!registers.length) {
    container.append(h('p', { class: 'muted' }, 'No registers are configured in cassardd.toml.'));
    return;
  }
  for (const r of registers) {
    const card = registerCard(r, opts);
    card.dataset.json = JSON.stringify(r);
    container.append(card);
  }
}

// A card drawn again for a changed register; the same register again changes nothing.
// A keyboard user's focus stays on the same button of the new card.
export function replaceCard(old, reg, opts) {
  const json = JSON.stringify(reg);
  if (old.dataset.json === json) return old;
  const fresh = registerCard(reg, opts);
  fresh.dataset.json = json;
  const act = old.contains(document.activeElement) ? document.activeElement.dataset.act : '';
  old.replaceWith(fresh);
  const again = act && fresh.querySelector(`[data-act="${act}"]`);
  if (again) again.focus();
  return fresh;
}

// Ages ("3 min ago") move on without asking the service anything.
export function refreshAges(root = document) {
  for (const el of root.querySelectorAll('.age[data-at]')) {
    if (el.dataset.at) el.textContent = `(${age(el.dataset.at)})`;
  }
}
