// A register's page: its card, downloads and totals as jobs, the clear (asked first), and
// the test receipt, which prints a real fiscal receipt and says so.

import { h, clear, say, confirmDialog } from './dom.js';
import { post, paths, newKey } from './api.js';
import { t } from './i18n.js';
import { downloadWord, money, parseCents, parseQuantity, lineCents } from './text.js';
import { errorText, heldWhy } from './registers.js';

async function startJob(reg, body, what) {
  try {
    const job = await post(paths.jobsOf(reg.name), body, newKey());
    say(t('tools.started', { what, name: reg.name, id: job.id }), 'info', { toNextPage: true });
    location.hash = `#/jobs/${job.id}`;
  } catch (e) {
    if (e.status !== 401) say(t('tools.notStarted', { what, why: errorText(e) }), 'error');
  }
}

function downloads(reg) {
  const kinds = ['journal-formatted', 'journal-hex', 'internal-totals', 'expansion-totals'];
  const choices = kinds.map((k, i) =>
    h(
      'div',
      { class: 'choice' },
      h('input', { type: 'radio', name: 'download', id: `dl-${k}`, value: k, checked: i === 0, 'aria-describedby': `dl-${k}-help` }),
      h('label', { for: `dl-${k}` }, downloadWord(k)),
      h('span', { id: `dl-${k}-help`, class: 'hint' }, t(`tools.dl.${k}`)),
    ),
  );
  const form = h(
    'form',
    { class: 'panel', 'aria-labelledby': 'dl-title' },
    h('h2', { id: 'dl-title' }, t('tools.dlTitle')),
    h('p', { class: 'muted' }, t('tools.dlExplain')),
    reg.state === 'held' ? h('p', { class: 'warning', role: 'note' }, t('tools.dlHeld')) : null,
    h('fieldset', {}, h('legend', {}, t('tools.dlWhat')), choices),
    h('button', { type: 'submit', class: 'btn primary' }, t('tools.dlButton')),
  );
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const k = new FormData(form).get('download');
    startJob(reg, { kind: 'download', download: k }, downloadWord(k));
  });
  return form;
}

