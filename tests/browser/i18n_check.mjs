// The console's words and formats without a browser: both catalogues hold the same keys
// with the same placeholders, every key the page asks for exists, and t(), money, dates,
// the choice of language and the sale's arithmetic give what the shop must read.
//
//   node i18n_check.mjs WEB_DIR      (exit 1 with each fault on stderr)

import { readFileSync, readdirSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const web = resolve(process.argv[2] || 'web');
const load = (f) => import(pathToFileURL(join(web, f)).href);
const i18n = await load('i18n.js');
const text = await load('text.js');
const { CATALOGUES, t, setLang, pickLang, money, dateTime } = i18n;

const faults = [];
const fail = (m) => faults.push(m);
const same = (what, got, want) => {
  if (JSON.stringify(got) !== JSON.stringify(want)) fail(`${what}: got ${JSON.stringify(got)}, want ${JSON.stringify(want)}`);
};

// 1. The same keys, plural forms and placeholders in every language.
const holes = (v) => [...new Set(JSON.stringify(v).match(/%\{\w+\}/g) || [])].sort();
const [first, ...others] = Object.keys(CATALOGUES);
for (const lang of others) {
  for (const [a, b] of [[first, lang], [lang, first]])
    for (const k of Object.keys(CATALOGUES[a])) if (!(k in CATALOGUES[b])) fail(`"${k}" is in ${a}.js but not in ${b}.js`);
}
for (const k of Object.keys(CATALOGUES[first])) {
  const vals = Object.keys(CATALOGUES).map((l) => CATALOGUES[l][k]).filter((v) => v !== undefined);
  for (const v of vals) if (typeof v === 'object' && !('other' in v)) fail(`"${k}": a plural without its "other" form`);
  if (new Set(vals.map((v) => JSON.stringify(holes(v)))).size > 1) fail(`"${k}": the languages fill in different placeholders`);
}

// 2. Every key the page names, literally or by a code it gets from the service.
const sources = readdirSync(web).filter((f) => f.endsWith('.js'));
const used = new Set();
for (const f of sources) for (const m of readFileSync(join(web, f), 'utf8').matchAll(/\bt\('([^'`]+)'/g)) used.add(m[1]);
for (const m of readFileSync(join(web, 'index.html'), 'utf8').matchAll(/data-t="([^"]+)"/g)) used.add(m[1]);
const codes = {
  state: ['queued', 'running', 'done', 'failed', 'uncertain', 'attention'],
  reg: ['idle', 'busy', 'held', 'unreachable'],
  regError: ['device_missing', 'permission_denied', 'line_locked', 'no_answer', 'other'],
  kind: ['receipt', 'lines', 'download', 'status'],
  download: text.DOWNLOAD_KINDS,
  settled: ['run', 'register', 'person'],
  live: ['live', 'caught-up', 'reconnecting', 'offline'],
  hold: ['sale_open'],
  reason: ['completed', 'fiscalised', 'not_fiscalised', 'run_failed', 'lines_failed', 'cassard_not_started', 'expired', 'cancelled',
    'completed_on_register', 'cancelled_on_register', 'resolved_done', 'resolved_failed', 'unread_after', 'service_stopped',
    'settle_limit', 'sale_left_open', 'different_register', 'counter_not_number', 'no_advance', 'counter_jumped', 'lines_unknown', 'not_read_before',
    'closed_elsewhere', 'partial_on_register', 'restored_unsettled'],
};
for (const [prefix, list] of Object.entries(codes)) for (const c of list) used.add(`${prefix}.${c}`);
for (const s of codes.state) used.add(`state.${s}.explain`);
for (const s of codes.reg) used.add(`reg.${s}.explain`);
for (const n of [0, 2, 8, 16, 18, 21, 32, 99, 255]) used.add(`exit.${n}.what`);
for (const k of used) for (const l of Object.keys(CATALOGUES)) if (!(k in CATALOGUES[l])) fail(`"${k}" is used but missing in ${l}.js`);

// 3. t(): placeholders and plurals.
const T = { 'x.one': 'uno %{n}', 'x.many': { one: '%{count} lavoro', other: '%{count} lavori' } };
Object.assign(CATALOGUES.it, T);
for (const [key, opts, want] of [
  ['x.one', { n: 5 }, 'uno 5'],
  ['x.one', {}, 'uno %{n}'],
  ['x.many', { count: 1 }, '1 lavoro'],
  ['x.many', { count: 0 }, '0 lavori'],
  ['x.many', { count: 2 }, '2 lavori'],
]) same(`t(${key}, ${JSON.stringify(opts)})`, t(key, opts, 'it'), want);
same('an English plural of 1', t('jobs.newJobs', { count: 1 }, 'en'), '1 new job');

// 4. Money and dates in either language, whatever the default locale is.
for (const [lang, cents, want] of [
  ['it', 1250, '12,50 €'], ['it', 123450, '1.234,50 €'], ['it', 5, '0,05 €'], ['it', -1250, '-12,50 €'],
  ['en', 123450, '€1,234.50'], ['it', 12.5, ''], ['it', null, ''],
]) {
  setLang(lang, { remember: false });
  same(`money(${cents}) in ${lang}`, money(cents).replace(/\u00a0/g, ' '), want);
}
process.env.TZ = 'UTC';
for (const lang of ['it', 'en']) {
  setLang(lang, { remember: false });
  same(`dateTime in ${lang}`, dateTime('2026-12-07T16:52:09.123Z'), '07/12/2026 16:52');
}
setLang('it', { remember: false });

// 5. The language: a choice made here wins, then the browser's first known preference.
for (const [stored, prefs, want] of [
  [null, ['en-GB', 'it'], 'en'], [null, ['de-DE', 'it-IT'], 'it'], [null, ['de'], 'it'], [null, [], 'it'],
  ['en', ['it-IT'], 'en'], ['it', ['en-US'], 'it'], ['xx', ['EN-us'], 'en'],
]) same(`pickLang(${stored}, ${prefs})`, pickLang(stored, prefs), want);

// 6. The sale as the register counts it: half up per line, returns off, change.
const job = (items, payments, extra = {}) => ({ kind: 'receipt', request: { items, payments }, ...extra });
for (const [legend, j, total, change] of [
  ['2.5 x 1,25 rounds up', job([{ price: 125, quantity: 2.5 }], [{ method: 'contanti', amount: 500 }]), 313, 187],
  ['0.333 x 0,01 rounds to 0', job([{ price: 1, quantity: 0.333 }, { price: 100 }], [{ method: 'carta', amount: 100 }]), 100, 0],
  ['a return is taken off', job([{ price: 500 }, { price: 200, return: true }], [{ method: 'contanti', amount: 1000 }]), 300, 700],
  ['the rest pays exactly', job([{ price: 990 }], [{ method: 'carta', amount: 500 }, { method: 'contanti' }]), 990, 0],
  ['the service wins', job([{ price: 100 }], [{ method: 'contanti', amount: 200 }], { total: 90, change: 110 }), 90, 110],
]) {
  const s = text.saleOf(j);
  same(legend, [s.total, s.change], [total, change]);
}
same('no sale for a download', text.saleOf({ kind: 'download', request: { download: 'journal-hex' } }), null);

// 7. The register's console without the blank lines after its banner, text kept.
same('console trimmed', text.consoleShown(`\n\ncassard 4.01\n${'\n'.repeat(40)}Descrizione: Comando non accettato\n\n`), 'cassard 4.01\n\nDescrizione: Comando non accettato');

// 8. Words by code; an unknown code shows the service's English sentence, in English only.
same('reason by code', text.reasonText('counter_jumped', { by: 2, before: '0124', after: '0126' }), 'Il contatore degli scontrini è avanzato di 2 (da 0124 a 0126): nel frattempo è stato stampato un altro scontrino.');
same('an unknown reason, no English on the Italian page', text.reasonText('brand_new', {}, 'something new happened'), t('reason.other'));
setLang('en', { remember: false });
same('an unknown reason in English', text.reasonText('brand_new', {}, 'something new happened'), 'Something new happened.');

if (faults.length) {
  for (const f of faults) console.error(`FAULT ${f}`);
  process.exit(1);
}
console.log(`i18n: ${Object.keys(CATALOGUES.it).length - 2} keys in ${Object.keys(CATALOGUES).length} languages, ${used.size} used; formats and sums as expected`);
