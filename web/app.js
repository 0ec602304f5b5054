// The shop console: routes (#/, #/registers/NAME, #/jobs/ID, #/service), the header
// (language, what needs a person, the link to the service), the live connection and what
// an outage looks like, and the sign-in form whenever the service asks for a token.

import { h, clear, say, dropStaleToast, setFocus, timeEl, toTop } from './dom.js';
import { get, paths, token, listen, whenUnauthorized } from './api.js';
import { t, setLang, currentLang, LANGS, dateTime, bytes } from './i18n.js';
import { renderCards, registerCard, replaceCard, refreshAges, markStale, errorText } from './registers.js';
import { jobList } from './jobs.js';
import { jobPage } from './job.js';
import { toolsPage } from './tools.js';
import { STATE, duration, registerStateWord } from './text.js';
import { dayView } from './day.js';

const main = document.getElementById('main');
const live = document.getElementById('live');
const signOut = document.getElementById('signout');
const langBtn = document.getElementById('lang');
const attention = document.getElementById('attention');
const outage = document.getElementById('outage');
const holds = document.getElementById('holds');
const soundBtn = document.getElementById('sound');
const announce = document.getElementById('announce');

let registers = [];
let view = null; // what the current page wants to hear: { onJob(batch), onRegister, resync }
let events = null;
let signingIn = false;
let generation = 0; // each route() and sign-in form takes a new one; older work is dropped
let retryTimer = 0;
let downSince = null;
let liveState = 'offline';

// The static texts of index.html, in the chosen language.
function translateStatic() {
  document.documentElement.lang = currentLang();
  for (const el of document.querySelectorAll('[data-t]')) el.textContent = t(el.dataset.t);
  const other = LANGS.find((l) => l !== currentLang());
  langBtn.textContent = t('nav.otherLang');
  langBtn.setAttribute('lang', other);
  langBtn.setAttribute('aria-label', t('nav.langLabel'));
  setLive(liveState, { quiet: true });
  paintAttention();
  paintSound();
}

langBtn.addEventListener('click', async () => {
  setLang(LANGS.find((l) => l !== currentLang()));
  translateStatic();
  // The sign-in form follows the language too, keeping what it says.
  if (signingIn) showSignIn(signInMessage && t(signInMessage), { redraw: true });
  else await route({ keepFocus: true });
  langBtn.focus();
});

// A short sound when a job turns to needing a person, once the person has allowed it (a
// browser plays nothing before a click on the page anyway).
const SOUND_KEY = 'cassard.sound';
let audio = null;
function paintSound() {
  const on = localStorage.getItem(SOUND_KEY) === 'on';
  soundBtn.setAttribute('aria-pressed', String(on));
  soundBtn.textContent = t(on ? 'nav.soundOn' : 'nav.soundOff');
}
soundBtn.addEventListener('click', () => {
  const on = localStorage.getItem(SOUND_KEY) !== 'on';
  localStorage.setItem(SOUND_KEY, on ? 'on' : 'off');
  paintSound();
  if (on) chime();
});
function chime() {
  if (localStorage.getItem(SOUND_KEY) !== 'on' || !window.AudioContext) return;
  try {
    audio = audio || new AudioContext();
    const osc = audio.createOscillator();
    const gain = audio.createGain();
    osc.frequency.value = 880;
    gain.gain.setValueAtTime(0.2, audio.currentTime);
    gain.gain.exponentialRampToValueAtTime(0.001, audio.currentTime + 0.4);
    osc.connect(gain).connect(audio.destination);
    osc.start();
    osc.stop(audio.currentTime + 0.4);
  } catch (e) {
    console.warn('no sound', e);
  }
}

// Jobs known to need a person: one that turns to it is said aloud and rung, once.
const inAttention = new Set();
function noteJobState(j) {
  const id = String(j.id);
  if (j.state !== STATE.attention) {
    inAttention.delete(id);
    return;
  }
  if (inAttention.has(id)) return;
  inAttention.add(id);
  announce.textContent = t('live.attention', { id, register: j.register || '' });
  chime();
}

