// The shop console: routes (#/, #/registers/NAME, #/jobs/ID), the live connection, and the
// sign-in form when the service asks for a token.

import { h, clear, say, dropStaleToast } from './dom.js';
import { get, paths, token, listen, whenUnauthorized } from './api.js';
import { renderCards, registerCard, replaceCard, refreshAges } from './registers.js';
import { jobList } from './jobs.js';
import { jobPage } from './job.js';
import { toolsPage } from './tools.js';

const main = document.getElementById('main');
const live = document.getElementById('live');
const signOut = document.getElementById('signout');

let registers = [];
let view = null; // what the current page wants to hear: { onJob, onRegister }
let events = null;
let signingIn = false;

function setLive(state) {
  const words = {
    live: 'Live',
    'caught-up': 'Live',
    reconnecting: 'Reconnecting…',
    offline: 'Not connected',
  };
  live.textContent = words[state] || state;
  live.className = `live ${state === 'caught-up' ? 'live' : state}`;
  // Back after a gap: read the present again instead of guessing what was missed. Only
  // the data is read again; a form being filled in keeps what was typed.
  if (state === 'caught-up' && view && view.resync) view.resync();
}

function showSignIn(message = '') {
  if (signingIn) return;
  signingIn = true;
  view = null;
  const input = h('input', { type: 'password', id: 'token', name: 'token', autocomplete: 'off', spellcheck: 'false', required: true });
  const err = h('p', { class: 'field-error', id: 'token-err', hidden: !message }, message);
  input.setAttribute('aria-describedby', 'token-hint token-err');
  const form = h(
    'form',
    { class: 'panel signin', 'aria-labelledby': 'si-title' },
    h('h1', { id: 'si-title' }, 'Sign in'),
    h('p', { id: 'token-hint' }, 'This service asks for its access token (the "token" line of /etc/cassard/cassardd.toml). It is kept in this browser tab only, until the tab is closed.'),
    h('div', { class: 'field' }, h('label', { for: 'token' }, 'Access token'), input, err),
    h('button', { type: 'submit', class: 'btn primary' }, 'Sign in'),
  );
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    token.set(input.value.trim());
    signingIn = false;
    try {
      await get(paths.registers());
      signOut.hidden = false;
      events.restart();
      route();
    } catch (ex) {
      if (ex.status !== 401) say(ex.message, 'error');
    }
  });
  clear(main).append(form);
  setLive('offline');
  input.focus();
}

whenUnauthorized(() => {
  if (events) events.stop();
  const had = token.get();
  token.set('');
  signOut.hidden = true;
  showSignIn(had ? 'That token was not accepted. Check it and try again.' : '');
});

signOut.addEventListener('click', () => {
  token.set('');
  location.reload();
});

function startEvents() {
  events = listen({
    onJob: (j) => view && view.onJob && view.onJob(j),
    onRegister: (r) => {
      const i = registers.findIndex((x) => x.name === r.name);
      if (i >= 0) registers[i] = r;
      else registers.push(r);
      if (view && view.onRegister) view.onRegister(r);
    },
    onState: setLive,
  });
}

async function loadRegisters() {
  const res = await get(paths.registers());
  registers = res.registers;
  return registers;
}

async function overview() {
  const cards = h('div', { class: 'cards', id: 'registers' });
  const jobsBox = h('div', { id: 'jobs' });
  clear(main).append(
    h('h1', { class: 'sr-only', tabindex: '-1' }, 'Registers and jobs'),
    h('section', { 'aria-labelledby': 'regs-title' }, h('h2', { id: 'regs-title' }, 'Registers'), cards),
    h('section', { class: 'panel', 'aria-labelledby': 'jobs-title' }, h('h2', { id: 'jobs-title' }, 'Jobs'), jobsBox),
  );
  renderCards(cards, await loadRegisters());
  const list = jobList(jobsBox, registers);
  view = {
    resync: async () => {
      for (const r of await loadRegisters()) view.onRegister(r);
      list.reload();
    },
    onJob: (j) => list.update(j),
    onRegister: (r) => {
      const old = cards.querySelector(`[data-register="${CSS.escape(r.name)}"]`);
      if (old) replaceCard(old, r);
      else cards.append(registerCard(r));
    },
  };
}

async function registerView(name) {
  await loadRegisters();
  const reg = registers.find((r) => r.name === name);
  if (!reg) {
    clear(main).append(h('h1', {}, name), h('p', { class: 'error' }, 'There is no register by this name.'), h('p', {}, h('a', { href: '#/' }, 'Back to the registers')));
    view = null;
    return;
  }
  const cardBox = h('div');
  renderCards(cardBox, [reg], { withTools: false });
  const jobsBox = h('div');
  toolsPage(main, reg, cardBox, jobsBox);
  const list = jobList(jobsBox, registers, { fixedRegister: name });
  view = {
    resync: async () => {
      const r = (await loadRegisters()).find((x) => x.name === name);
      if (r) replaceCard(cardBox.firstElementChild, r, { withTools: false });
      list.reload();
    },
    onJob: (j) => list.update(j),
    onRegister: (r) => {
      if (r.name === name) replaceCard(cardBox.firstElementChild, r, { withTools: false });
    },
  };
}

async function route() {
  if (signingIn) return;
  const hash = decodeURIComponent(location.hash.replace(/^#/, '')) || '/';
  let m;
  try {
    if ((m = /^\/jobs\/(\d+)$/.exec(hash))) {
      view = await jobPage(main, m[1]);
      document.title = `Job ${m[1]} · cassard`;
    } else if ((m = /^\/registers\/([^/]+)$/.exec(hash))) {
      await registerView(m[1]);
      document.title = `${m[1]} · cassard`;
    } else {
      await overview();
      document.title = 'Registers and jobs · cassard';
    }
  } catch (e) {
    if (e.status === 401) return;
    clear(main).append(h('h1', {}, 'The console cannot load'), h('p', { class: 'error' }, e.message), h('p', {}, 'The page tries again when the service is back.'));
  }
}

window.addEventListener('hashchange', () => {
  dropStaleToast();
  route().then(() => {
    const h1 = main.querySelector('h1');
    if (h1) h1.focus();
  });
});
setInterval(() => refreshAges(), 15000);

// The skip link moves the focus without touching the route in the address.
document.querySelector('.skip').addEventListener('click', (e) => {
  e.preventDefault();
  main.focus();
});

signOut.hidden = !token.get();
startEvents();
route();
