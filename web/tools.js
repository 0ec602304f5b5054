// A register's page: its card, downloads and totals as jobs, the clear (asked first), and
// the test receipt, which prints a real fiscal receipt and says so.

import { h, clear, say, confirmDialog } from './dom.js';
import { post, paths, newKey } from './api.js';
import { DOWNLOADS, money, parseCents, parseQuantity, lineCents } from './text.js';

async function startJob(reg, body, what) {
  try {
    const job = await post(paths.jobsOf(reg.name), body, newKey());
    say(`${what} started on ${reg.name} (job ${job.id}).`, 'info', { toNextPage: true });
    location.hash = `#/jobs/${job.id}`;
  } catch (e) {
    say(`${what} could not be started: ${e.message}`, 'error');
  }
}

function downloads(reg) {
  const kinds = ['journal-formatted', 'journal-hex', 'internal-totals', 'expansion-totals'];
  const help = {
    'journal-formatted': 'the expansion memory’s journal, one record per line as a person reads it',
    'journal-hex': 'the same journal as the register’s bytes in hex, for a technician',
    'internal-totals': 'department and general totals from the register’s memory',
    'expansion-totals': 'the totals kept in the expansion memory',
  };
  const choices = kinds.map((k, i) =>
    h(
      'div',
      { class: 'choice' },
      h('input', { type: 'radio', name: 'download', id: `dl-${k}`, value: k, checked: i === 0, 'aria-describedby': `dl-${k}-help` }),
      h('label', { for: `dl-${k}` }, DOWNLOADS[k]),
      h('span', { id: `dl-${k}-help`, class: 'hint' }, help[k]),
    ),
  );
  const form = h(
    'form',
    { class: 'panel', 'aria-labelledby': 'dl-title' },
    h('h2', { id: 'dl-title' }, 'Journal and totals'),
    h('p', { class: 'muted' }, 'Each download runs as a job on the register; its file appears on the job’s page when it is done. Reading changes nothing on the register.'),
    h('fieldset', {}, h('legend', {}, 'What to download'), choices),
    h('button', { type: 'submit', class: 'btn primary' }, 'Download'),
  );
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const k = new FormData(form).get('download');
    startJob(reg, { kind: 'download', download: k }, DOWNLOADS[k]);
  });
  return form;
}

function clearTotals(reg) {
  const btn = h('button', { type: 'button', class: 'btn danger', id: 'clear-totals' }, 'Clear expansion totals…');
  btn.addEventListener('click', async () => {
    const ok = await confirmDialog({
      title: `Clear the expansion totals on ${reg.name}?`,
      body: [
        'The totals kept in the register’s expansion memory are set to zero. This cannot be undone.',
        'Download them first if you still need them.',
      ],
      confirm: 'Clear the totals',
    });
    if (ok) startJob(reg, { kind: 'download', download: 'expansion-totals-clear' }, 'Clearing the expansion totals');
    else say('Nothing was cleared.');
  });
  return h(
    'section',
    { class: 'panel danger-zone', 'aria-labelledby': 'clr-title' },
    h('h2', { id: 'clr-title' }, 'Clear the expansion totals'),
    h('p', {}, 'Sets the expansion memory’s totals to zero, usually after they were downloaded at the end of a period. You will be asked to confirm.'),
    btn,
  );
}

// One field: label, control, hint and a place for its error, tied together for screen readers.
function field(id, label, control, hint = '') {
  control.id = id;
  const err = h('p', { class: 'field-error', id: `${id}-err`, hidden: true });
  const desc = [hint ? `${id}-hint` : '', `${id}-err`].filter(Boolean).join(' ');
  control.setAttribute('aria-describedby', desc);
  return h('div', { class: 'field' }, h('label', { for: id }, label), hint ? h('p', { class: 'hint', id: `${id}-hint` }, hint) : null, control, err);
}