// What still needs a person: the registers' attention counts, or, from a service that
// does not give them, the jobs in attention counted here.
let attentionCount = 0;
let countTimer = 0;
function paintAttention() {
  attention.hidden = attentionCount === 0;
  attention.textContent = t('nav.attention', { count: attentionCount });
  // Every register that is held or does not answer, each a link to its page.
  const stopped = registers.filter((r) => r.state === 'held' || r.state === 'unreachable');
  clear(holds);
  for (const r of stopped) holds.append(h('a', { class: `hold-link ${r.state}`, href: `#/registers/${encodeURIComponent(r.name)}` }, `${r.name}: ${registerStateWord(r.state)}`));
  paintTitle(stopped.length + attentionCount);
}

// The tab's title, "(N) " first while N things need a person.
let pageTitle = '';
let needCount = 0;
function paintTitle(n = needCount) {
  needCount = n;
  document.title = `${n ? `(${n}) ` : ''}${pageTitle || t('home.title')} · cassard`;
}
function recountAttention() {
  if (registers.length && registers.every((r) => Number.isInteger(r.attention))) {
    attentionCount = registers.reduce((s, r) => s + r.attention, 0);
    paintAttention();
    return;
  }
  clearTimeout(countTimer);
  countTimer = setTimeout(async () => {
    try {
      const res = await get(paths.jobs({ state: STATE.attention, limit: 500 }));
      attentionCount = res.jobs.length;
      for (const j of res.jobs) inAttention.add(String(j.id));
      paintAttention();
    } catch {
      // counted again at the next change
    }
  }, 300);
}

function setLive(state, { quiet = false } = {}) {
  liveState = state;
  live.textContent = t(`live.${state}`);
  live.className = `live ${state === 'caught-up' ? 'live' : state}`;
  // The outage: since when, and every card says what it shows may be old.
  if (state === 'reconnecting' && !signingIn) {
    if (!downSince) downSince = new Date();
    outage.textContent = t('live.down', { time: dateTime(downSince.toISOString(), { short: true }) });
    outage.hidden = false;
    markStale(true);
  } else if (state === 'live' || state === 'caught-up') {
    downSince = null;
    outage.hidden = true;
    markStale(false);
  }
  if (quiet) return;
  // Back after a gap: read the present again instead of guessing what was missed. Only
  // the data is read again; a form being filled in keeps what was typed.
  if (state === 'caught-up') {
    if (view && view.resync) view.resync();
    else if (main.dataset.failed) route({ keepFocus: true });
    recountAttention();
  }
}

let signInMessage = '';
function showSignIn(message = '', { redraw = false } = {}) {
  // Asked again while the form is shown (the events and the page both heard 401): the form
  // stays, with what is typed in it; only its message changes.
  const shown = signingIn && !redraw && document.getElementById('token-err');
  if (shown) {
    shown.textContent = message;
    shown.hidden = !message;
    return;
  }
  const mine = ++generation;
  signingIn = true;
  // The service answers (it asked for the token): no outage to tell.
  downSince = null;
  outage.hidden = true;
  view = null;
  clearTimeout(retryTimer);
  const input = h('input', { type: 'password', id: 'token', name: 'token', autocomplete: 'off', spellcheck: 'false', required: true });
  const err = h('p', { class: 'field-error', id: 'token-err', hidden: !message }, message);
  input.setAttribute('aria-describedby', 'token-hint token-err');
  const form = h(
    'form',
    { class: 'panel signin', 'aria-labelledby': 'si-title' },
    h('h1', { id: 'si-title' }, t('signin.title')),
    h('p', { id: 'token-hint' }, t('signin.hint')),
    h('div', { class: 'field' }, h('label', { for: 'token' }, t('signin.token')), input, err),
    h('button', { type: 'submit', class: 'btn primary' }, t('signin.submit')),
  );
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    token.set(input.value.trim());
    try {
      await get(paths.registers());
      if (Number(form.dataset.generation) !== generation) return;
      signingIn = false;
      signOut.hidden = false;
      events.restart();
      await route();
    } catch (ex) {
      if (ex.status !== 401) say(errorText(ex), 'error');
    }
  });
  form.dataset.generation = String(mine);
  clear(main).append(form);
  delete main.dataset.failed;
  setLive('offline', { quiet: true });
  input.focus();
}

