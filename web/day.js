// The shop's day: per register and in all, the receipts printed and not, what each payment
// method took, the change and the returns, the first and last receipt number. The figures
// are the service's (GET /v1/summary, summed in its store over the service's own local
// day); the page only lays them out, on the screen and on paper (A4, or an 80 mm roll).

import { h, clear, say } from './dom.js';
import { get, paths } from './api.js';
import { t, money, dateTime, locale } from './i18n.js';
import { errorText } from './registers.js';

// "lunedì 7 dicembre 2026" for a YYYY-MM-DD, read as a calendar date (no time zone moves it).
export function dayName(date) {
  const [y, m, d] = date.split('-').map(Number);
  return new Intl.DateTimeFormat(locale(), { weekday: 'long', day: 'numeric', month: 'long', year: 'numeric', timeZone: 'UTC' }).format(Date.UTC(y, m - 1, d));
}

let stampShown = () => {};
if (typeof window !== 'undefined') {
  window.addEventListener('beforeprint', () => stampShown());
  window.addEventListener('afterprint', () => document.documentElement.classList.remove('roll'));
}

function figures(f, { name, numbers }) {
  const rows = [
    ['printed', String(f.printed), 'strong'],
    ['atResume', String(f.settledAtResume)],
    ['byPerson', String(f.settledByPerson)],
    ['notPrinted', String(f.notPrinted)],
    ['needPerson', String(f.needPerson), f.needPerson ? 'alert' : ''],
    ['pending', String(f.pending)],
    ['takings', money(f.takings), 'strong'],
    ...f.payments.map((p) => [null, money(p.amount), '', t('day.paidWith', { method: p.method, count: p.count })]),
    ['change', money(f.change)],
    ['returns', money(f.returns), '', f.returnedItems ? t('day.returnsOf', { count: f.returnedItems }) : ''],
  ];
  if (numbers) rows.push(['first', f.firstReceipt || '—'], ['last', f.lastReceipt || '—']);
  return h(
    'dl',
    { class: 'facts day-facts', 'aria-label': name },
    rows.map(([key, value, cls, label]) => [h('dt', { class: key === 'atResume' || key === 'byPerson' || !key ? 'sub' : '' }, label || t(`day.${key}`)), h('dd', { class: `num ${cls || ''}` }, value)]),
  );
}

// The day's figures into `box`; the date picker and the print buttons with them. Answers
// { reload } so that live changes can be counted again.
export function dayView(box, { date = '', level = 2, standalone = false } = {}) {
  const input = h('input', { type: 'date', id: 'day-date', name: 'date', value: date });
  const body = h('div', { class: 'day-body', 'aria-live': 'off' });
  const title = h(`h${level}`, { id: 'day-title', tabindex: standalone ? '-1' : null }, t('day.title'));
  const printed = h('p', { class: 'print-only day-printed' });
  // On paper, when it was printed: set as the figures come and again just before printing.
  const stamp = () => (printed.textContent = t('day.printedAt', { time: dateTime(new Date().toISOString()) }));
  stampShown = stamp;
  const print = (roll) => {
    document.documentElement.classList.toggle('roll', roll);
    window.print();
  };
  let shown = date;
  let seq = 0;

  async function load() {
    const mine = ++seq;
    try {
      const s = await get(paths.summary({ from: shown, to: shown }));
      if (mine !== seq) return;
      const today = !shown;
      title.textContent = today ? t('day.today', { day: dayName(s.from) }) : t('day.of', { day: dayName(s.from) });
      if (!input.value) input.value = s.from;
      stamp();
      const cards = s.registers.map((r) => h('section', { class: 'day-card', 'aria-labelledby': `day-${r.register}` }, h(`h${level + 1}`, { id: `day-${r.register}` }, r.register), figures(r, { name: r.register, numbers: true })));
      if (s.registers.length !== 1)
        cards.push(h('section', { class: 'day-card all', 'aria-labelledby': 'day-all' }, h(`h${level + 1}`, { id: 'day-all' }, t('day.all')), figures(s.all, { name: t('day.all') })));
      clear(body).append(
        h('div', { class: 'day-cards' }, cards),
        h('p', { class: 'hint' }, t('day.zone', { zone: s.timeZone })),
        h('p', { class: 'no-print' }, h('a', { href: `#/?from=${s.from}&to=${s.to}` }, t('day.jobs'))),
      );
    } catch (e) {
      if (mine !== seq || e.status === 401) return;
      clear(body).append(h('p', { class: 'error' }, t('day.failed', { why: errorText(e) })));
    }
  }

  input.addEventListener('change', () => {
    shown = input.value;
    if (standalone) history.replaceState(null, '', shown ? `#/day?date=${shown}` : '#/day');
    load();
  });
  box.append(
    h(
      'section',
      { class: 'panel day', id: 'day', 'aria-labelledby': 'day-title' },
      h('div', { class: 'day-head' }, title, standalone ? null : h('a', { class: 'no-print', href: '#/day' }, t('day.open'))),
      printed,
      h(
        'div',
        { class: 'row no-print' },
        h('label', { for: 'day-date', class: 'inline-field' }, t('day.date'), input),
        h('button', { type: 'button', class: 'btn', dataset: { act: 'print' }, onclick: () => print(false) }, t('day.print')),
        h('button', { type: 'button', class: 'btn', dataset: { act: 'print-roll' }, onclick: () => print(true) }, t('day.printRoll')),
      ),
      body,
    ),
  );
  load().catch((e) => say(errorText(e), 'error'));
  let timer = 0;
  return {
    // A job changed: the figures are asked for again, at most once a second.
    changed() {
      clearTimeout(timer);
      timer = setTimeout(load, 1000);
    },
    reload: load,
  };
}