function receiptForm(reg) {
  const payments = reg.payments || [];
  const desc = h('input', { type: 'text', name: 'description', maxlength: '35', required: true, autocomplete: 'off', value: 'PROVA' });
  const price = h('input', { type: 'text', name: 'price', inputmode: 'decimal', required: true, value: '0,10' });
  const qty = h('input', { type: 'text', name: 'quantity', inputmode: 'decimal', required: true, value: '1' });
  const dept = h('input', { type: 'number', name: 'department', min: '1', max: '30', required: true, value: '1' });
  const method = h('select', { name: 'method', required: true }, payments.map((p) => h('option', { value: p.method }, p.method)));
  const paid = h('input', { type: 'text', name: 'amount', inputmode: 'decimal' });
  const paidField = field('r-amount', 'Amount paid (€)', paid, 'Leave empty to pay exactly the total.');
  const total = h('p', { class: 'total', 'aria-live': 'polite' });
  const agree = h('input', { type: 'checkbox', id: 'r-agree', name: 'agree', required: true });
  const submit = h('button', { type: 'submit', class: 'btn danger' }, 'Print a fiscal receipt');
  let key = newKey();

  const form = h(
    'form',
    { class: 'panel receipt-form', 'aria-labelledby': 'rc-title', novalidate: true },
    h('h2', { id: 'rc-title' }, 'Test receipt'),
    h(
      'div',
      { class: 'warning', role: 'note' },
      h('strong', {}, 'This prints a real fiscal receipt. '),
      'It is recorded for ever in the register’s fiscal memory and counts in the day’s takings. Use it only to check that the register works, for example after installing it.',
    ),
    h(
      'div',
      { class: 'grid' },
      field('r-desc', 'Description', desc, 'Up to 35 characters, as printed.'),
      field('r-price', 'Unit price (€)', price, 'For example 1,25'),
      field('r-qty', 'Quantity', qty, 'Up to 3 decimals, e.g. 0,250'),
      field('r-dept', 'Department', dept, '1 to 30'),
      field('r-method', 'Payment method', method, 'As set up for this register'),
      paidField,
    ),
    total,
    h('div', { class: 'choice agree' }, agree, h('label', { for: 'r-agree' }, 'I understand that this prints a real fiscal receipt.')),
    submit,
  );
  if (!payments.length) {
    submit.disabled = true;
    form.append(h('p', { class: 'field-error' }, 'No payment methods are configured for this register, so no receipt can be made.'));
  }

  const methodOf = () => payments.find((p) => p.method === method.value);
  const refresh = () => {
    const m = methodOf();
    paidField.hidden = !(m && m.amount);
    const c = parseCents(price.value);
    const q = parseQuantity(qty.value);
    total.textContent = c !== null && q !== null ? `Total: ${money(lineCents(c, q))}` : '';
  };
  for (const el of [price, qty, method]) el.addEventListener('input', refresh);
  refresh();

  const controls = { description: desc, price, quantity: qty, department: dept, method, amount: paid, agree };
  const setError = (name, message) => {
    const el = controls[name];
    const err = document.getElementById(`${el.id}-err`);
    if (err) {
      err.textContent = message;
      err.hidden = !message;
    }
    if (message) el.setAttribute('aria-invalid', 'true');
    else el.removeAttribute('aria-invalid');
  };

  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    for (const n of Object.keys(controls)) if (n !== 'agree') setError(n, '');
    const errors = [];
    const d = desc.value.trim();
    if (!d) errors.push(['description', 'Write what is sold.']);
    const c = parseCents(price.value);
    if (c === null || c < 1) errors.push(['price', 'Write a price in euros, such as 1,25.']);
    const q = parseQuantity(qty.value);
    if (q === null) errors.push(['quantity', 'Write a quantity above 0 with at most 3 decimals.']);
    const dep = Number(dept.value);
    if (!Number.isInteger(dep) || dep < 1 || dep > 30) errors.push(['department', 'Choose a department from 1 to 30.']);
    const m = methodOf();
    const payment = { method: method.value };
    if (m && m.amount) {
      const a = paid.value.trim() ? parseCents(paid.value) : c !== null && q !== null ? lineCents(c, q) : null;
      if (a === null || a < 1) errors.push(['amount', 'Write the amount paid in euros.']);
      else payment.amount = a;
    }
    if (errors.length) {
      for (const [n, msg] of errors) setError(n, msg);
      controls[errors[0][0]].focus();
      return;
    }
    if (!agree.checked) {
      say('Tick the box to confirm that a real fiscal receipt may be printed.', 'error');
      agree.focus();
      return;
    }
    const body = { items: [{ description: d, price: c, quantity: q, department: dep }], payments: [payment] };
    submit.disabled = true;
    try {
      const job = await post(paths.receipts(reg.name), body, key);
      key = newKey();
      agree.checked = false;
      say(`Receipt sent to ${reg.name} (job ${job.id}).`, 'info', { toNextPage: true });
      location.hash = `#/jobs/${job.id}`;
    } catch (err) {
      // A 4xx stored nothing: the next try is a new request. A network failure or a
      // server error may have come after the job was stored, so the key is kept and
      // sending again returns that job instead of making a second receipt.
      if (err.status >= 400 && err.status < 500) key = newKey();
      const f = err.field || '';
      const name = /price/.test(f) ? 'price' : /quantity/.test(f) ? 'quantity' : /department/.test(f) ? 'department' : /description/.test(f) ? 'description' : /amount/.test(f) ? 'amount' : /method/.test(f) ? 'method' : '';
      if (name) {
        setError(name, err.message);
        controls[name].focus();
      }
      say(`The receipt was not sent: ${f ? `${f}: ` : ''}${err.message}`, 'error');
    } finally {
      submit.disabled = !payments.length;
    }
  });
  return form;
}

export function toolsPage(main, reg, card, jobsBox) {
  clear(main).append(
    h('p', { class: 'crumbs' }, h('a', { href: '#/' }, 'Registers and jobs'), ' › ', reg.name),
    h('h1', { tabindex: '-1' }, `Register ${reg.name}`),
    h('div', { class: 'cards single' }, card),
    h('div', { class: 'tools' }, downloads(reg), clearTotals(reg), receiptForm(reg)),
    h('section', { class: 'panel', 'aria-labelledby': 'rj-title' }, h('h2', { id: 'rj-title' }, `Jobs on ${reg.name}`), jobsBox),
  );
}