whenUnauthorized(() => {
  if (events) events.stop();
  const had = token.get();
  token.set('');
  signOut.hidden = true;
  signInMessage = had ? 'signin.refused' : '';
  showSignIn(had ? t('signin.refused') : '');
});

signOut.addEventListener('click', () => {
  token.set('');
  location.reload();
});

// Live events are parsed and applied in slices of a few milliseconds, the latest of each
// job and register only: a burst (a till replaying a day, 2,000 jobs at once) never
// freezes the page. Jobs go to the view in small batches, each one redraw; while a burst
// goes on, the page is drawn again at most every GAP_MS, as every redraw of the list costs
// the browser a restyle of its rows however few changed, and nobody reads faster.
const pending = { texts: [], jobs: new Map(), regs: new Map() };
let flushing = false;
let lastFlush = -Infinity;
const SLICE_MS = 8;
const BATCH = 16;
const GAP_MS = 150;

function parsed(text) {
  try {
    return JSON.parse(text);
  } catch (e) {
    console.warn('event not understood', e);
    return null;
  }
}

function applyRegister(r) {
  const i = registers.findIndex((x) => x.name === r.name);
  if (i >= 0) registers[i] = r;
  else registers.push(r);
  if (view && view.onRegister) view.onRegister(r);
}

const attentionCounted = () => registers.length && registers.every((r) => Number.isInteger(r.attention));

function flush() {
  const start = performance.now();
  const spent = () => performance.now() - start > SLICE_MS;
  while (pending.texts.length && !spent()) {
    const j = parsed(pending.texts.shift());
    if (!j || j.id === undefined) continue;
    const id = String(j.id);
    noteJobState(j);
    pending.jobs.set(id, { ...(pending.jobs.get(id) || {}), ...j });
  }
  let changed = false;
  for (const [name, r] of pending.regs) {
    pending.regs.delete(name);
    applyRegister(r);
    changed = true;
  }
  if (changed) (attentionCounted() ? recountAttention : paintAttention)();
  // Newest first: once the list's page is full, older new jobs cost nothing.
  const ids = [...pending.jobs.keys()].sort((a, b) => Number(b) - Number(a));
  let applied = 0;
  while (applied < ids.length && !spent()) {
    const batch = ids.slice(applied, applied + BATCH).map((id) => {
      const j = pending.jobs.get(id);
      pending.jobs.delete(id);
      return j;
    });
    applied += batch.length;
    if (view && view.onJob) view.onJob(batch);
  }
  if (applied && !attentionCounted()) recountAttention();
  lastFlush = performance.now();
  if (pending.texts.length || pending.jobs.size || pending.regs.size) setTimeout(flush, 0);
  else flushing = false;
}

function enqueue() {
  if (flushing) return;
  flushing = true;
  setTimeout(flush, Math.max(0, lastFlush + GAP_MS - performance.now()));
}

function startEvents() {
  events = listen({
    onJob: (text) => {
      pending.texts.push(text);
      enqueue();
    },
    onRegister: (text) => {
      const r = parsed(text);
      if (!r) return;
      pending.regs.set(r.name, r);
      enqueue();
    },
    onState: setLive,
  });
}

async function loadRegisters() {
  const res = await get(paths.registers());
  registers = res.registers;
  return registers;
}

