// Words for people: what a state, an exit status, a reason code or a register's Italian
// text means, and how times, durations and money read in the shop. The words themselves
// are in the catalogues (i18n/); this file picks which one.

import { t, has, money as moneyText, dateTime, currentLang } from './i18n.js';

// The job states the API gives (JobState), in the order the page lists them: the one table
// of them in the page; every other module takes them from here.
export const JOB_STATES = ['queued', 'running', 'done', 'failed', 'uncertain', 'attention'];
// The same names as STATE.done, ...: the pages compare a job's state with these, never with a literal.
export const STATE = Object.freeze(Object.fromEntries(JOB_STATES.map((s) => [s, s])));
// A job not yet ended by its run: waiting in the queue or on the register now.
export const underway = (job) => job.state === STATE.queued || job.state === STATE.running;
export const stateWord = (s) => (has(`state.${s}`) ? t(`state.${s}`) : s);
// A job's state as the shop says it: a receipt is printed or not, cancelled or expired;
// other jobs are completed or not.
export function jobStateWord(job) {
  if (job.state === STATE.failed && ['cancelled', 'expired'].includes(job.reasonCode)) return t(`state.${job.reasonCode}`);
  if (job.kind !== 'receipt' && has(`state.${job.state}.job`)) return t(`state.${job.state}.job`);
  return stateWord(job.state);
}
export const stateExplain = (s) => (has(`state.${s}.explain`) ? t(`state.${s}.explain`) : '');
export const registerStateWord = (s) => (has(`reg.${s}`) ? t(`reg.${s}`) : s);
export const registerStateExplain = (s) => (has(`reg.${s}.explain`) ? t(`reg.${s}.explain`) : '');
export const kindWord = (k) => (has(`kind.${k}`) ? t(`kind.${k}`) : k);
export const DOWNLOAD_KINDS = ['journal-formatted', 'journal-hex', 'internal-totals', 'expansion-totals', 'expansion-totals-clear'];
export const downloadWord = (k) => (has(`download.${k}`) ? t(`download.${k}`) : k);

// A reason in the page's words, by its code and parameters; a code this page does not know
// shows the service's English sentence as it is.
export function reasonText(code, params, english) {
  if (code && has(`reason.${code}`)) return t(`reason.${code}`, params || {});
  // The service's English stays off a page in another language (a technician reads it in
  // the API and on the service page).
  if (currentLang() !== 'en') return english || code ? t('reason.other') : '';
  return sentence(english);
}

// A final job that ended as someone meant it (cancelled, expired, marked by a person) is
// no fault: it is not shown in red.
export function isFault(job) {
  if (job.state === STATE.attention) return true;
  if (job.state !== STATE.failed) return false;
  return !(job.settledBy === 'person' || ['cancelled', 'expired', 'resolved_failed', 'cancelled_on_register'].includes(job.reasonCode));
}

// What each exit status of cassard means, for the person at the till (exit.N.what / .todo).
const EXIT = [0, 2, 8, 16, 18, 21, 32, 98, 99, 255];

// Specific texts the register or cassard give, as they are written (start of the text),
// and the catalogue entry (regtext.ID.what / .todo) that explains each.
const BY_TEXT = [
  ['Mancanza resto', 'no_change'],
  ['Operatore non inserito', 'no_operator'],
  ['Assetto Chiave errato', 'key_position'],
  ['Testa Sollevata o Fine Carta', 'paper'],
  ['Mancato collegamento', 'no_link'],
  ['Time-Out ricezione', 'timeout'],
  ['Impossibile aprire la porta seriale', 'port'],
  ['Impossibile aprire il file', 'file'],
  ['Errore in write su', 'write'],
  ['Comando non accettato', 'refused'],
  ['Transazione in corso', 'sale_open'],
  ['Marca non sup', 'model'],
  ['Eprom troppo vecchia', 'model'],
  ['Versione firmware datata', 'model'],
  ['Errore in ReadData', 'no_answer'],
];

// The register's text as cassard printed it on its console ("Descrizione: ..."), or ''.
export function registerText(consoleText) {
  if (!consoleText) return '';
  const at = consoleText.lastIndexOf('Descrizione:');
  if (at < 0) return '';
  return consoleText
    .slice(at + 'Descrizione:'.length)
    .split('\n')
    .map((s) => s.trim())
    .filter(Boolean)
    .join(' ');
}

// cassard's console as it printed it, without the run of blank lines after its banner.
export function consoleShown(text) {
  return (text || '').replace(/^\s*\n/, '').replace(/\n[ \t]*(\n[ \t]*){2,}/g, '\n\n').replace(/\s+$/, '');
}

