// A job's whole story: for a job that needs a person, what to do first; the sale as a
// receipt; the outcome in the page's words beside the register's own Italian text; the
// sales lines with the failing one marked; files; the request, console and dump log folded.

import { h, clear, timeEl, say, keepFocus, setFocus, confirmDialog } from './dom.js';
import { get, post, del, paths, download, newKey } from './api.js';
import { t, has, money, number } from './i18n.js';
import { STATE, underway, jobStateWord, stateExplain, kindWord, downloadWord, localTime, jobDuration, explainExit, registerText, reasonText, registerStateWord, consoleShown, saleOf, sentence, isFault } from './text.js';
import { stateBadge } from './jobs.js';
import { resume, errorText, heldWhy } from './registers.js';

// Record codes whose meaning the catalogues give (record.XX).
const recordWord = (code) => (has(`record.${code}`) ? t(`record.${code}`) : '');

function section(title, id, ...body) {
  return h('section', { class: 'panel', id: `${id}-box`, 'aria-labelledby': id }, h('h2', { id }, title), ...body);
}

// A long text folded under a summary; its open state survives a redraw of the page.
function folded(title, id, ...body) {
  const was = document.getElementById(id);
  return h('details', { class: 'panel fold', id, open: was ? was.open : false }, h('summary', {}, h('h2', { class: 'inline' }, title)), ...body);
}

function pre(text, cls = '') {
  return h('pre', { class: cls, tabindex: '0' }, text || '');
}

function outcome(job) {
  const italian = job.registerText || registerText(job.console);
  const ex = explainExit(job.exitStatus, italian, job.meaning);
  const words = [];
  const running = underway(job);
  if (running || job.state === STATE.uncertain || job.state === STATE.attention) words.push(h('p', { class: 'state-explain' }, stateExplain(job.state)));
  if (job.state === STATE.done) {
    const what = job.reasonCode ? reasonText(job.reasonCode, job.reasonParams, job.reason) : job.kind === 'receipt' && job.receiptNumber ? t('job.printed', { number: job.receiptNumber }) : stateExplain(STATE.done);
    words.push(h('h3', {}, t('job.whatHappened')), h('p', { class: 'what' }, what));
  } else if (job.state === STATE.failed && job.reasonCode && (!job.exitStatus || !isFault(job))) {
    // Cancelled or expired after an attempt that found a sale open (exit 98): what ended
    // the job is the cancel, not that attempt's exit status.
    words.push(h('h3', {}, t('job.whatHappened')), h('p', { class: 'what' }, reasonText(job.reasonCode, job.reasonParams, job.reason)));
  } else if (ex && job.exitStatus !== 0) {
    words.push(h('h3', {}, t('job.whatHappened')), h('p', { class: 'what' }, ex.what));
    if (ex.todo && job.state === STATE.failed) words.push(h('h3', {}, t('job.whatToDo')), h('p', { class: 'todo' }, ex.todo));
  }
  if (!running && job.state !== STATE.done) {
    const stands = job.state === STATE.failed ? stateExplain(STATE.failed) : reasonText(job.reasonCode, job.reasonParams, job.reason);
    if (stands) words.push(h('h3', {}, t('job.whereItStands')), h('p', { class: 'reason' }, stands));
  }
  if (job.note) words.push(h('h3', {}, t('job.note')), h('p', { class: 'note' }, job.note));
  if (job.kind === 'receipt' && job.state === STATE.failed && job.request) words.push(sendAgain(job));

  return section(
    t('job.outcome'),
    'sec-outcome',
    h(
      'div',
      { class: `outcome-grid state-${job.state}${job.state === STATE.failed && !isFault(job) ? ' settled' : ''}` },
      h('div', { class: 'english' }, ...words),
      h(
        'div',
        { class: 'italian' },
        h('h3', {}, t('job.registerText')),
        italian ? h('blockquote', { lang: 'it' }, italian) : h('p', { class: 'muted' }, job.exitStatus === 0 ? t('job.noErrorText') : t('job.noTextYet')),
      ),
    ),
  );
}