async function overview(params, isCurrent) {
  const regs = await loadRegisters();
  if (!isCurrent()) return;
  const cards = h('div', { class: 'cards', id: 'registers' });
  const jobsBox = h('div', { id: 'jobs' });
  const dayBox = h('div');
  clear(main).append(
    h('h1', { class: 'sr-only', tabindex: '-1' }, t('home.title')),
    dayBox,
    h('section', { 'aria-labelledby': 'regs-title' }, h('h2', { id: 'regs-title' }, t('home.registers')), cards),
    h('section', { class: 'panel', 'aria-labelledby': 'jobs-title' }, h('h2', { id: 'jobs-title' }, t('home.jobs')), jobsBox),
  );
  renderCards(cards, regs);
  const day = dayView(dayBox);
  // The list's filters and search live in the address: Back and a reload keep them.
  const list = jobList(jobsBox, registers, { initial: params, onFilters: (q) => history.replaceState(null, '', `#/${q ? `?${q}` : ''}`) });
  view = {
    title: t('home.title'),
    resync: async () => {
      for (const r of await loadRegisters()) view.onRegister(r);
      list.reload();
      day.reload();
    },
    onJob: (batch) => {
      list.update(batch);
      day.changed();
    },
    onRegister: (r) => {
      const old = cards.querySelector(`[data-register="${CSS.escape(r.name)}"]`);
      if (old) replaceCard(old, r);
      else cards.append(registerCard(r));
    },
  };
}

async function registerView(name, isCurrent) {
  await loadRegisters();
  if (!isCurrent()) return;
  const reg = registers.find((r) => r.name === name);
  if (!reg) {
    clear(main).append(h('h1', { tabindex: '-1' }, name), h('p', { class: 'error' }, t('tools.noRegister')), h('p', {}, h('a', { href: '#/' }, t('nav.back'))));
    view = null;
    return;
  }
  const opts = { withTools: false, level: 2 };
  const cardBox = h('div');
  renderCards(cardBox, [reg], opts);
  const jobsBox = h('div');
  toolsPage(main, reg, cardBox, jobsBox);
  const list = jobList(jobsBox, registers, { fixedRegister: name });
  let held = reg.state === 'held';
  view = {
    title: name,
    resync: async () => {
      const r = (await loadRegisters()).find((x) => x.name === name);
      if (r) view.onRegister(r);
      list.reload();
    },
    onJob: (batch) => list.update(batch),
    onRegister: (r) => {
      if (r.name !== name) return;
      // Held or released: the tools say so, so the page is drawn again (what was typed
      // in the test receipt goes; a receipt could not be sent meanwhile anyway).
      if ((r.state === 'held') !== held) {
        held = r.state === 'held';
        route({ keepFocus: true });
        return;
      }
      replaceCard(cardBox.firstElementChild, r, opts);
    },
  };
}

// For a technician: what runs, how it is set up, and how much room is left.
async function servicePage(isCurrent) {
  const s = await get(paths.service());
  const live = await loadRegisters().catch(() => []);
  if (!isCurrent()) return;
  const facts = (rows) => h('dl', { class: 'facts wide' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)]));
  const pay = (p) => [p.method, p.code ? ` (${p.code})` : '', p.change ? ` · ${t('svc.change')}` : '', p.rest ? ` · ${t('svc.rest')}` : ''].join('');
  clear(main).append(
    h('p', { class: 'crumbs' }, h('a', { href: '#/' }, t('nav.home')), ' › ', t('svc.title')),
    h('h1', { tabindex: '-1' }, t('svc.title')),
    h(
      'section',
      { class: 'panel', 'aria-labelledby': 'svc-run' },
      h('h2', { id: 'svc-run' }, t('svc.running')),
      facts([
        [t('svc.version'), h('code', {}, s.version)],
        [t('svc.started'), timeEl(s.startedAt, dateTime(s.startedAt))],
        [t('svc.uptime'), duration(s.uptimeS * 1000)],
        [t('svc.listen'), h('code', {}, s.listen)],
        [t('svc.tls'), s.tls ? t('common.yes') : t('common.no')],
        [t('svc.keepDays'), t('svc.days', { count: s.keepDays })],
        [t('svc.store'), h('span', {}, h('code', {}, s.store.path), ` · ${bytes(s.store.bytes)}`)],
        [t('svc.free'), s.disk.freeBytes === null ? '—' : bytes(s.disk.freeBytes)],
      ]),
    ),
    h(
      'section',
      { class: 'panel', 'aria-labelledby': 'svc-regs' },
      h('h2', { id: 'svc-regs' }, t('svc.registers')),
      s.registers.map((r) =>
        h(
          'div',
          { class: 'svc-reg' },
          h('h3', {}, r.name),
          facts([
            [t('card.device'), h('code', {}, r.device)],
            [t('svc.settings'), r.settings ? h('code', {}, r.settings) : t('svc.defaultSettings')],
            [t('svc.payments'), r.payments.length ? h('ul', { class: 'plain' }, r.payments.map((p) => h('li', {}, pay(p)))) : '—'],
            // Each register has its own limits.
            [t('svc.queueLimit'), t('svc.seconds', { count: r.queueLimitS })],
            [t('svc.settleLimit'), t('svc.seconds', { count: r.settleLimitS })],
            // The line's last error as the service wrote it, for a technician (the cards
            // give the shop's advice by its code).
            [t('svc.lastError'), ((x) => (x && x.lastError ? h('span', { lang: 'en' }, x.lastError) : '—'))(live.find((x) => x.name === r.name))],
          ]),
        ),
      ),
    ),
    h(
      'section',
      { class: 'panel', 'aria-labelledby': 'svc-links' },
      h('h2', { id: 'svc-links' }, t('svc.links')),
      h('ul', {}, ['healthz', 'metrics', 'openapi'].map((k) => h('li', {}, h('a', { href: s.links[k] }, t(`svc.link.${k}`)), ' ', h('code', {}, s.links[k])))),
    ),
  );
  view = { title: t('svc.title'), resync: () => route({ keepFocus: true }) };
}

