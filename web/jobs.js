// The jobs list: newest first, filtered by register and state, kept current by the live
// events (no reloading, no polling), older pages on request.

import { h, clear, timeEl, say } from './dom.js';
import { get, paths } from './api.js';
import { JOB_STATES, KINDS, localTime, explainExit, sentence } from './text.js';

const PAGE = 50;
const STATE_ORDER = ['queued', 'running', 'done', 'failed', 'uncertain', 'attention'];

function newer(a, b) {
  // ids grow with time, and two jobs of the same second keep their order.
  return b.id - a.id;
}

export function outcomeText(job) {
  if (job.state === 'queued' || job.state === 'running') return JOB_STATES[job.state].explain;
  if (job.state === 'uncertain' || job.state === 'attention') return sentence(job.reason) || JOB_STATES[job.state].explain;
  if (job.state === 'done') return job.kind === 'receipt' && job.receiptNumber ? `Receipt ${job.receiptNumber} printed` : 'Completed';
  const e = explainExit(job.exitStatus, '', job.meaning);
  return sentence(job.meaning) || (e && e.what) || sentence(job.reason);
}

export function stateBadge(state) {
  const st = JOB_STATES[state] || { word: state };
  const warn = state === 'uncertain' || state === 'attention' || state === 'failed';
  return h('span', { class: `badge ${state}` }, warn ? h('span', { 'aria-hidden': 'true' }, '! ') : null, st.word);
}

function row(job) {
  const stand = job.state === 'uncertain' || job.state === 'attention';
  return h(
    'tr',
    { class: `job ${job.state}${stand ? ' standout' : ''}`, dataset: { id: job.id } },
    h('td', { 'data-label': 'Time' }, timeEl(job.createdAt, localTime(job.createdAt, { short: true }))),
    h('td', { 'data-label': 'Register' }, h('span', {}, job.register)),
    h('td', { 'data-label': 'Job' }, h('a', { href: `#/jobs/${encodeURIComponent(job.id)}` }, `${KINDS[job.kind] || job.kind} `, h('span', { class: 'muted' }, `#${job.id}`))),
    h('td', { 'data-label': 'State' }, stateBadge(job.state)),
    h('td', { 'data-label': 'Receipt no.' }, h('span', { class: 'num' }, job.receiptNumber || '—')),
    h('td', { 'data-label': 'Outcome', class: 'outcome' }, h('span', {}, outcomeText(job), job.exitStatus != null && job.exitStatus !== 0 ? h('span', { class: 'muted' }, ` (exit ${job.exitStatus})`) : null)),
  );
}

// A list bound to a container; `fixedRegister` hides the register filter (a register's page).
export function jobList(container, registers, { fixedRegister = '' } = {}) {
  const jobs = new Map();
  let next = null;
  const regSel = h('select', { id: 'f-register', name: 'register' }, h('option', { value: '' }, 'All registers'), registers.map((r) => h('option', { value: r.name }, r.name)));
  const stateSel = h('select', { id: 'f-state', name: 'state' }, h('option', { value: '' }, 'All states'), STATE_ORDER.map((s) => h('option', { value: s }, JOB_STATES[s].word)));
  const tbody = h('tbody');
  const empty = h('p', { class: 'muted', hidden: true }, 'No jobs match.');
  const moreBtn = h('button', { type: 'button', class: 'btn', hidden: true }, 'Show older jobs');
  const count = h('p', { class: 'sr-only', 'aria-live': 'polite' });

  const filters = () => ({ register: fixedRegister || regSel.value, state: stateSel.value });
  const matches = (j) => {
    const f = filters();
    return (!f.register || j.register === f.register) && (!f.state || j.state === f.state);
  };

  function paint() {
    clear(tbody);
    const list = [...jobs.values()].filter(matches).sort(newer);
    for (const j of list) tbody.append(row(j));
    empty.hidden = list.length > 0;
    moreBtn.hidden = next === null || next === undefined;
  }

  async function load(append = false) {
    const f = filters();
    const q = { register: f.register, state: f.state, limit: PAGE };
    if (append && next) q.before = next;
    try {
      const res = await get(paths.jobs(q));
      if (!append) jobs.clear();
      for (const j of res.jobs) jobs.set(String(j.id), j);
      next = res.next;
      paint();
    } catch (e) {
      say(`Jobs could not be loaded: ${e.message}`, 'error');
    }
  }

  regSel.addEventListener('change', () => load());
  stateSel.addEventListener('change', () => load());
  moreBtn.addEventListener('click', () => load(true));

  container.append(
    h(
      'form',
      { class: 'filters', role: 'search', 'aria-label': 'Filter jobs', onsubmit: (e) => e.preventDefault() },
      fixedRegister ? null : h('label', { for: 'f-register' }, 'Register', regSel),
      h('label', { for: 'f-state' }, 'State', stateSel),
    ),
    h(
      'table',
      { class: 'jobs' },
      h('caption', { class: 'sr-only' }, 'Jobs, newest first'),
      h('thead', {}, h('tr', {}, ['Time', 'Register', 'Job', 'State', 'Receipt no.', 'Outcome'].map((t) => h('th', { scope: 'col' }, t)))),
      tbody,
    ),
    empty,
    moreBtn,
    count,
  );
  load();

  return {
    // A job event: a new job goes in its place (newest first), a known one changes in
    // place; the other rows, and a keyboard user's focus, stay as they are.
    update(job) {
      const id = String(job.id);
      const known = jobs.has(id);
      const merged = { ...(jobs.get(id) || {}), ...job };
      jobs.set(id, merged);
      const tr = tbody.querySelector(`tr[data-id="${CSS.escape(id)}"]`);
      if (!matches(merged)) {
        if (tr) tr.remove();
        empty.hidden = tbody.rows.length > 0;
        return;
      }
      const fresh = row(merged);
      if (tr) {
        const hadFocus = tr.contains(document.activeElement);
        tr.replaceWith(fresh);
        if (hadFocus) fresh.querySelector('a').focus();
      } else {
        const after = [...tbody.rows].find((r) => Number(r.dataset.id) < merged.id);
        tbody.insertBefore(fresh, after || null);
        if (!known) {
          fresh.classList.add('fresh');
          count.textContent = `New job: ${KINDS[merged.kind] || merged.kind} on ${merged.register}.`;
        }
      }
      empty.hidden = true;
    },
    reload: () => load(),
  };
}