// A receipt that did not print, sent again as it was asked (same items and payments) under
// a new key, after the person confirms: no till is needed to redo it. Its old end
// (expiresAt) is gone with the customer who was there then: the person is there now.
function sendAgain(job) {
  const btn = h('button', { type: 'button', class: 'btn primary', id: 'job-again' }, t('job.again'));
  btn.addEventListener('click', async () => {
    if (btn.getAttribute('aria-disabled') === 'true') return;
    const yes = await confirmDialog({ title: t('job.againQuestion'), body: [t('job.againBody', { register: job.register })], confirm: t('job.againConfirm'), danger: false });
    if (!yes) return btn.focus();
    btn.setAttribute('aria-disabled', 'true');
    const { expiresAt: _gone, ...request } = job.request;
    try {
      const fresh = await post(paths.receipts(job.register), request, newKey());
      say(t('job.againSent', { id: fresh.id }), 'info', { toNextPage: true });
      location.hash = `#/jobs/${fresh.id}`;
    } catch (err) {
      if (err.status !== 401) say(t('job.againFailed', { why: errorText(err) }), 'error');
    } finally {
      btn.removeAttribute('aria-disabled');
    }
  });
  return h('div', { class: 'row' }, btn);
}

// A register still held for this job once the job is settled: the hold stays in sight,
// with Resume, until the register runs again.
function stillHeld(job, reg, refresh) {
  const btn = h('button', { type: 'button', class: 'btn primary', id: 'held-resume' }, t('job.resume'));
  const note = h('p', { class: 'resume-note', role: 'status' });
  btn.addEventListener('click', async () => {
    if (await resume(job.register, btn, note)) refresh();
  });
  return h(
    'section',
    { class: 'panel action-first', id: 'sec-held-box', 'aria-labelledby': 'sec-held' },
    h('h2', { id: 'sec-held' }, t('job.stillHeld', { name: job.register })),
    h('p', {}, heldWhy(reg)),
    h('div', { class: 'row' }, btn),
    note,
  );
}

// What a person must do for a job in attention: the register's state, finish or cancel
// the sale there, Resume; or, when the register cannot tell, say what happened.
function actionFirst(job, reg, refresh) {
  const resumeBtn = h('button', { type: 'button', class: 'btn primary', id: 'job-resume' }, t('job.resume'));
  const note = h('p', { class: 'resume-note', role: 'status', id: 'job-resume-note' });
  resumeBtn.addEventListener('click', async () => {
    if (await resume(job.register, resumeBtn, note)) refresh();
  });
  const regLine = registerLine(job, reg);

  const done = h('input', { type: 'radio', name: 'outcome', id: 'rs-done', value: 'done', checked: true });
  const failed = h('input', { type: 'radio', name: 'outcome', id: 'rs-failed', value: 'failed' });
  const number = h('input', { type: 'text', id: 'rs-number', name: 'receiptNumber', inputmode: 'numeric', maxlength: '8', autocomplete: 'off', 'aria-describedby': 'rs-number-hint rs-number-err' });
  const noteBox = h('textarea', { id: 'rs-note', name: 'note', rows: '2', maxlength: '500' });
  const numberErr = h('p', { class: 'field-error', id: 'rs-number-err', hidden: true });
  const numberField = h('div', { class: 'field' }, h('label', { for: 'rs-number' }, t('resolve.number')), h('p', { class: 'hint', id: 'rs-number-hint' }, t('resolve.numberHint')), number, numberErr);
  const sync = () => {
    numberField.hidden = !done.checked;
  };
  done.addEventListener('change', sync);
  failed.addEventListener('change', sync);
  const submit = h('button', { type: 'submit', class: 'btn' }, t('resolve.submit'));
  const form = h(
    'form',
    { class: 'resolve', id: 'resolve-form', 'aria-labelledby': 'rs-title', novalidate: true },
    h('h3', { id: 'rs-title' }, t('resolve.title')),
    h('p', { class: 'hint' }, t('resolve.explain')),
    h(
      'fieldset',
      {},
      h('legend', {}, t('resolve.question')),
      h('div', { class: 'choice' }, done, h('label', { for: 'rs-done' }, t('resolve.done'))),
      h('div', { class: 'choice' }, failed, h('label', { for: 'rs-failed' }, t('resolve.failed'))),
    ),
    numberField,
    h('div', { class: 'field' }, h('label', { for: 'rs-note' }, t('resolve.note')), noteBox),
    submit,
  );
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    numberErr.hidden = true;
    number.removeAttribute('aria-invalid');
    const body = { outcome: done.checked ? 'done' : 'failed' };
    if (done.checked) {
      const n = number.value.trim();
      if (!/^\d{1,8}$/.test(n)) {
        numberErr.textContent = t('resolve.numberMissing');
        numberErr.hidden = false;
        number.setAttribute('aria-invalid', 'true');
        number.focus();
        return;
      }
      body.receiptNumber = n;
    }
    if (noteBox.value.trim()) body.note = noteBox.value.trim();
    if (submit.getAttribute('aria-disabled') === 'true') return;
    submit.setAttribute('aria-disabled', 'true');
    try {
      await post(paths.resolve(job.id), body);
      say(t('resolve.saved'), 'info');
      await refresh();
      setFocus(document.getElementById('sec-outcome'));
    } catch (err) {
      if (err.status === 401) return;
      say(err.code === 'not_attention' ? t('resolve.notAttention') : t('resolve.failedToSave', { why: errorText(err) }), 'error');
    } finally {
      submit.removeAttribute('aria-disabled');
    }
  });
  sync();

  return h(
    'section',
    { class: 'panel action-first', id: 'sec-action-box', 'aria-labelledby': 'sec-action' },
    h('h2', { id: 'sec-action' }, t('job.actionTitle')),
    regLine,
    h('ol', { class: 'steps' }, h('li', {}, t('job.step1', { name: job.register })), h('li', {}, t('job.step2'), h('div', { class: 'row' }, resumeBtn), note)),
    form,
  );
}

