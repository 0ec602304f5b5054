// A job's whole story: outcome in plain English beside the register's own Italian text,
// the request, the sales lines with the failing one marked, files, console and dump log.

import { h, clear, timeEl, say } from './dom.js';
import { get, paths, download } from './api.js';
import { JOB_STATES, KINDS, localTime, jobDuration, explainExit, registerText, sentence } from './text.js';
import { stateBadge } from './jobs.js';

// Record codes as a person reads them.
const RECORDS = {
  '00': 'quantity for the next sale',
  '01': 'item sale',
  '02': 'return (the next sale is taken back)',
  '03': 'operator',
  '04': 'description',
  '05': 'subtotal',
  '06': 'amount',
  '07': 'amount',
  '08': 'description',
  10: 'payment',
  11: 'payment',
  12: 'payment, with fiscal report',
  13: 'payment, with fiscal report',
  15: 'subtotal',
  20: 'payment',
  21: 'payment',
  22: 'payment',
  23: 'payment, with fiscal report',
  24: 'payment, with fiscal report',
  30: 'payment',
  35: 'payment',
  40: 'fixed key sequence',
  50: 'fixed key sequence',
  51: 'report',
  52: 'report',
  53: 'clear expansion totals',
  54: 'expansion totals download',
  55: 'journal download',
  60: 'internal totals download',
  70: 'fixed key sequence',
  71: 'description',
  72: 'fixed key sequence',
  75: 'description',
  80: 'document row',
  81: 'document row',
  82: 'document row',
  83: 'document row',
  99: 'end of receipt: is the sale closed?',
  DY: 'text row',
  HL: 'report',
  '1C': 'report',
  '2C': 'report',
  '3C': 'report',
};

function section(title, id, ...body) {
  return h('section', { class: 'panel', 'aria-labelledby': id }, h('h2', { id }, title), ...body);
}

function pre(text, cls = '') {
  return h('pre', { class: cls, tabindex: '0' }, text || '');
}

function outcome(job) {
  const italian = job.registerText || registerText(job.console);
  const st = JOB_STATES[job.state] || { word: job.state, explain: '' };
  const ex = explainExit(job.exitStatus, italian, job.meaning);
  const english = [];
  const running = job.state === 'queued' || job.state === 'running';
  if (running || job.state === 'uncertain' || job.state === 'attention') english.push(h('p', { class: 'state-explain' }, st.explain));
  if (job.state === 'done') {
    const what = job.kind === 'receipt' && job.receiptNumber ? `The register printed receipt number ${job.receiptNumber}.` : st.explain;
    english.push(h('h3', {}, 'What happened'), h('p', { class: 'what' }, what));
  } else if (ex && job.exitStatus !== 0) {
    english.push(h('h3', {}, 'What happened'), h('p', { class: 'what' }, ex.what));
    if (ex.todo) english.push(h('h3', {}, 'What to do'), h('p', { class: 'todo' }, ex.todo));
  }
  if (!running && job.state !== 'done') {
    // A failed job is told in the page's own words; the service's note, written for the
    // till's programmers, follows in small print.
    const stands = job.state === 'failed' ? st.explain : sentence(job.reason);
    if (stands) english.push(h('h3', {}, 'Where it stands'), h('p', { class: 'reason' }, stands));
    if (job.state === 'failed' && job.reason) english.push(h('p', { class: 'muted' }, `Service note: ${sentence(job.reason)}`));
  }

  return section(
    'Outcome',
    'sec-outcome',
    h(
      'div',
      { class: `outcome-grid state-${job.state}` },
      h('div', { class: 'english' }, ...english),
      h(
        'div',
        { class: 'italian' },
        h('h3', {}, 'The register’s own text'),
        italian ? h('blockquote', { lang: 'it' }, italian) : h('p', { class: 'muted' }, job.exitStatus === 0 ? 'No error text: the run ended normally.' : 'No text yet.'),
        job.exitStatus != null ? h('p', { class: 'muted' }, `Exit status ${job.exitStatus}${job.meaning ? `: ${job.meaning}` : ''}`) : null,
      ),
    ),
  );
}

