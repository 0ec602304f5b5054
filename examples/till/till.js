// A till on its own origin, printing through cassardd with the browser client.
//
//   mkdir till && cp examples/till/* till/
//   curl -o till/cassard-client.js http://127.0.0.1:8765/v1/cassard-client.js
//   python3 -m http.server 8000 --directory till
//   open http://127.0.0.1:8000/?server=http://127.0.0.1:8765&register=cassa1
//
// The till serves its own copy of cassard-client.js, so that only its calls to cassardd
// need the browser's Local Network Access permission; it says so when the service's copy
// has another VERSION. cassardd's `origins` must list this page's origin. The address, the
// register and the token are kept in this browser (a till's kiosk profile); "Impostazioni"
// changes them.
//
// One sale, one job: from the moment it is paid until its job is done or failed, the sale
// is locked (no payment button sends anything), across reloads too. A failed sale is sent
// again only as a new sale, under a new key, once the cashier confirms.

import * as lib from './cassard-client.js';

const PRODUCTS = [
  { description: 'PANE', price: 125, department: 1 },
  { description: 'LATTE', price: 129, department: 1 },
  { description: 'CAFFÈ', price: 110, department: 2 },
  { description: 'CORNETTO', price: 120, department: 2 },
  { description: 'ACQUA', price: 50, department: 1 },
  { description: 'GIORNALE', price: 150, department: 3 },
];

const CONFIG_KEY = 'till.config';
const SALE_KEY = 'till.sale';
const $ = (id) => document.getElementById(id);
const euro = new Intl.NumberFormat('it-IT', { style: 'currency', currency: 'EUR' });
const money = (cents) => euro.format(cents / 100);
const hour = (iso) => new Date(iso).toLocaleTimeString('it-IT');

/** @type {Map<string, {product: object, quantity: number}>} the cart */
const lines = new Map();
let client = null;
/** The sale paid and not yet final: { key, items, payments, paidAt, jobId, state, reasonCode,
 *  reasonParams, receiptNumber }, kept in localStorage until done or closed. */
let current = JSON.parse(localStorage.getItem(SALE_KEY) || 'null');

function config() {
  const kept = JSON.parse(localStorage.getItem(CONFIG_KEY) || '{}');
  const q = new URLSearchParams(location.search);
  for (const k of ['server', 'register']) if (q.get(k)) kept[k] = q.get(k);
  return kept;
}

function keep() {
  if (current) localStorage.setItem(SALE_KEY, JSON.stringify(current));
  else localStorage.removeItem(SALE_KEY);
  document.body.dataset.sale = current ? current.state : '';
  draw();
}

function say(text, kind = '') {
  const o = $('outcome');
  o.textContent = text;
  o.className = kind;
}

function total() {
  let cents = 0;
  for (const { product, quantity } of lines.values()) cents += product.price * quantity;
  return cents;
}

function draw() {
  const ul = $('lines');
  ul.replaceChildren();
  for (const { product, quantity } of lines.values()) {
    const li = document.createElement('li');
    const name = document.createElement('span');
    name.textContent = `${quantity} × ${product.description}`;
    const amount = document.createElement('span');
    amount.textContent = money(product.price * quantity);
    li.append(name, amount);
    ul.append(li);
  }
  $('total').textContent = money(total());
  // A sale paid is locked until its job is final: nothing changes it, nothing sends it again.
  for (const b of [$('pay-cash'), $('pay-card')]) b.disabled = !!current || lines.size === 0;
  for (const b of [$('clear'), ...$('products').children]) b.disabled = !!current;
  $('failed').hidden = !current || current.state !== 'failed';
  if ($('failed').hidden) $('confirm').hidden = true;
}

const itemsText = (items) => (items || []).map((i) => `${i.quantity ?? 1} × ${i.description}`).join(', ');