// The register a job waits for or needs a person at, with why it is held.
function registerLine(job, reg) {
  if (!reg) return null;
  return h('p', {}, t('job.registerIs', { name: job.register }), ' ', h('span', { class: `badge ${reg.state}` }, registerStateWord(reg.state)), reg.state === 'held' ? h('span', {}, ' — ', heldWhy(reg)) : null);
}

// A job still waiting in the queue: until when it may still go, and Cancel, so that a
// receipt whose customer has gone never prints late. A job that started meanwhile is
// refused by the service (409 not_queued) and the page shows where it is now.
function queuedAction(job, reg, refresh) {
  const cancelBtn = h('button', { type: 'button', class: 'btn danger', id: 'job-cancel' }, t('job.cancel'));
  cancelBtn.addEventListener('click', async () => {
    if (cancelBtn.getAttribute('aria-disabled') === 'true') return;
    const yes = await confirmDialog({
      title: t('job.cancelQuestion', { id: job.id }),
      body: [t('job.cancelBody', { what: jobTitle(job) })],
      confirm: t('job.cancelConfirm'),
      dismiss: t('job.cancelKeep'),
    });
    if (!yes) {
      cancelBtn.focus();
      return;
    }
    cancelBtn.setAttribute('aria-disabled', 'true');
    try {
      await del(paths.job(job.id));
      say(t('job.cancelled'), 'info');
    } catch (err) {
      if (err.status === 401) return;
      say(err.code === 'not_queued' ? t('apiError.not_queued') : t('job.cancelFailed', { why: errorText(err) }), 'error');
    } finally {
      cancelBtn.removeAttribute('aria-disabled');
    }
    await refresh();
    // The section goes with the queued state: the focus goes to what the job is now.
    if (!document.getElementById('job-cancel')) setFocus(document.getElementById('sec-outcome'));
  });
  return h(
    'section',
    { class: 'panel queued-first', id: 'sec-queued-box', 'aria-labelledby': 'sec-queued' },
    h('h2', { id: 'sec-queued' }, t('job.queuedTitle')),
    registerLine(job, reg),
    h('p', {}, job.expiresAt ? t('job.queuedUntil', { register: job.register, time: localTime(job.expiresAt) }) : t('job.queuedNoLimit', { register: job.register })),
    h('p', {}, t('job.cancelExplain')),
    h('div', { class: 'row' }, cancelBtn),
  );
}

