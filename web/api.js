// The service's API on the page's own origin: the token, requests, errors and live events.

import {
  CassardError,
  newKey as clientKey,
  request as clientRequest,
  tokenStore,
} from './cassard-client.js';

// The same token, requests and typed errors as the tills' client, on the page's own origin.
export const token = tokenStore(globalThis.sessionStorage, 'cassard.token');

// Every refusal the page sees: the client's errors (status, code, field), by this name.
export const ApiError = CassardError;

// Called on a 401 so the page can ask for the token.
let onUnauthorized = () => {};
export function whenUnauthorized(fn) {
  onUnauthorized = fn;
}

function headers(extra = {}) {
  const h = { Accept: 'application/json', ...extra };
  const t = token.get();
  if (t) h.Authorization = `Bearer ${t}`;
  return h;
}

async function errorOf(res) {
  let body = null;
  try {
    body = await res.json();
  } catch {
    // not JSON: the status line is all there is
  }
  const e = body && body.error ? body.error : {};
  const message = e.message || `${res.status} ${res.statusText || 'error'}`;
  return new CassardError(message, { status: res.status, code: e.code || String(res.status), field: e.field });
}

export async function request(method, path, body, extraHeaders = {}) {
  const sent = token.get();
  try {
    const res = await clientRequest(method, path, { token: sent, body, headers: extraHeaders });
    return res.status === 204 ? null : res.body;
  } catch (e) {
    // A refusal of a request sent before the person signed in says nothing of the
    // token given since.
    if (e instanceof CassardError && e.status === 401 && sent === token.get()) onUnauthorized();
    throw e;
  }
}

export const get = (path) => request('GET', path);
export const del = (path) => request('DELETE', path);

// A key names one request forever: the same key sent again (a double click, a retry after
// the network dropped) returns the same job instead of making a second one. A form keeps
// its key until an answer arrives, then makes a new one.
export function newKey() {
  return clientKey('web');
}

export function post(path, body, key) {
  return request('POST', path, body, key ? { 'Idempotency-Key': key } : {});
}

const enc = encodeURIComponent;
export const paths = {
  registers: () => '/v1/registers',
  register: (name) => `/v1/registers/${enc(name)}`,
  receipts: (name) => `/v1/registers/${enc(name)}/receipts`,
  jobsOf: (name) => `/v1/registers/${enc(name)}/jobs`,
  resume: (name) => `/v1/registers/${enc(name)}/resume`,
  job: (id) => `/v1/jobs/${enc(id)}`,
  resolve: (id) => `/v1/jobs/${enc(id)}/resolve`,
  service: () => '/v1/service',
  summary: (q) => `/v1/summary?${new URLSearchParams(Object.entries(q).filter(([, v]) => v))}`,
  file: (id, name) => `/v1/jobs/${enc(id)}/files/${enc(name)}`,
  jobs: (q) => {
    const p = new URLSearchParams();
    for (const [k, v] of Object.entries(q)) if (v !== '' && v !== undefined && v !== null) p.set(k, v);
    const s = p.toString();
    return s ? `/v1/jobs?${s}` : '/v1/jobs';
  },
};

// A file of a job, saved by the browser. With a token the link cannot carry the header,
// so the file is fetched here and handed over as a blob.
export async function download(id, name) {
  let res;
  try {
    res = await fetch(paths.file(id, name), { headers: headers({ Accept: '*/*' }) });
  } catch {
    throw new CassardError('The service cannot be reached. Is cassardd running?', { code: 'network', retryable: true });
  }
  if (res.status === 401) onUnauthorized();
  if (!res.ok) throw await errorOf(res);
  const blob = await res.blob();
  const url = URL.createObjectURL(blob);
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// Live events: `job` and `register` objects as they change, each as its JSON text.
// EventSource reconnects by itself after a dropped connection; `onState` hears 'live',
// 'reconnecting', and 'caught-up' after each reconnection so that the page can read what
// it missed.
export function listen({ onJob, onRegister, onState }) {
  let src = null;
  let wasLive = false;
  let retry = 0;
  const open = () => {
    clearTimeout(retry);
    const t = token.get();
    src = new EventSource(t ? `/v1/events?access_token=${enc(t)}` : '/v1/events');
    src.addEventListener('open', () => {
      onState(wasLive ? 'caught-up' : 'live');
      wasLive = true;
    });
    src.addEventListener('error', () => {
      onState('reconnecting');
      if (src.readyState !== EventSource.CLOSED) return;
      // Refused outright: a token missing or wrong (the request below says so and the
      // page asks for it), or the service gone; try again a little later.
      get(paths.registers())
        .then(() => {
          retry = setTimeout(open, 3000);
        })
        .catch((e) => {
          if (e.status !== 401) retry = setTimeout(open, 3000);
        });
    });
    // Each event is handed on as its JSON text: a burst of events arrives in one task, and
    // the page parses them later in its own slices (app.js) instead of all at once here.
    src.addEventListener('job', (ev) => onJob(ev.data));
    src.addEventListener('register', (ev) => onRegister(ev.data));
  };
  open();
  return {
    restart() {
      if (src) src.close();
      wasLive = false;
      open();
    },
    stop() {
      clearTimeout(retry);
      if (src) src.close();
    },
  };
}
