// Words for people: what a state, an exit status or a register's Italian text means, and
// how times, durations and money read in the shop.

export const JOB_STATES = {
  queued: { word: 'Waiting', explain: 'Waiting for its turn on the register.' },
  running: { word: 'Running', explain: 'The register is working on it now.' },
  done: { word: 'Done', explain: 'Finished: the register confirmed every step.' },
  failed: {
    word: 'Failed',
    explain:
      'It did not go through. For a receipt this means nothing was fiscalised: the sale may be sent again.',
  },
  uncertain: {
    word: 'Not yet known',
    explain:
      'It is not yet known whether the register printed this. The service will ask the register as soon as it answers. Do not ring the sale up again meanwhile.',
  },
  attention: {
    word: 'Needs attention',
    explain:
      'A person must look at the register: the service could not settle this on its own. See what to do below.',
  },
};

export const REGISTER_STATES = {
  idle: { word: 'Ready', explain: 'Ready for the next receipt.' },
  busy: { word: 'Working', explain: 'Printing or reading right now.' },
  held: {
    word: 'On hold',
    explain: 'No receipts are sent to this register until someone has checked it and pressed Resume.',
  },
  unreachable: {
    word: 'Not answering',
    explain:
      'The register did not answer. Check that it is switched on, that its cable is plugged in at both ends, and that the paper is in.',
  },
};

export const KINDS = {
  receipt: 'Receipt',
  lines: 'Sales lines',
  download: 'Download',
  status: 'Status check',
};

export const DOWNLOADS = {
  'journal-hex': 'Journal (hex)',
  'journal-formatted': 'Journal (formatted)',
  'internal-totals': 'Internal totals',
  'expansion-totals': 'Expansion totals',
  'expansion-totals-clear': 'Clear expansion totals',
};

// What each exit status of cassard means, for the person at the till: what happened and
// what to do. A few statuses stand for more than one cause; the register's own text
// (`byText`) then tells which.
const EXIT = {
  0: { what: 'Completed: the register processed every line.', todo: '' },
  2: {
    what: 'The register did not accept a command: it refused it or did not take it after three tries. Usually a loose or noisy serial cable, or the wrong line speed.',
    todo: 'Check the cable at both ends and the line settings, then send the job again.',
  },
  8: {
    what: 'The register refused a step of the sale, or the serial line could not be written to.',
    todo: 'Read the register text beside this: it says which.',
  },
  16: {
    what: 'The register’s answers arrived damaged three times in a row.',
    todo: 'Check the cable and anything near it that may cause interference, then check the register and try again.',
  },
  18: {
    what: 'The register refused a command (it answered with an error). A wrong department, an amount out of range or a function the register does not have can cause this.',
    todo: 'Check the line marked below against the register’s programming.',
  },
  21: {
    what: 'The register is not in the right mode: its key is in the wrong position, a sale is already open on it, or someone pressed keys on it.',
    todo: 'Put the register key in the sales (REG) position, finish or cancel any sale open on the register, and keep hands off its keyboard while it works.',
  },
  32: {
    what: 'The register is not answering, or it reports a fault it must recover from (print head up, paper out).',
    todo: 'Check that the register is on and connected, close the print head and load paper, then check it again.',
  },
  99: {
    what: 'A sale was still open on the register at the end of the receipt: it was not closed by a payment.',
    todo: 'Finish or cancel the sale on the register, then press Resume on its card.',
  },
  255: {
    what: 'cassard could not start its work: the serial line, the sales file or an output file could not be opened or written, or the register model is not supported.',
    todo: 'Read the register text beside this; a technician may be needed.',
  },
};

const NO_ANSWER = {
  what: 'No valid answer came back from the register in time.',
  todo: 'Check that the register is on and connected, then check it again before sending anything.',
};