// The sale as the receipt reads: each item, quantity x price, amount and department;
// then the payments, the change and the total.
function receiptView(job) {
  const sale = saleOf(job);
  if (!sale) return null;
  const qty = (q) => number(q, 3);
  // Only a printed receipt was paid; any other shows what was asked, marked so.
  const printed = job.state === STATE.done;
  let before = 0;
  const covered = sale.payments.map((p) => {
    const amount = p.amount === null ? sale.total - before : p.amount;
    before += amount;
    return { ...p, amount };
  });
  return section(
    printed ? t('sale.title') : t('sale.asked'),
    'sec-sale',
    printed ? null : h('p', { class: 'not-printed' }, t('sale.notPrinted')),
    h(
      'table',
      { class: 'sale' },
      h('caption', { class: 'sr-only' }, t('sale.caption')),
      h('thead', {}, h('tr', {}, h('th', { scope: 'col' }, t('sale.item')), h('th', { scope: 'col' }, t('sale.qtyPrice')), h('th', { scope: 'col', class: 'money' }, t('sale.amount')), h('th', { scope: 'col' }, t('sale.department')))),
      h(
        'tbody',
        {},
        sale.items.map((i) =>
          h(
            'tr',
            { class: i.isReturn ? 'return' : '' },
            h('td', { 'data-label': t('sale.item') }, i.isReturn ? `${t('sale.return')} ` : '', i.description),
            h('td', { 'data-label': t('sale.qtyPrice') }, `${qty(i.quantity)} × ${money(i.price)}`),
            h('td', { class: 'money', 'data-label': t('sale.amount') }, money(i.amount)),
            h('td', { 'data-label': t('sale.department') }, String(i.department)),
          ),
        ),
      ),
      h(
        'tfoot',
        {},
        h('tr', { class: 'total' }, h('th', { scope: 'row', colspan: '2' }, t('sale.total')), h('td', { class: 'money' }, money(sale.total)), h('td')),
        covered.map((p) => h('tr', {}, h('th', { scope: 'row', colspan: '2' }, t(printed ? 'sale.paidWith' : 'sale.askedWith', { method: p.method })), h('td', { class: 'money' }, money(p.amount)), h('td'))),
        printed ? h('tr', {}, h('th', { scope: 'row', colspan: '2' }, t('sale.change')), h('td', { class: 'money' }, money(sale.change)), h('td')) : null,
      ),
    ),
  );
}

function details(job) {
  const rows = [
    [t('job.d.register'), h('a', { href: `#/registers/${encodeURIComponent(job.register)}` }, job.register)],
    [t('job.d.kind'), kindWord(job.kind)],
    [t('job.d.state'), stateBadge(job)],
    [t('job.d.receipt'), job.receiptNumber || '—'],
    [t('job.d.created'), timeEl(job.createdAt, localTime(job.createdAt))],
    [t('job.d.started'), timeEl(job.startedAt, localTime(job.startedAt))],
    [t('job.d.ended'), timeEl(job.endedAt, localTime(job.endedAt))],
    [t('job.d.took'), jobDuration(job) || '—'],
  ];
  if (job.expiresAt && underway(job)) rows.push([t('job.d.expires'), timeEl(job.expiresAt, localTime(job.expiresAt))]);
  if (job.settledBy) rows.push([t('job.d.settledBy'), has(`settled.${job.settledBy}`) ? t(`settled.${job.settledBy}`) : job.settledBy]);
  if (job.kind === 'status' && job.statusAfter) {
    rows.push([t('job.d.counterRead'), job.statusAfter.receiptNumber], [t('card.serial'), job.statusAfter.serial], [t('card.model'), job.statusAfter.model], [t('job.d.fiscalised'), job.statusAfter.fiscalisedAt.replace('T', ' ')]);
  }
  return section(t('job.details'), 'sec-details', h('dl', { class: 'facts wide' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)])));
}

// For a technician, folded under one disclosure: the exit status, the key, the counter
// readings, the lines sent, the request, cassard's console and its dump log.
function technical(job) {
  const counter = (s) => (s ? `${s.receiptNumber}${s.saleOpen ? t('job.d.saleOpen') : ''}` : null);
  const rows = [[t('job.d.key'), h('code', {}, job.key || '—')]];
  if (job.exitStatus != null) rows.push([t('job.d.exit'), String(job.exitStatus)]);
  if (job.statusBefore) rows.push([t('job.d.counterBefore'), counter(job.statusBefore)]);
  if (job.statusAfter && job.kind !== 'status') rows.push([t('job.d.counterAfter'), counter(job.statusAfter)]);
  const was = document.getElementById('tech');
  return h(
    'details',
    { class: 'panel tech', id: 'tech', open: was ? was.open : false },
    h('summary', {}, h('h2', { class: 'inline' }, t('job.tech'))),
    h('dl', { class: 'facts wide' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)])),
    salesLines(job),
    job.request ? folded(t('job.request'), 'fold-request', h('p', { class: 'muted' }, t('job.requestExplain')), pre(JSON.stringify(job.request, null, 2))) : null,
    folded(t('job.console'), 'fold-console', h('p', { class: 'muted' }, t('job.consoleExplain')), pre(consoleShown(job.console), 'console')),
    folded(t('job.dump'), 'fold-dump', h('p', { class: 'muted' }, t('job.dumpExplain')), job.dumpLog ? pre(job.dumpLog, 'dump') : h('p', { class: 'muted' }, t('job.noDump'))),
  );
}

