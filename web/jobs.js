// The jobs list: newest first, filtered by register and state and searched by receipt
// number, key, amount and dates; kept current by the live events (no polling), never more
// than a page of rows unless the person asks for older ones.

import { h, clear, timeEl, say, keepFocus, setFocus } from './dom.js';
import { get, paths } from './api.js';
import { t } from './i18n.js';
import { JOB_STATES, STATE, underway, stateWord, jobStateWord, stateExplain, kindWord, localTime, explainExit, reasonText, isFault, money } from './text.js';
import { errorText } from './registers.js';

const PAGE = 50;

function newer(a, b) {
  // ids grow with time, and two jobs of the same second keep their order.
  return b.id - a.id;
}

export function outcomeText(job) {
  if (underway(job)) return stateExplain(job.state);
  if (job.reasonCode) return reasonText(job.reasonCode, job.reasonParams, job.reason);
  if (job.state === STATE.uncertain || job.state === STATE.attention) return reasonText('', null, job.reason) || stateExplain(job.state);
  if (job.state === STATE.done) return job.kind === 'receipt' && job.receiptNumber ? t('outcome.printed', { number: job.receiptNumber }) : t('outcome.completed');
  const e = explainExit(job.exitStatus, job.registerText || '', job.meaning);
  return (e && e.what) || reasonText('', null, job.reason);
}

export function stateBadge(job) {
  const state = typeof job === 'string' ? job : job.state;
  const fault = typeof job === 'string' ? [STATE.uncertain, STATE.attention, STATE.failed].includes(state) : isFault(job) || state === STATE.uncertain;
  const settledQuietly = state === STATE.failed && !fault;
  return h('span', { class: `badge ${state}${settledQuietly ? ' settled' : ''}` }, fault ? h('span', { 'aria-hidden': 'true' }, '! ') : null, typeof job === 'string' ? stateWord(state) : jobStateWord(job));
}

function row(job) {
  const stand = job.state === STATE.uncertain || job.state === STATE.attention;
  const pays = Array.isArray(job.payments) ? job.payments.join(', ') : '';
  // The whole row opens the job; its link (found again by the job's id after a redraw,
  // never by its place) is what the keyboard reaches.
  return h(
    'tr',
    { class: `job ${job.state}${stand ? ' standout' : ''}`, dataset: { id: job.id }, onclick: (e) => e.target.closest('a') || (location.hash = `#/jobs/${encodeURIComponent(job.id)}`) },
    h('td', { 'data-label': t('jobs.col.time') }, timeEl(job.createdAt, localTime(job.createdAt, { short: true }))),
    h('td', { 'data-label': t('jobs.col.register') }, h('span', {}, job.register)),
    h('td', { 'data-label': t('jobs.col.job') }, h('a', { href: `#/jobs/${encodeURIComponent(job.id)}`, dataset: { act: `job-${job.id}` } }, `${kindWord(job.kind)} `, h('span', { class: 'muted' }, t('job.crumb', { id: job.id })))),
    h('td', { 'data-label': t('jobs.col.state') }, stateBadge(job)),
    h('td', { 'data-label': t('jobs.col.receipt') }, h('span', { class: 'num' }, job.receiptNumber || '—')),
    h('td', { 'data-label': t('jobs.col.total'), class: 'money' }, Number.isInteger(job.total) ? money(job.total) : '—'),
    h('td', { 'data-label': t('jobs.col.payment') }, pays || '—'),
    h('td', { 'data-label': t('jobs.col.outcome'), class: 'outcome' }, h('span', {}, outcomeText(job))),
  );
}

// A date typed in the filter (the shop's day) as the instant its day starts or ends, so
// that the service's UTC times are cut at the shop's midnight.
function dayBound(value, end) {
  if (!value) return '';
  const [y, m, d] = value.split('-').map(Number);
  const at = end ? new Date(y, m - 1, d, 23, 59, 59, 999) : new Date(y, m - 1, d, 0, 0, 0, 0);
  return Number.isNaN(at.getTime()) ? '' : at.toISOString();
}