// Specific texts the register or cassard give, as they are written (start of the text).
const BY_TEXT = [
  ['Mancanza resto', 'The register refused the payment: this payment method cannot give change, and the amount paid is more than the amount due.', 'Pay the exact amount with this method, or use cash for the rest.'],
  ['Operatore non inserito', 'The register refused the sale: no operator is signed on, and the register is programmed to require one.', 'Sign an operator on at the register, or send the operator with the receipt.'],
  ['Assetto Chiave errato', 'The register’s key is in the wrong position, a sale is already open, or keys were pressed on it.', 'Put the key in the sales (REG) position and finish or cancel any open sale on the register.'],
  ['Testa Sollevata o Fine Carta', 'The register’s print head is up or the paper has run out.', 'Close the print head or load a new paper roll, then check the register again.'],
  ['Mancato collegamento', 'The register does not answer at all.', 'Check that it is switched on and that the serial cable is plugged in at both ends.'],
  ['Time-Out ricezione', 'The register did not take a command after three tries: the line may be noisy.', 'Check the cable and the line settings.'],
  ['Impossibile aprire la porta seriale', 'The serial port could not be opened: the adapter is missing or in use by another program.', 'Check the adapter is plugged in and no other program uses it.'],
  ['Impossibile aprire il file', 'A file cassard needs could not be opened.', 'A technician should check the service’s disk space and permissions.'],
  ['Errore in write su', 'Writing to the serial line failed: the adapter may have been unplugged.', 'Check the adapter, then check the register again.'],
  ['Comando non accettato', 'The register refused a command with an error answer.', 'Check the line marked below against the register’s programming.'],
  ['Transazione in corso', 'A sale is still open on the register.', 'Finish or cancel the sale on the register, then press Resume.'],
  ['Marca non sup', 'This register brand is not supported.', 'A technician must check the register model.'],
  ['Eprom troppo vecchia', 'The register’s firmware is too old to be supported.', 'A technician must check the register model.'],
  ['Versione firmware datata', 'The register’s firmware is too old to be supported.', 'A technician must check the register model.'],
  ['Errore in ReadData', NO_ANSWER.what, NO_ANSWER.todo],
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

// { what, todo } for an exit status and the register's text; null before the job ended.
export function explainExit(status, italian, serviceMeaning) {
  if (status === null || status === undefined) return null;
  const hit = BY_TEXT.find(([start]) => italian && italian.includes(start));
  if (hit) return { what: hit[1], todo: hit[2] };
  const base = EXIT[status] || (status > 0 && status < 255 ? NO_ANSWER : null);
  if (base) return base;
  return { what: serviceMeaning || `cassard ended with status ${status}.`, todo: '' };
}

// Times arrive in UTC; the shop reads them in its own time.
// Dates as 2026-12-07 14:05:09 in the shop's time: the same reading in every language.
const two = (n) => String(n).padStart(2, '0');
const dateTime = {
  format: (d) =>
    `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`,
};
const timeOnly = { format: (d) => dateTime.format(d).slice(11) };

// The service's short English notes ("a sale was left open ...") as a sentence.
export function sentence(s) {
  if (!s) return '';
  const t = s.trim();
  // A program's name keeps its lower case at the start of a sentence.
  const head = /^cassard/.test(t) ? t : t.charAt(0).toUpperCase() + t.slice(1);
  return head + (/[.!?]$/.test(t) ? '' : '.');
}

export function localTime(iso, { short = false } = {}) {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return iso;
  const today = new Date();
  const sameDay = d.toDateString() === today.toDateString();
  return short && sameDay ? timeOnly.format(d) : dateTime.format(d);
}

export function duration(ms) {
  if (ms === null || ms === undefined || ms < 0 || Number.isNaN(ms)) return '';
  if (ms < 1000) return `${Math.round(ms)} ms`;
  if (ms < 60000) return `${(ms / 1000).toFixed(1)} s`;
  const m = Math.floor(ms / 60000);
  return `${m} min ${Math.round((ms % 60000) / 1000)} s`;
}

export function jobDuration(job) {
  if (!job.startedAt) return '';
  const end = job.endedAt ? Date.parse(job.endedAt) : Date.now();
  return duration(end - Date.parse(job.startedAt));
}

export function age(iso, now = Date.now()) {
  if (!iso) return '';
  const s = Math.max(0, Math.round((now - Date.parse(iso)) / 1000));
  if (s < 10) return 'just now';
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} days ago`;
}

const euro = new Intl.NumberFormat(undefined, { style: 'currency', currency: 'EUR' });
export function money(cents) {
  return Number.isInteger(cents) ? euro.format(cents / 100) : '';
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