// A route's hash: the path and its query (#/?state=attention).
function parseHash() {
  const raw = location.hash.replace(/^#/, '') || '/';
  const [path, query = ''] = raw.split('?');
  return { path: decodeURIComponent(path) || '/', params: Object.fromEntries(new URLSearchParams(query)) };
}

async function route({ keepFocus = false } = {}) {
  const mine = ++generation;
  const isCurrent = () => mine === generation;
  clearTimeout(retryTimer);
  signingIn = false;
  const { path, params } = parseHash();
  let m;
  try {
    if ((m = /^\/jobs\/(\d+)$/.exec(path))) {
      view = await jobPage(main, m[1], isCurrent);
    } else if ((m = /^\/registers\/([^/]+)$/.exec(path))) {
      await registerView(m[1], isCurrent);
    } else if (path === '/service') {
      await servicePage(isCurrent);
    } else if (path === '/day') {
      clear(main).append(h('p', { class: 'crumbs no-print' }, h('a', { href: '#/' }, t('nav.home')), ' › ', t('day.crumb')));
      const day = dayView(main, { date: params.date || '', level: 1, standalone: true });
      view = { title: t('day.crumb'), resync: day.reload, onJob: day.changed };
    } else {
      await overview(params, isCurrent);
    }
    if (!isCurrent()) return;
    delete main.dataset.failed;
    pageTitle = (view && view.title) || t('home.title');
    paintTitle();
    // A new page starts at its top, its title focused.
    if (!keepFocus) {
      toTop();
      const h1 = main.querySelector('h1');
      if (h1) setFocus(h1);
    }
  } catch (e) {
    if (!isCurrent() || e.status === 401 || signingIn) return;
    view = null;
    clear(main).append(h('h1', { tabindex: '-1' }, t('app.cannotLoad')), h('p', { class: 'error' }, errorText(e)), h('p', {}, t('app.retrying')));
    main.dataset.failed = '1';
    // The page tries again by itself: at once when the live connection comes back, and
    // every few seconds meanwhile.
    retryTimer = setTimeout(() => {
      if (isCurrent()) route({ keepFocus: true });
    }, 5000);
  }
}

window.addEventListener('hashchange', () => {
  dropStaleToast();
  route();
});
setInterval(() => refreshAges(), 15000);

// The skip link moves the focus without touching the route in the address.
document.querySelector('.skip').addEventListener('click', (e) => {
  e.preventDefault();
  main.focus();
});

translateStatic();
signOut.hidden = !token.get();
startEvents();
route({ keepFocus: true }).then(recountAttention);