// { what, todo } for an exit status and the register's text; null before the job ended.
export function explainExit(status, italian, serviceMeaning) {
  if (status === null || status === undefined) return null;
  const hit = BY_TEXT.find(([start]) => italian && italian.includes(start));
  if (hit) return { what: t(`regtext.${hit[1]}.what`), todo: t(`regtext.${hit[1]}.todo`) };
  if (EXIT.includes(status)) return { what: t(`exit.${status}.what`), todo: status ? t(`exit.${status}.todo`) : '' };
  if (status > 0 && status < 255) return { what: t('regtext.no_answer.what'), todo: t('regtext.no_answer.todo') };
  return { what: serviceMeaning || t('exit.other', { status }), todo: '' };
}

// The service's short English notes ("a sale was left open ...") as a sentence.
export function sentence(s) {
  if (!s) return '';
  const tx = s.trim();
  // A program's name keeps its lower case at the start of a sentence.
  const head = /^cassard/.test(tx) ? tx : tx.charAt(0).toUpperCase() + tx.slice(1);
  return head + (/[.!?]$/.test(tx) ? '' : '.');
}

export const localTime = (iso, opts) => dateTime(iso, opts);
export const money = moneyText;

export function duration(ms) {
  if (ms === null || ms === undefined || ms < 0 || Number.isNaN(ms)) return '';
  if (ms < 1000) return t('dur.ms', { n: Math.round(ms) });
  if (ms < 60000) return t('dur.s', { n: (ms / 1000).toFixed(1).replace('.', t('dur.point')) });
  return t('dur.min', { m: Math.floor(ms / 60000), s: Math.round((ms % 60000) / 1000) });
}

export function jobDuration(job) {
  if (!job.startedAt) return '';
  const end = job.endedAt ? Date.parse(job.endedAt) : Date.now();
  return duration(end - Date.parse(job.startedAt));
}

export function age(iso, now = Date.now()) {
  if (!iso) return '';
  const s = Math.max(0, Math.round((now - Date.parse(iso)) / 1000));
  if (s < 10) return t('age.now');
  if (s < 60) return t('age.s', { count: s });
  if (s < 3600) return t('age.min', { count: Math.floor(s / 60) });
  if (s < 86400) return t('age.h', { count: Math.floor(s / 3600) });
  return t('age.d', { count: Math.floor(s / 86400) });
}

// "12,50", "12.5", "3" -> cents, exactly (no floating point on money); null when not a price.
export function parseCents(text) {
  const m = /^\s*(\d{1,7})(?:[.,](\d{1,2}))?\s*$/.exec(text || '');
  if (!m) return null;
  return Number(m[1]) * 100 + Number((m[2] || '0').padEnd(2, '0'));
}

// "2", "2,5", "0.125" -> a number with at most 3 decimals; null otherwise.
export function parseQuantity(text) {
  const m = /^\s*(\d{1,5})(?:[.,](\d{1,3}))?\s*$/.exec(text || '');
  if (!m) return null;
  const q = Number(`${m[1]}.${m[2] || '0'}`);
  return q > 0 ? q : null;
}

// price x quantity in cents, half up, as the register rounds it.
export function lineCents(cents, quantity) {
  const milli = Math.round(quantity * 1000);
  return Math.floor((cents * milli + 500) / 1000);
}

// A receipt job as the register counts it: its items with their amounts, its payments,
// the total and the change. The service's own total and change win when it gives them;
// otherwise they are counted here from the request. null for a job that is no receipt.
export function saleOf(job) {
  const req = job.request;
  if (job.kind !== 'receipt' || !req || !Array.isArray(req.items)) return null;
  const items = req.items.map((it) => {
    const quantity = typeof it.quantity === 'number' ? it.quantity : 1;
    const sign = it.return ? -1 : 1;
    return { description: it.description || '', price: it.price, quantity, department: it.department || 1, isReturn: !!it.return, amount: sign * lineCents(it.price, quantity) };
  });
  const total = Number.isInteger(job.total) ? job.total : items.reduce((s, i) => s + i.amount, 0);
  const payments = (req.payments || []).map((p) => ({ method: p.method, amount: Number.isInteger(p.amount) ? p.amount : null }));
  let change = Number.isInteger(job.change) ? job.change : null;
  if (change === null) {
    // A payment without an amount pays the rest exactly: no change then.
    const rest = payments.some((p) => p.amount === null);
    const paid = payments.reduce((s, p) => s + (p.amount || 0), 0);
    change = rest ? 0 : Math.max(0, paid - total);
  }
  return { items, payments, total, change };
}
