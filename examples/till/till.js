// A till on its own origin, printing through cassardd with the browser client.
//
//   python3 -m http.server 8000 --directory examples/till
//   open http://127.0.0.1:8000/?server=http://127.0.0.1:8765&register=cassa1
//
// cassardd's `origins` must list this page's origin. The address, the register and the
// token are asked once and kept in this browser (a till's kiosk profile).

const PRODUCTS = [
  { description: 'PANE', price: 125, department: 1 },
  { description: 'LATTE', price: 129, department: 1 },
  { description: 'CAFFÈ', price: 110, department: 2 },
  { description: 'CORNETTO', price: 120, department: 2 },
  { description: 'ACQUA', price: 50, department: 1 },
  { description: 'GIORNALE', price: 150, department: 3 },
];

const CONFIG_KEY = 'till.config';
const $ = (id) => document.getElementById(id);
const euro = new Intl.NumberFormat('it-IT', { style: 'currency', currency: 'EUR' });
const money = (cents) => euro.format(cents / 100);

/** @type {Map<string, {product: object, quantity: number}>} */
const lines = new Map();
let client = null;
let lib = null;
let busy = false;

function config() {
  const kept = JSON.parse(localStorage.getItem(CONFIG_KEY) || '{}');
  const q = new URLSearchParams(location.search);
  for (const k of ['server', 'register']) if (q.get(k)) kept[k] = q.get(k);
  return kept;
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
  for (const b of [$('pay-cash'), $('pay-card')]) b.disabled = busy || lines.size === 0;
}

function drawPending() {
  const ul = $('pending');
  ul.replaceChildren();
  for (const s of client.pending()) {
    const li = document.createElement('li');
    li.textContent = `Vendita in sospeso delle ${new Date(s.savedAt).toLocaleTimeString('it-IT')}` +
      (s.jobId ? ` (lavoro ${s.jobId})` : ' (non ancora accettata)');
    ul.append(li);
  }
}

// The words for a job that has reached its end, for the person at the till.
function outcomeText(job) {
  if (job.state === 'done') return [`Scontrino n. ${job.receiptNumber} stampato.`, 'ok'];
  if (job.state === 'failed')
    return [`Scontrino NON emesso: ${job.reason || 'il registratore non l’ha stampato'}. Si può ripetere la vendita.`, 'fail'];
  return [`Serve una persona al registratore: ${job.reason || 'controllare lo scontrino'}.`, 'fail'];
}

function errorText(e) {
  if (e instanceof lib.PermissionError)
    return 'Il browser non permette a questa pagina di raggiungere il servizio sul computer della cassa. ' +
      'Consentire «Accesso alla rete locale» a questo sito nelle impostazioni del browser.';
  if (e instanceof lib.AuthError) return 'Il token non è valido: reinserirlo nelle impostazioni.';
  if (e instanceof lib.RefusedError) return `Vendita rifiutata dal servizio (${e.field || e.code}): ${e.message}`;
  if (e instanceof lib.ConflictError) return `Vendita in conflitto con un’altra: ${e.message}`;
  return `Errore: ${e.message}`;
}

function progress(p) {
  if (p.state === 'sending') say(p.sale.attempts > 1 ? 'Nuovo invio della vendita…' : 'Invio della vendita…');
  if (p.state === 'retrying') say('Il servizio non risponde: nuovo tentativo tra poco…');
  if (p.state === 'accepted' || p.state === 'waiting') say('Stampa in corso…');
  drawPending();
}

async function pay(method) {
  if (busy || lines.size === 0) return;
  busy = true;
  draw();
  const cents = total();
  const receipt = {
    items: [...lines.values()].map(({ product, quantity }) => ({ ...product, quantity })),
    payments: [{ method, amount: cents }],
  };
  try {
    const job = await client.postReceipt(config().register, receipt, { onProgress: progress });
    const [text, kind] = outcomeText(job);
    say(text, kind);
    if (job.state === 'done') lines.clear();
  } catch (e) {
    say(errorText(e), 'fail');
  } finally {
    busy = false;
    draw();
    drawPending();
  }
}

function setup(cfg) {
  const form = $('setup');
  form.hidden = false;
  $('server').value = cfg.server || '';
  $('register').value = cfg.register || '';
  form.addEventListener('submit', (ev) => {
    ev.preventDefault();
    localStorage.setItem(CONFIG_KEY, JSON.stringify({
      server: $('server').value.replace(/\/+$/, ''),
      register: $('register').value.trim(),
      token: $('token').value,
    }));
    location.reload();
  });
  $('server').focus();
}

async function start() {
  const cfg = config();
  if (!cfg.server || !cfg.register) return setup(cfg);
  $('register-name').textContent = cfg.register;
  try {
    lib = await import(`${cfg.server}/v1/cassard-client.js`);
  } catch {
    $('link').textContent = `Il servizio non risponde a ${cfg.server}.`;
    $('link').className = 'off';
    return setup(cfg);
  }
  client = lib.connect({ base: cfg.server, token: cfg.token || '', live: true });
  $('link').textContent = `Collegata a ${cfg.server}`;
  const sale = $('sale');
  sale.hidden = false;
  for (const p of PRODUCTS) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = `${p.description} ${money(p.price)}`;
    b.dataset.product = p.description;
    b.addEventListener('click', () => {
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
    lines.clear();
    draw();
  });
  draw();
  // Sales a reload or a crash interrupted: each is sent again with its own key.
  drawPending();
  if (client.pending().length) {
    say('Completamento delle vendite in sospeso…');
    const results = await client.resume({ onProgress: progress });
    const last = results[results.length - 1];
    if (last.status === 'fulfilled') say(...outcomeText(last.value));
    else say(errorText(last.reason), 'fail');
    drawPending();
  }
  document.body.dataset.ready = 'true';
}

start();