function clearTotals(reg) {
  const btn = h('button', { type: 'button', class: 'btn danger', id: 'clear-totals' }, t('tools.clearButton'));
  btn.addEventListener('click', async () => {
    const ok = await confirmDialog({
      title: t('tools.clearQuestion', { name: reg.name }),
      body: [t('tools.clearBody1'), t('tools.clearBody2')],
      confirm: t('tools.clearConfirm'),
    });
    if (ok) startJob(reg, { kind: 'download', download: 'expansion-totals-clear' }, t('tools.clearing'));
    else say(t('tools.nothingCleared'));
  });
  return h(
    'section',
    { class: 'panel danger-zone', 'aria-labelledby': 'clr-title' },
    h('h2', { id: 'clr-title' }, t('tools.clearTitle')),
    h('p', {}, t('tools.clearExplain')),
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
  const desc = h('input', { type: 'text', name: 'description', maxlength: '35', required: true, autocomplete: 'off', value: t('tools.r.defaultDesc') });
  const price = h('input', { type: 'text', name: 'price', inputmode: 'decimal', required: true, value: '0,10' });
  const qty = h('input', { type: 'text', name: 'quantity', inputmode: 'decimal', required: true, value: '1' });
  const dept = h('input', { type: 'number', name: 'department', min: '1', max: '30', required: true, value: '1' });
  // The method that gives change comes first: a test receipt paid in round money works.
  const giving = payments.find((p) => p.change) || payments.find((p) => p.method === 'contanti') || payments[0];
  const method = h('select', { name: 'method', required: true }, payments.map((p) => h('option', { value: p.method, selected: p === giving }, p.method)));
  const paid = h('input', { type: 'text', name: 'amount', inputmode: 'decimal' });
  const paidField = field('r-amount', t('tools.r.paid'), paid, t('tools.r.paidHint'));
  const total = h('p', { class: 'total', 'aria-live': 'polite' });
  const agree = h('input', { type: 'checkbox', id: 'r-agree', name: 'agree', required: true });
  const held = reg.state === 'held';
  const submit = h('button', { type: 'submit', class: 'btn danger', disabled: held }, t('tools.r.submit'));
  let key = newKey();

  const form = h(
    'form',
    { class: 'panel receipt-form', 'aria-labelledby': 'rc-title', novalidate: true },
    h('h2', { id: 'rc-title' }, t('tools.r.title')),
    held ? h('p', { class: 'warning', role: 'note', id: 'r-held' }, h('strong', {}, t('tools.r.heldTitle')), ' ', t('tools.r.held', { why: heldWhy(reg) })) : null,
    h('div', { class: 'warning', role: 'note' }, h('strong', {}, t('tools.r.warnTitle')), ' ', t('tools.r.warn')),
    h(
      'div',
      { class: 'grid' },
      field('r-desc', t('tools.r.desc'), desc, t('tools.r.descHint')),
      field('r-price', t('tools.r.price'), price, t('tools.r.priceHint')),
      field('r-qty', t('tools.r.qty'), qty, t('tools.r.qtyHint')),
      field('r-dept', t('tools.r.dept'), dept, t('tools.r.deptHint')),
      field('r-method', t('tools.r.method'), method, t('tools.r.methodHint')),
      paidField,
    ),
    total,
    h('div', { class: 'choice agree' }, agree, h('label', { for: 'r-agree' }, t('tools.r.agree'))),
    submit,
  );
  if (!payments.length) {
    submit.disabled = true;
    form.append(h('p', { class: 'field-error' }, t('tools.r.noMethods')));
  }

  const methodOf = () => payments.find((p) => p.method === method.value);
  const refresh = () => {
    const m = methodOf();
    paidField.hidden = !(m && m.amount);
    const c = parseCents(price.value);
    const q = parseQuantity(qty.value);
    total.textContent = c !== null && q !== null ? t('tools.r.total', { total: money(lineCents(c, q)) }) : '';
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
    if (!d) errors.push(['description', t('tools.r.errDesc')]);
    const c = parseCents(price.value);
    if (c === null || c < 1) errors.push(['price', t('tools.r.errPrice')]);
    const q = parseQuantity(qty.value);
    if (q === null) errors.push(['quantity', t('tools.r.errQty')]);
    const dep = Number(dept.value);
    if (!Number.isInteger(dep) || dep < 1 || dep > 30) errors.push(['department', t('tools.r.errDept')]);
    const m = methodOf();
    const payment = { method: method.value };
    if (m && m.amount) {
      const a = paid.value.trim() ? parseCents(paid.value) : c !== null && q !== null ? lineCents(c, q) : null;
      if (a === null || a < 1) errors.push(['amount', t('tools.r.errPaid')]);
      else payment.amount = a;
    }
    if (errors.length) {
      for (const [n, msg] of errors) setError(n, msg);
      controls[errors[0][0]].focus();
      return;
    }
    if (!agree.checked) {
      say(t('tools.r.errAgree'), 'error');
      agree.focus();
      return;
    }
    const body = { items: [{ description: d, price: c, quantity: q, department: dep }], payments: [payment] };
    submit.disabled = true;
    try {
      const job = await post(paths.receipts(reg.name), body, key);
      key = newKey();
      agree.checked = false;
      say(t('tools.r.sent', { name: reg.name, id: job.id }), 'info', { toNextPage: true });
      location.hash = `#/jobs/${job.id}`;
    } catch (err) {
      // A 4xx stored nothing: the next try is a new request. A network failure or a
      // server error may have come after the job was stored, so the key is kept and
      // sending again returns that job instead of making a second receipt.
      if (err.status >= 400 && err.status < 500) key = newKey();
      const f = err.field || '';
      const name = /price/.test(f) ? 'price' : /quantity/.test(f) ? 'quantity' : /department/.test(f) ? 'department' : /description/.test(f) ? 'description' : /amount/.test(f) ? 'amount' : /method/.test(f) ? 'method' : '';
      if (err.status === 401) return;
      if (name) {
        setError(name, errorText(err));
        controls[name].focus();
      }
      say(t('tools.r.notSent', { why: `${f ? `${f}: ` : ''}${errorText(err)}` }), 'error');
    } finally {
      submit.disabled = !payments.length || held;
    }
  });
  return form;
}

export function toolsPage(main, reg, card, jobsBox) {
  clear(main).append(
    h('p', { class: 'crumbs' }, h('a', { href: '#/' }, t('nav.home')), ' › ', reg.name),
    h('h1', { tabindex: '-1' }, t('tools.title', { name: reg.name })),
    h('div', { class: 'cards single' }, card),
    h('div', { class: 'tools' }, downloads(reg), clearTotals(reg), receiptForm(reg)),
    h('section', { class: 'panel', 'aria-labelledby': 'rj-title' }, h('h2', { id: 'rj-title' }, t('tools.jobs', { name: reg.name })), jobsBox),
  );
}