function drawPending() {
  const ul = $('pending');
  ul.replaceChildren();
  for (const s of client.pending()) {
    const li = document.createElement('li');
    const text = document.createElement('span');
    text.textContent = `Vendita delle ${hour(s.paidAt || s.savedAt)} (${itemsText(s.items)}): ` +
      (s.expired ? `pagata ${s.ageS} s fa, scaduta: non verrà più inviata`
        : s.jobId ? `lavoro ${s.jobId}` : 'non ancora accettata');
    li.append(text);
    if (s.expired && (!current || current.key !== s.key)) {
      const b = document.createElement('button');
      b.type = 'button';
      b.className = 'secondary';
      b.textContent = 'Dimentica';
      b.dataset.drop = s.key;
      b.addEventListener('click', () => {
        client.drop(s.key);
        drawPending();
      });
      li.append(b);
    }
    ul.append(li);
  }
}

// -- words for the cashier, from the job's reasonCode (never the service's English) --

const REASONS = {
  not_fiscalised: 'il registratore non ha emesso nulla',
  expired: 'è rimasta in coda oltre la sua scadenza e non è mai stata inviata al registratore',
  expired_unsent: 'il servizio non l’ha presa entro la sua scadenza: non è mai stata inviata',
  expired_unconfirmed: 'il servizio non ha risposto entro la sua scadenza e non verrà più inviata; ' +
    'guardare sul rotolo del registratore se è stata stampata prima di ripeterla',
  cancelled: 'annullata mentre era in coda, mai inviata al registratore',
  cancelled_on_register: 'annullata sul registratore, nulla è stato fiscalizzato',
  cassard_not_started: 'il programma che parla col registratore non è partito',
  run_failed: 'l’invio al registratore non si è completato',
  resolved_failed: 'segnata come non emessa da una persona',
  sale_left_open: 'sul registratore è rimasta aperta la vendita',
  sale_open: 'sul registratore è aperta una vendita battuta a mano',
  closed_elsewhere: 'il registratore ha chiuso uno scontrino che non è questa vendita ' +
    '(arrivate %{linesDelivered} righe su %{linesTotal}): confrontare lo scontrino',
  partial_on_register: 'sul registratore è stata chiusa solo una parte della vendita ' +
    '(%{linesDelivered} righe su %{linesTotal})',
  restored_unsettled: 'il lavoro è stato ripreso da una copia del servizio e non si sa se è stato stampato',
  counter_jumped: 'nel frattempo il registratore ha stampato un altro scontrino (da %{before} a %{after})',
  no_advance: 'il registratore ha finito ma il numero degli scontrini non si è mosso',
  different_register: 'ha risposto un altro registratore (matricola %{serial})',
  counter_not_number: 'il numero degli scontrini non si legge',
  settle_limit: 'per %{seconds} s il registratore non ha potuto dire se lo scontrino è stato stampato',
  unread_after: 'dopo lo scontrino il registratore non si è potuto leggere',
  service_stopped: 'il servizio si è fermato durante la stampa',
  not_read_before: 'il registratore non è stato letto prima della stampa',
};

function reasonText(code, params) {
  const t = REASONS[code];
  if (!t) return code ? `codice ${code}` : 'controllare lo scontrino sul registratore';
  return t.replace(/%\{(\w+)\}/g, (_, k) => String(params?.[k] ?? '?'));
}

function stateText(job) {
  const why = reasonText(job.reasonCode, job.reasonParams);
  switch (job.state) {
    case 'queued': return ['In attesa del registratore…', ''];
    case 'running': return ['Stampa in corso…', ''];
    case 'uncertain': return ['Verifica sul registratore in corso: non ripetere la vendita…', ''];
    case 'attention':
      return [`Serve una persona al registratore: ${why}. La vendita resta bloccata finché non è risolta.`, 'fail'];
    case 'done': return [`Scontrino n. ${job.receiptNumber} stampato.`, 'ok'];
    default: return [`Scontrino NON emesso: ${why}.`, 'fail'];
  }
}

function errorText(e) {
  if (e instanceof lib.PermissionError)
    return 'Il browser non permette a questa pagina di raggiungere il servizio sul computer della cassa. ' +
      'Consentire «Accesso alla rete locale» a questo sito nelle impostazioni del browser.';
  if (e instanceof lib.AuthError) return 'Il token non è valido: inserirlo in «Impostazioni».';
  if (e instanceof lib.ForbiddenError)
    return `Il servizio non accetta questa cassa (${e.field || e.code}): l’indirizzo di questa pagina va aggiunto a «origins».`;
  if (e instanceof lib.WrongJobError)
    return 'Il servizio ha risposto con il lavoro di un’altra vendita: non è l’esito di questa. ' +
      'La vendita resta bloccata; chiamare il tecnico.';
  if (e instanceof lib.RefusedError) return `Vendita rifiutata dal servizio (${e.field || e.code}).`;
  if (e instanceof lib.ConflictError) return `Vendita in conflitto con un’altra (${e.code}).`;
  return `Errore (${e.code || e.name}).`;
}