// A list bound to a container; `fixedRegister` hides the register filter (a register's page).
export function jobList(container, registers, { fixedRegister = '', initial = {}, onFilters = null } = {}) {
  const jobs = new Map();
  let next = null;
  let olderShown = false; // the person asked for older pages: new jobs wait behind a button
  const waiting = new Set(); // the new jobs' ids: a job counts once however often it changes
  let seq = 0;
  const regSel = h('select', { id: 'f-register', name: 'register' }, h('option', { value: '' }, t('jobs.allRegisters')), registers.map((r) => h('option', { value: r.name }, r.name)));
  const stateSel = h('select', { id: 'f-state', name: 'state' }, h('option', { value: '' }, t('jobs.allStates')), JOB_STATES.map((s) => h('option', { value: s }, stateWord(s))));
  const q = h('input', { type: 'search', id: 'f-q', name: 'q', maxlength: '64', autocomplete: 'off', 'aria-describedby': 'f-q-hint' });
  const from = h('input', { type: 'date', id: 'f-from', name: 'from' });
  const to = h('input', { type: 'date', id: 'f-to', name: 'to' });
  if (initial.register) regSel.value = initial.register;
  if (initial.state) stateSel.value = initial.state;
  if (initial.q) q.value = initial.q;
  if (/^\d{4}-\d\d-\d\d$/.test(initial.from || '')) from.value = initial.from;
  if (/^\d{4}-\d\d-\d\d$/.test(initial.to || '')) to.value = initial.to;
  const tbody = h('tbody');
  const empty = h('p', { class: 'muted', hidden: true }, t('jobs.none'));
  const moreBtn = h('button', { type: 'button', class: 'btn', hidden: true, dataset: { act: 'older' } }, t('jobs.older'));
  const newBtn = h('button', { type: 'button', class: 'btn primary', hidden: true, dataset: { act: 'newer' } });
  const count = h('p', { class: 'sr-only', 'aria-live': 'polite' });

  const filters = () => ({ register: fixedRegister || regSel.value, state: stateSel.value, q: q.value.trim(), from: dayBound(from.value, false), to: dayBound(to.value, true) });
  const searching = () => Boolean(q.value.trim() || from.value || to.value);
  // A live job belongs in the list when it passes the filters this page can check itself;
  // while a search is on, only rows already shown change.
  const matches = (j) => {
    const f = filters();
    return (!f.register || j.register === f.register) && (!f.state || j.state === f.state);
  };

  function paint() {
    keepFocus(container, () => {
      clear(tbody);
      const list = [...jobs.values()].filter(matches).sort(newer);
      for (const j of list) tbody.append(row(j));
      empty.hidden = list.length > 0;
      moreBtn.hidden = next === null || next === undefined;
      newBtn.hidden = waiting.size === 0;
      newBtn.textContent = t('jobs.newJobs', { count: waiting.size });
    });
  }

  // Older rows go below those shown, without drawing the others again.
  function appendRows(list) {
    const frag = document.createDocumentFragment();
    for (const j of list) if (matches(j)) frag.append(row(j));
    tbody.append(frag);
    moreBtn.hidden = next === null || next === undefined;
  }

  // The next older page is asked for as soon as a page is shown, so that "Show older jobs"
  // only draws it. A change to any job it could hold drops it: it is asked for again.
  let ahead = null;
  const pageQuery = (before) => {
    const f = filters();
    return { register: f.register, state: f.state, q: f.q, from: f.from, to: f.to, limit: PAGE, before };
  };
  function prefetch() {
    ahead = next ? { before: next, seq, answer: get(paths.jobs(pageQuery(next))).catch(() => null) } : null;
  }

  // Only the answer to the latest question is shown: a slower answer to an earlier
  // choice of the filters, arriving after it, is dropped.
  async function load(append = false) {
    const early = append && ahead && ahead.before === next && ahead.seq === seq ? ahead.answer : null;
    const mine = ++seq;
    const query = pageQuery(append && next ? next : undefined);
    if (!append && onFilters) onFilters(new URLSearchParams(Object.entries({ register: fixedRegister ? '' : regSel.value, state: stateSel.value, q: q.value.trim(), from: from.value, to: to.value }).filter(([, v]) => v)).toString());
    try {
      const res = (await early) || (await get(paths.jobs(query)));
      if (mine !== seq) return;
      next = res.next;
      if (append) {
        olderShown = true;
        const fresh = res.jobs.filter((j) => !jobs.has(String(j.id)));
        for (const j of fresh) jobs.set(String(j.id), j);
        appendRows(fresh);
        prefetch();
        return;
      }
      jobs.clear();
      waiting.clear();
      olderShown = false;
      for (const j of res.jobs) jobs.set(String(j.id), j);
      paint();
      prefetch();
      if (searching()) count.textContent = t('jobs.results', { count: res.jobs.length, more: res.next ? '+' : '' });
    } catch (e) {
      if (mine !== seq || e.status === 401) return;
      say(t('jobs.loadFailed', { why: errorText(e) }), 'error');
    }
  }

  let typing = 0;
  regSel.addEventListener('change', () => load());
  stateSel.addEventListener('change', () => load());
  for (const el of [from, to]) el.addEventListener('change', () => load());
  q.addEventListener('input', () => {
    clearTimeout(typing);
    typing = setTimeout(() => load(), 300);
  });
  moreBtn.addEventListener('click', () => load(true));
  newBtn.addEventListener('click', async () => {
    await load();
    setFocus(tbody.querySelector('a') || container);
  });

  container.append(
    h(
      'form',
      { class: 'filters', role: 'search', 'aria-label': t('jobs.filterLabel'), onsubmit: (e) => e.preventDefault() },
      fixedRegister ? null : h('label', { for: 'f-register' }, t('jobs.register'), regSel),
      h('label', { for: 'f-state' }, t('jobs.state'), stateSel),
      h('label', { for: 'f-q' }, t('jobs.search'), q, h('span', { class: 'hint', id: 'f-q-hint' }, t('jobs.searchHint'))),
      h('label', { for: 'f-from' }, t('jobs.from'), from),
      h('label', { for: 'f-to' }, t('jobs.to'), to),
    ),
    newBtn,
    h(
      'div',
      { class: 'table-wrap' },
      h(
        'table',
        { class: 'jobs' },
        h('caption', { class: 'sr-only' }, t('jobs.caption')),
        h('thead', {}, h('tr', {}, ['time', 'register', 'job', 'state', 'receipt', 'total', 'payment', 'outcome'].map((c) => h('th', { scope: 'col' }, t(`jobs.col.${c}`))))),
        tbody,
      ),
    ),
    empty,
    moreBtn,
    count,
  );
  load();

  // A job event: a known one changes in place; a new one goes on top, and the oldest row
  // goes when the page is full, unless the person is reading older pages or a search:
  // then the new jobs wait behind "N nuovi lavori". Called inside keepFocus. A new row
  // lights up briefly (`flash`), but not in a burst: dozens of rows animating at once
  // would make the browser restyle the table every frame.
  function apply(job, flash) {
    const id = String(job.id);
    if (ahead && Number(id) < ahead.before) ahead = null;
    const known = jobs.has(id);
    if (!known && (olderShown || searching())) {
      if (matches(job)) {
        waiting.add(id);
        newBtn.textContent = t('jobs.newJobs', { count: waiting.size });
        newBtn.hidden = false;
      }
      return;
    }
    const merged = { ...(jobs.get(id) || {}), ...job };
    if (!known && !matches(merged)) return;
    // Older than every row of a full page: it would go again at once.
    if (!known && tbody.rows.length >= PAGE && merged.id < Number(tbody.rows[tbody.rows.length - 1].dataset.id)) return;
    jobs.set(id, merged);
    const tr = tbody.querySelector(`tr[data-id="${CSS.escape(id)}"]`);
    if (!matches(merged)) {
      jobs.delete(id);
      if (tr) tr.remove();
    } else if (tr) {
      tr.replaceWith(row(merged));
    } else {
      const fresh = row(merged);
      const after = [...tbody.rows].find((r) => Number(r.dataset.id) < merged.id);
      tbody.insertBefore(fresh, after || null);
      if (!known && flash) fresh.classList.add('fresh');
      // The page holds one page of rows: the oldest goes, and is one page further back.
      if (tbody.rows.length > PAGE) {
        while (tbody.rows.length > PAGE) {
          const last = tbody.rows[tbody.rows.length - 1];
          jobs.delete(last.dataset.id);
          last.remove();
        }
        next = Number(tbody.rows[tbody.rows.length - 1].dataset.id);
        moreBtn.hidden = false;
      }
    }
  }

  return {
    // One job or a batch of them, in one redraw: the focus and the scroll are read once
    // before and put back once after, not once a row, so that a burst costs no layout a row.
    update(batch) {
      const list = [].concat(batch);
      keepFocus(container, () => {
        for (const j of list) apply(j, list.length <= 3);
        empty.hidden = tbody.rows.length > 0;
      });
    },
    reload: () => load(),
  };
}