// At the top, as the shop reads a receipt: printed or not, its number, its time.
function headline(j) {
  const when = j.endedAt || j.createdAt;
  const parts = [jobStateWord(j)];
  if (j.receiptNumber) parts.push(t('job.receiptNo', { number: j.receiptNumber }));
  return h('p', { class: 'headline', id: 'headline' }, parts.join(' · '), ' · ', timeEl(when, localTime(when)));
}

// The sales line the run stopped on: as cassard reported it, or else the one line the
// dump log names as its last command (a line read again later cannot be told apart, so
// then none is marked).
export function failingLine(job) {
  if (job.failedLine) return Number(job.failedLine);
  const m = /Ultimo comando: ([^\n]*)/.exec(job.dumpLog || '');
  if (!m || !job.lines) return 0;
  const last = m[1].replace(/\s+$/, '');
  if (!last) return 0;
  const hits = [];
  job.lines.forEach((l, i) => {
    const t = l.replace(/\s+$/, '');
    if (t === last || (last.length >= 127 && t.startsWith(last))) hits.push(i + 1);
  });
  return hits.length === 1 ? hits[0] : 0;
}

function salesLines(job) {
  const lines = job.lines || [];
  if (!lines.length) return null;
  const failed = failingLine(job);
  const list = h(
    'ol',
    { class: 'lines' },
    lines.map((text, i) => {
      const n = i + 1;
      const bad = n === failed;
      return h(
        'li',
        { class: bad ? 'failed' : '', 'aria-current': bad ? 'step' : false, id: bad ? 'failed-line' : null },
        h('span', { class: 'ln', 'aria-hidden': 'true' }, String(n)),
        h('span', { class: 'body' }, h('code', {}, text), h('span', { class: 'meta' }, h('span', { class: 'what-line' }, recordWord(text.slice(0, 2))), bad ? h('strong', { class: 'flag' }, ` ◀ ${t('job.failedHere')}`) : null)),
      );
    }),
  );
  return section(
    t('job.lines'),
    'sec-lines',
    failed ? h('p', {}, t('job.stoppedAt', { line: failed })) : null,
    h('div', { class: 'scroll', tabindex: '0', role: 'region', 'aria-label': t('job.linesRegion') }, list),
  );
}

function files(job) {
  const list = job.files || [];
  if (!list.length) return section(t('job.files'), 'sec-files', h('p', { class: 'muted' }, job.kind === 'download' && underway(job) ? t('job.fileLater') : t('job.noFiles')));
  return section(
    t('job.files'),
    'sec-files',
    h(
      'ul',
      { class: 'files' },
      list.map((f) => {
        const name = f.name;
        const a = h('a', { href: f.url || paths.file(job.id, name), download: name, class: 'file' }, name);
        a.addEventListener('click', async (e) => {
          e.preventDefault();
          try {
            await download(job.id, name);
          } catch (err) {
            say(t('job.downloadFailed', { name, why: errorText(err) }), 'error');
          }
        });
        return h('li', {}, a, Number.isInteger(f.size) ? ` (${t('job.bytes', { count: f.size, n: number(f.size) })})` : '');
      }),
    ),
  );
}

export function jobTitle(j) {
  const what = j.kind === 'download' && j.request && j.request.download ? downloadWord(j.request.download) : kindWord(j.kind);
  return t('job.title', { what, register: j.register });
}