function details(job) {
  const rows = [
    ['Register', h('a', { href: `#/registers/${encodeURIComponent(job.register)}` }, job.register)],
    ['Kind', KINDS[job.kind] || job.kind],
    ['State', stateBadge(job.state)],
    ['Receipt no.', job.receiptNumber || '—'],
    ['Created', timeEl(job.createdAt, localTime(job.createdAt))],
    ['Started', timeEl(job.startedAt, localTime(job.startedAt))],
    ['Ended', timeEl(job.endedAt, localTime(job.endedAt))],
    ['Took', jobDuration(job) || '—'],
    ['Request key', h('code', {}, job.key || '—')],
  ];
  const counter = (s) => (s ? `${s.receiptNumber}${s.saleOpen ? ', a sale open' : ''}` : null);
  if (job.statusBefore) rows.push(['Receipt counter before', counter(job.statusBefore)]);
  if (job.statusAfter) rows.push([job.kind === 'status' ? 'Receipt counter read' : 'Receipt counter after', counter(job.statusAfter)]);
  if (job.kind === 'status' && job.statusAfter) {
    rows.push(['Serial no.', job.statusAfter.serial], ['Model', job.statusAfter.model], ['Fiscalised', job.statusAfter.fiscalisedAt.replace('T', ' ')]);
  }
  return section('Details', 'sec-details', h('dl', { class: 'facts wide' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)])));
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
      const code = text.slice(0, 2);
      const bad = n === failed;
      return h(
        'li',
        { class: bad ? 'failed' : '', 'aria-current': bad ? 'step' : false, id: bad ? 'failed-line' : null },
        h('span', { class: 'ln', 'aria-hidden': 'true' }, String(n)),
        h(
          'span',
          { class: 'body' },
          h('code', {}, text),
          h('span', { class: 'meta' }, h('span', { class: 'what-line' }, RECORDS[code] || ''), bad ? h('strong', { class: 'flag' }, ' ◀ failed here') : null),
        ),
      );
    }),
  );
  return section(
    'Sales lines sent',
    'sec-lines',
    failed ? h('p', {}, `The register stopped at line ${failed}, marked below.`) : null,
    h('div', { class: 'scroll', tabindex: '0', role: 'region', 'aria-label': 'Sales lines' }, list),
  );
}

function files(job) {
  const list = job.files || [];
  if (!list.length) return section('Files', 'sec-files', h('p', { class: 'muted' }, job.kind === 'download' && (job.state === 'queued' || job.state === 'running') ? 'The file appears here when the job ends.' : 'No files were written.'));
  return section(
    'Files',
    'sec-files',
    h(
      'ul',
      { class: 'files' },
      list.map((f) => {
        const name = f.name;
        const size = Number.isInteger(f.size) ? ` (${f.size.toLocaleString()} bytes)` : '';
        const a = h('a', { href: f.url || paths.file(job.id, name), download: name, class: 'file' }, name);
        a.addEventListener('click', async (e) => {
          e.preventDefault();
          try {
            await download(job.id, name);
          } catch (err) {
            say(`${name} could not be downloaded: ${err.message}`, 'error');
          }
        });
        return h('li', {}, a, size);
      }),
    ),
  );
}

export async function jobPage(main, id) {
  let job;
  try {
    job = await get(paths.job(id));
  } catch (e) {
    clear(main).append(h('h1', {}, `Job ${id}`), h('p', { class: 'error' }, e.status === 404 ? 'There is no such job.' : `The job could not be loaded: ${e.message}`), h('p', {}, h('a', { href: '#/' }, 'Back to the registers')));
    return null;
  }
  const render = (j) => {
    clear(main).append(
      h('p', { class: 'crumbs' }, h('a', { href: '#/' }, 'Registers and jobs'), ' › ', `Job ${j.id}`),
      h('h1', { tabindex: '-1' }, `${KINDS[j.kind] || j.kind} on ${j.register} `, stateBadge(j.state)),
      outcome(j),
      details(j),
      salesLines(j),
      j.request ? section('Request', 'sec-request', h('p', { class: 'muted' }, 'What the till or this page asked for, as it was sent.'), pre(JSON.stringify(j.request, null, 2))) : null,
      files(j),
      section('Console', 'sec-console', h('p', { class: 'muted' }, 'What cassard printed while it ran.'), pre(j.console, 'console')),
      section(
        'Dump log',
        'sec-dump',
        h('p', { class: 'muted' }, 'Written by cassard when something goes wrong: the last command, then the last 30 exchanges on the serial line in hex (CPU = sent to the register, ECR = the register’s answer), then the error codes.'),
        j.dumpLog ? pre(j.dumpLog, 'dump') : h('p', { class: 'muted' }, 'No dump log: nothing went wrong on the line.'),
      ),
    );
  };
  render(job);
  const again = async () => {
    try {
      const full = await get(paths.job(id));
      const y = window.scrollY;
      render(full);
      window.scrollTo(0, y);
    } catch {
      // the next event tries again
    }
  };
  return {
    resync: again,
    onJob: (ev) => (String(ev.id) === String(id) ? again() : undefined),
  };
}