// -- the sale from pay to its final state --

function progress(p) {
  if (current && p.sale.key === current.key) {
    if (p.state === 'sending') say(p.sale.attempts > 1 ? 'Nuovo invio della vendita…' : 'Invio della vendita…');
    if (p.state === 'retrying') say('Il servizio non risponde: nuovo tentativo tra poco…');
    if (p.job && p.job.key === current.key && p.state !== 'final') say(...stateText(p.job));
  }
  drawPending();
}

/** Follows the current sale's job until done or failed. @param {Promise<object>} sending */
async function settle(sending) {
  const key = current.key;
  try {
    let job = await sending;
    // The client checks it too: a job of another key is never this sale's outcome.
    if (job.key !== key) throw new lib.WrongJobError(`job ${job.id} has key ${job.key}`, { code: 'wrong_job' });
    if (job.state === 'attention') {
      Object.assign(current, { jobId: job.id, state: 'attention' });
      keep();
      say(...stateText(job));
      job = await client.settled(job.id, key, { onJob: (j) => say(...stateText(j)) });
    }
    if (!current || current.key !== key) return;
    say(...stateText(job));
    if (job.state === 'done') {
      current = null;
      lines.clear();
    } else {
      Object.assign(current, { jobId: job.id, state: 'failed', reasonCode: job.reasonCode, reasonParams: job.reasonParams });
    }
  } catch (e) {
    if (!current || current.key !== key) return;
    if (e instanceof lib.ExpiredError) {
      const code = e.code === 'expired' ? 'expired_unsent' : 'expired_unconfirmed';
      Object.assign(current, { state: 'failed', reasonCode: code });
      say(...stateText(current));
    } else if ((e instanceof lib.RefusedError && !(e instanceof lib.ForbiddenError)) ||
               e instanceof lib.ConflictError || e.code === 'storage') {
      current = null;  // nothing of it is kept: the cart stays, to be corrected
      say(errorText(e), 'fail');
    } else {
      // Kept until its expiresAt (a token, an origin, the permission, a job of another
      // key): sent again once fixed; past it, it ends as expired.
      current.state = 'kept';
      say(errorText(e), 'fail');
      if (e instanceof lib.AuthError) openSettings();
      const s = client.pending().find((k) => k.key === key);
      if (s && s.jobId === null && s.expiresAt && !s.expired)
        setTimeout(again, Date.parse(s.expiresAt) - Date.now() + 500);
    }
  } finally {
    keep();
    drawPending();
  }
}

/** The current sale sent again under its own key (a reload, the end of its wait). */
function again() {
  if (!current || current.state === 'failed') return;
  if (client.pending().some((s) => s.key === current.key)) {
    current.state = 'sending';
    keep();
    settle(client.resume({ key: current.key, onProgress: progress }).then(([r]) => {
      if (r.status === 'rejected') throw r.reason;
      return r.value;
    }));
  } else if (current.jobId) {
    settle(client.settled(current.jobId, current.key, { onJob: (j) => say(...stateText(j)) }));
  } else {
    current = null;  // neither kept nor taken: nothing of it can print
    keep();
  }
}

function pay(method) {
  if (current || lines.size === 0) return;
  const items = [...lines.values()].map(({ product, quantity }) => ({ ...product, quantity }));
  const payments = [{ method, amount: total() }];
  current = { key: lib.newKey('till'), items, payments, paidAt: new Date().toISOString(), jobId: null, state: 'sending' };
  keep();
  settle(client.postReceipt(config().register, { items, payments },
    { key: current.key, paidAt: current.paidAt, onProgress: progress }));
}

/** The failed sale let go. One whose fate the service could not tell stays in the client's
 *  list, asked about again at the next start, until "Dimentica". */
function release() {
  if (current.reasonCode !== 'expired_unconfirmed') client.drop(current.key);
  current = null;
}