// The page's sections, each with what it shows; on an update only the sections whose
// content changed are drawn again, so a half-filled form and the focus stay.
function sections(j, reg, refresh) {
  const out = [];
  const add = (id, sig, build) => out.push({ id, sig: JSON.stringify(sig), build });
  add('crumbs', [j.id], () => h('p', { class: 'crumbs', id: 'crumbs' }, h('a', { href: '#/' }, t('nav.home')), ' › ', t('job.crumb', { id: j.id })));
  add('job-title', [j.kind, j.register, j.state, j.settledBy, j.reasonCode, j.request && j.request.download], () => h('h1', { id: 'job-title', tabindex: '-1' }, `${jobTitle(j)} `, stateBadge(j)));
  add('headline', [j.state, j.reasonCode, j.receiptNumber, j.endedAt, j.createdAt], () => headline(j));
  const heldHere = reg && reg.state === 'held' && j.state !== STATE.attention && j.state !== STATE.queued && reg.held && String(reg.held.jobId) === String(j.id);
  if (heldHere) add('sec-held-box', [reg.held], () => stillHeld(j, reg, refresh));
  if (j.kind === 'download') add('sec-files-box', [j.files, j.state], () => files(j));
  if (j.state === STATE.attention) add('sec-action-box', [j.id, j.register, reg && reg.state, reg && reg.held], () => actionFirst(j, reg, refresh));
  if (j.state === STATE.queued) add('sec-queued-box', [j.id, j.expiresAt, reg && reg.state, reg && reg.held], () => queuedAction(j, reg, refresh));
  if (j.kind === 'receipt') add('sec-sale-box', [j.request, j.total, j.change], () => receiptView(j));
  const { console: _c, dumpLog: _d, lines: _l, request: _r, ...rest } = j;
  add('sec-outcome-box', rest, () => outcome(j));
  add('sec-details-box', rest, () => details(j));
  if (j.kind !== 'download') add('sec-files-box', [j.files, j.state], () => files(j));
  add('tech', [j.lines, j.failedLine, j.dumpLog, j.console, j.request, j.key, j.exitStatus, j.statusBefore, j.statusAfter], () => technical(j));
  return out;
}

export async function jobPage(main, id, isCurrent = () => true) {
  let job = await get(paths.job(id)).catch((e) => {
    if (e.status === 404 || e.status === 400) return null;
    throw e;
  });
  if (!isCurrent()) return null;
  if (!job) {
    clear(main).append(h('h1', { tabindex: '-1' }, t('job.crumb', { id })), h('p', { class: 'error' }, t('job.none')), h('p', {}, h('a', { href: '#/' }, t('nav.back'))));
    return null;
  }
  let reg = null;
  const readRegister = async () => {
    try {
      reg = await get(paths.register(job.register));
    } catch {
      reg = null;
    }
  };
  // The register is read for every receipt: a hold it caused stays in sight after it ends.
  const waits = (j) => j.state === STATE.attention || j.state === STATE.queued || j.kind === 'receipt';
  if (waits(job)) await readRegister();
  const shown = new Map(); // section id -> signature drawn

  const render = (j) => {
    const wanted = sections(j, reg, again);
    keepFocus(main, () => {
      if (!shown.size) clear(main);
      const keep = new Set(wanted.map((w) => w.id));
      for (const [sid] of shown) {
        if (!keep.has(sid)) {
          const el = document.getElementById(sid);
          if (el) el.remove();
          shown.delete(sid);
        }
      }
      let prev = null;
      for (const w of wanted) {
        let el = document.getElementById(w.id);
        if (!el || shown.get(w.id) !== w.sig) {
          const fresh = w.build() || h('div', { id: w.id, hidden: true });
          fresh.id = w.id;
          if (el) el.replaceWith(fresh);
          el = fresh;
          shown.set(w.id, w.sig);
        }
        // In the order wanted: a section that came (the action, once in attention) goes in place.
        const want = prev ? prev.nextElementSibling : main.firstElementChild;
        if (want !== el) main.insertBefore(el, want);
        prev = el;
      }
    });
  };

  async function again() {
    try {
      const full = await get(paths.job(id));
      if (!isCurrent()) return;
      job = full;
      if (waits(job)) await readRegister();
      render(job);
    } catch {
      // the next event or the return of the service tries again
    }
  }
  render(job);
  return {
    title: jobTitle(job),
    resync: again,
    onJob: (batch) => (batch.some((ev) => String(ev.id) === String(id)) ? again() : undefined),
    onRegister: (r) => {
      if (waits(job) && r.name === job.register && JSON.stringify(r) !== JSON.stringify(reg)) {
        reg = r;
        render(job);
      }
    },
  };
}