function close() {
  release();
  lines.clear();
  say('');
  keep();
  drawPending();
}

// -- settings --

function openSettings() {
  const cfg = config();
  const form = $('setup');
  form.hidden = false;
  $('settings').setAttribute('aria-expanded', 'true');
  $('server').value = cfg.server || '';
  $('register').value = cfg.register || '';
  $('token').value = cfg.token || '';
  (cfg.server && cfg.register ? $('token') : $('server')).focus();
}

function wireSettings() {
  $('settings').addEventListener('click', () => {
    if ($('setup').hidden) openSettings();
    else {
      $('setup').hidden = true;
      $('settings').setAttribute('aria-expanded', 'false');
    }
  });
  $('setup').addEventListener('submit', (ev) => {
    ev.preventDefault();
    localStorage.setItem(CONFIG_KEY, JSON.stringify({
      server: $('server').value.replace(/\/+$/, ''),
      register: $('register').value.trim(),
      token: $('token').value,
    }));
    // The address in the query wins over the one kept: a changed address drops it.
    const q = new URLSearchParams(location.search);
    if (q.get('server') && q.get('server') !== $('server').value.replace(/\/+$/, '')) location.search = '';
    else location.reload();
  });
}

function wire() {
  for (const p of PRODUCTS) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = `${p.description} ${money(p.price)}`;
    b.dataset.product = p.description;
    b.addEventListener('click', () => {
      if (current) return;
      const line = lines.get(p.description) || { product: p, quantity: 0 };
      line.quantity += 1;
      lines.set(p.description, line);
      draw();
    });
    $('products').append(b);
  }
  $('pay-cash').addEventListener('click', () => pay('contanti'));
  $('pay-card').addEventListener('click', () => pay('carta'));
  $('clear').addEventListener('click', () => {
    if (current) return;
    lines.clear();
    draw();
  });
  $('close').addEventListener('click', close);
  $('again').addEventListener('click', () => {
    const p = current.payments[0];
    $('confirm-text').textContent = (current.reasonCode === 'expired_unconfirmed'
      ? 'Non si sa se lo scontrino precedente è stato stampato: controllare il rotolo del registratore. '
      : 'Lo scontrino precedente NON è stato emesso. ') +
      `Inviare una NUOVA vendita con gli stessi articoli (${itemsText(current.items)}; ${money(p.amount)}, ${p.method})?`;
    $('confirm').hidden = false;
    $('confirm-yes').focus();
  });
  $('confirm-no').addEventListener('click', () => { $('confirm').hidden = true; });
  $('confirm-yes').addEventListener('click', () => {
    const method = current.payments[0].method;
    release();
    $('confirm').hidden = true;
    pay(method);
  });
}

async function start() {
  wireSettings();
  const cfg = config();
  if (!cfg.server || !cfg.register) return openSettings();
  $('register-name').textContent = cfg.register;
  client = lib.connect({ base: cfg.server, token: cfg.token || '', live: true });
  $('link').textContent = `Collegata a ${cfg.server}`;
  // This page's copy of the client against the service's: another VERSION is said, not hidden.
  client.serviceVersion().then((v) => {
    if (v !== lib.VERSION) {
      $('version').hidden = false;
      $('version').textContent = v
        ? `La copia di cassard-client.js di questa cassa (${lib.VERSION}) non è quella del servizio (${v}): aggiornarla.`
        : 'Il servizio non ha cassard-client.js: non si può controllare la copia di questa cassa.';
    }
  }, () => {});
  // The register's queue limit, for the next sale's end; a token missing or wrong is asked now.
  client.register(cfg.register).catch((e) => {
    if (!(e instanceof lib.AuthError) || current) return;
    say(errorText(e), 'fail');
    openSettings();
  });
  $('sale').hidden = false;
  wire();
  // The sale locked before a reload: its cart shown again, its job followed.
  if (current) {
    for (const i of current.items) lines.set(i.description, { product: i, quantity: i.quantity });
    if (current.state === 'failed') say(...stateText(current));
  }
  keep();
  drawPending();
  again();
  // Other sales kept before (another tab, an older page): each sent again with its own key.
  client.resume({ onProgress: progress }).then(drawPending);
  document.body.dataset.ready = 'true';
}

start();
