// @ts-check
// The browser client of cassardd, for tills and for the shop console.
//
//   import { connect } from 'http://127.0.0.1:8765/v1/cassard-client.js';
//   const cassa = connect({ base: 'http://127.0.0.1:8765', token: 'the token' });
//   for (const job of await cassa.resume()) show(job);   // sales a reload interrupted
//   const job = await cassa.postReceipt('cassa1', { items, payments });
//
// A sale is kept in localStorage with its Idempotency-Key before the first byte is sent,
// and sent again with the same key (after a timeout, a dropped connection, a reload, a
// crash of the browser) until the job is final: the service answers a repeat with the job
// the key already names, so the receipt is printed once however often it is sent.

/**
 * @typedef {'queued'|'running'|'done'|'failed'|'uncertain'|'attention'} JobState
 * @typedef {{ id: number, register: string, key: string, kind: string, state: JobState,
 *   receiptNumber: string|null, reason: string|null, [field: string]: any }} Job
 * @typedef {{ description: string, price: number, quantity?: number, department?: number,
 *   return?: boolean }} Item
 * @typedef {{ method: string, amount?: number }} Payment
 * @typedef {{ items: Item[], payments: Payment[], operator?: number, texts?: string[],
 *   fiscalReport?: boolean, expiresAt?: string }} Receipt
 * @typedef {{ key: string, register: string, path: string, body: object, savedAt: string,
 *   jobId: number|null, location: string|null, attempts: number }} Sale
 * @typedef {{ state: 'saved'|'sending'|'accepted'|'waiting'|'retrying'|'final',
 *   sale: Sale, job?: Job, error?: CassardError }} Progress
 * @typedef {{ get: () => string, set: (t: string) => void }} TokenStore
 * @typedef {{ base?: string, token?: string|TokenStore, storage?: Storage, prefix?: string,
 *   timeoutMs?: number, live?: boolean, pollMs?: number,
 *   fetch?: typeof fetch, onUnauthorized?: () => void }} Options
 */

export const FINAL_STATES = Object.freeze(['done', 'failed', 'attention']);

// -- errors -------------------------------------------------------------------------------

/** Every failure the client reports. `retryable`: sending the same sale again may succeed. */
export class CassardError extends Error {
  /** @param {string} message @param {{ status?: number, code?: string, field?: string|null,
   *   retryable?: boolean, cause?: unknown }} [o] */
  constructor(message, o = {}) {
    super(message);
    this.name = this.constructor.name;
    this.status = o.status ?? 0;
    this.code = o.code ?? 'error';
    this.field = o.field ?? null;
    this.retryable = o.retryable ?? false;
    if (o.cause !== undefined) this.cause = o.cause;
  }
}
/** The service could not be reached, or did not answer in time. */
export class NetworkError extends CassardError {}
/** The browser's Local Network Access permission stops this page from reaching cassardd. */
export class PermissionError extends CassardError {}
/** 401: the token is missing or wrong. */
export class AuthError extends CassardError {}
/** 400, 404, 413, 415: the request itself is wrong; `code` and `field` say what. */
export class RefusedError extends CassardError {}
/** 409: the key names another request, or the job is not in the state asked for. */
export class ConflictError extends CassardError {}
/** 503 and other 5xx: the service cannot do it now (a full disk, a register unreachable). */
export class UnavailableError extends CassardError {}

const LNA_MESSAGE =
  'The browser does not let this page reach cassardd on this computer (Local Network Access ' +
  'permission denied). Allow "Local network access" for this site in the browser\'s site ' +
  'settings, or on a kiosk till set the policy LoopbackNetworkAllowedForUrls ' +
  '(LocalNetworkAccessAllowedForUrls for another address) to this page\'s origin.';

/** @param {number} status @param {any} body @param {string} statusText */
function errorOf(status, body, statusText) {
  const e = body && body.error ? body.error : {};
  const message = e.message || `${status} ${statusText || 'error'}`;
  const o = { status, code: e.code || String(status), field: e.field ?? null };
  if (status === 401) return new AuthError(message, o);
  if (status === 409) return new ConflictError(message, o);
  if (status >= 500) return new UnavailableError(message, { ...o, retryable: true });
  return new RefusedError(message, o);
}

// Chromium names the permission after the address space it guards; older builds had one
// name for both.
const LNA_PERMISSIONS = ['loopback-network', 'local-network-access', 'local-network'];

/** Whether the browser's Local Network Access permission is what stopped a request. */
export async function localNetworkDenied() {
  const perms = globalThis.navigator && navigator.permissions;
  if (!perms) return false;
  for (const name of LNA_PERMISSIONS) {
    try {
      // @ts-ignore: names this browser may not know
      const s = await perms.query({ name });
      if (s.state === 'denied') return true;
    } catch {
      // a name this browser does not know
    }
  }
  return false;
}

// -- the token and the low-level request --------------------------------------------------

/** A token kept in sessionStorage (one tab) or localStorage (a till that keeps it). */
export function tokenStore(storage = globalThis.sessionStorage, key = 'cassard.token') {
  return {
    get: () => (storage && storage.getItem(key)) || '',
    /** @param {string} t */
    set: (t) => (t ? storage.setItem(key, t) : storage.removeItem(key)),
  };
}

/** @param {string|TokenStore|undefined} t @returns {TokenStore} */
function asTokenStore(t) {
  if (t && typeof t === 'object') return t;
  let value = t || '';
  return { get: () => value, set: (v) => (value = v) };
}

/** Whether the URL is a loopback address seen from a page that is not on one. */
function crossesToLoopback(/** @type {string} */ url) {
  try {
    const target = new URL(url, globalThis.location ? location.href : undefined);
    const loop = (/** @type {string} */ h) => h === 'localhost' || h === '[::1]' || h.startsWith('127.');
    return loop(target.hostname) && !!globalThis.location && !loop(location.hostname);
  } catch {
    return false;
  }
}

/**
 * One HTTP request to cassardd. Resolves with { status, body, headers } for 2xx; throws a
 * CassardError of the kind that fits otherwise.
 * @param {string} method
 * @param {string} path  "/v1/..." (joined to base)
 * @param {{ base?: string, token?: string, body?: unknown, headers?: Record<string,string>,
 *   timeoutMs?: number, signal?: AbortSignal, fetch?: typeof fetch }} [o]
 * @returns {Promise<{ status: number, body: any, headers: Headers }>}
 */
export async function request(method, path, o = {}) {
  const url = (o.base || '') + path;
  /** @type {Record<string,string>} */
  const headers = { Accept: 'application/json', ...(o.headers || {}) };
  if (o.token) headers.Authorization = `Bearer ${o.token}`;
  /** @type {RequestInit & { targetAddressSpace?: string }} */
  const init = { method, headers, cache: 'no-store' };
  if (o.body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(o.body);
  }
  // A public page reaching the loopback says so, as Local Network Access asks.
  if (crossesToLoopback(url)) init.targetAddressSpace = 'loopback';
  const timeout = new AbortController();
  const timer = o.timeoutMs ? setTimeout(() => timeout.abort(), o.timeoutMs) : 0;
  const onAbort = () => timeout.abort();
  if (o.signal) o.signal.addEventListener('abort', onAbort, { once: true });
  init.signal = timeout.signal;
  let res;
  try {
    res = await (o.fetch || globalThis.fetch)(url, init);
  } catch (cause) {
    if (o.signal && o.signal.aborted) throw cause;
    if (await localNetworkDenied())
      throw new PermissionError(LNA_MESSAGE, { code: 'local_network_denied', cause });
    const late = timeout.signal.aborted;
    throw new NetworkError(
      late
        ? `cassardd did not answer within ${o.timeoutMs} ms (${method} ${url})`
        : `cassardd cannot be reached at ${o.base || 'this page\'s origin'}: is it running?`,
      { code: late ? 'timeout' : 'network', retryable: true, cause },
    );
  } finally {
    clearTimeout(timer);
    if (o.signal) o.signal.removeEventListener('abort', onAbort);
  }
  let body = null;
  const text = await res.text().catch(() => '');
  try {
    body = text ? JSON.parse(text) : null;
  } catch {
    body = text;
  }
  if (!res.ok) throw errorOf(res.status, body, res.statusText);
  return { status: res.status, body, headers: res.headers };
}

/** A new Idempotency-Key: 24 random hex digits after a prefix. */
export function newKey(prefix = 'till') {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  return `${prefix}-${Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('')}`;
}

const sleep = (/** @type {number} */ ms, /** @type {AbortSignal|undefined} */ signal) =>
  new Promise((resolve, reject) => {
    const t = setTimeout(resolve, ms);
    signal?.addEventListener('abort', () => {
      clearTimeout(t);
      reject(signal.reason);
    }, { once: true });
  });

// -- the client ---------------------------------------------------------------------------

/**
 * A client bound to one cassardd.
 * @param {Options} [options]
 */
export function connect(options = {}) {
  const base = (options.base || '').replace(/\/+$/, '');
  const token = asTokenStore(options.token);
  const storage = options.storage || globalThis.localStorage;
  const prefix = (options.prefix || 'cassard.') + 'sale.';
  const timeoutMs = options.timeoutMs ?? 15000;
  const pollMs = options.pollMs ?? 1000;
  const doFetch = options.fetch;
  /** @type {Map<string, Promise<Job>>} sales being driven by this page, by key */
  const driving = new Map();

  /** @type {(m: string, p: string, o?: object) => ReturnType<typeof request>} */
  const call = async (method, path, o = {}) => {
    try {
      return await request(method, path, { base, token: token.get(), timeoutMs, fetch: doFetch, ...o });
    } catch (e) {
      if (e instanceof AuthError && options.onUnauthorized) options.onUnauthorized();
      throw e;
    }
  };

  // -- the sales kept until final --

  /** @param {Sale} sale */
  const save = (sale) => {
    try {
      storage.setItem(prefix + sale.key, JSON.stringify(sale));
    } catch (cause) {
      throw new CassardError(
        `the sale could not be kept in the browser's storage (${cause}); nothing was sent`,
        { code: 'storage', cause },
      );
    }
  };
  /** @param {string} key */
  const forget = (key) => storage.removeItem(prefix + key);

  /** The sales not yet final, oldest first. @returns {Sale[]} */
  function pending() {
    /** @type {Sale[]} */
    const out = [];
    for (let i = 0; i < storage.length; i++) {
      const k = storage.key(i);
      if (!k || !k.startsWith(prefix)) continue;
      try {
        out.push(JSON.parse(storage.getItem(k) || ''));
      } catch {
        // A value that is not a sale is not ours to drop: it stays, and is not listed.
      }
    }
    return out.sort((a, b) => a.savedAt.localeCompare(b.savedAt) || a.key.localeCompare(b.key));
  }

  // -- a job to its final state --

  /** @param {number} id @param {AbortSignal|undefined} signal @returns {Promise<Job>} */
  async function waitFinal(id, signal) {
    let delay = pollMs;
    for (;;) {
      try {
        const { body } = await call('GET', `/v1/jobs/${id}`, { signal });
        if (FINAL_STATES.includes(body.state)) return body;
        delay = pollMs;
      } catch (e) {
        if (!(e instanceof CassardError) || !e.retryable) throw e;
        delay = Math.min(delay * 2, 10000);
      }
      await (live && live.isOpen() ? live.next(id, delay, signal) : sleep(delay, signal));
    }
  }

  /**
   * Sends the sale (again) with its key until the service has its job, then waits for the
   * job's final state.
   * @param {Sale} sale @param {{ signal?: AbortSignal, onProgress?: (p: Progress) => void }} o
   * @returns {Promise<Job>}
   */
  async function drive(sale, o) {
    const tell = o.onProgress || (() => {});
    let delay = 500;
    while (sale.jobId === null) {
      sale.attempts += 1;
      save(sale);
      tell({ state: 'sending', sale });
      try {
        const { body, headers } = await call('POST', sale.path, {
          body: sale.body,
          headers: { 'Idempotency-Key': sale.key },
          signal: o.signal,
        });
        sale.location = headers.get('Location');
        const fromLocation = sale.location && /\/v1\/jobs\/(\d+)$/.exec(sale.location);
        sale.jobId = fromLocation ? Number(fromLocation[1]) : body.id;
        save(sale);
        tell({ state: 'accepted', sale, job: body });
        if (FINAL_STATES.includes(body.state)) {
          forget(sale.key);
          tell({ state: 'final', sale, job: body });
          return body;
        }
      } catch (e) {
        if (!(e instanceof CassardError)) throw e;
        if (!e.retryable) {
          // Refused or a conflict: the service keeps nothing under this request, and sending
          // it again cannot change that. Auth and permission stay, for resume() once fixed.
          if (e instanceof RefusedError || e instanceof ConflictError) forget(sale.key);
          throw e;
        }
        tell({ state: 'retrying', sale, error: e });
        await sleep(delay, o.signal);
        delay = Math.min(delay * 2, 10000);
      }
    }
    tell({ state: 'waiting', sale });
    const job = await waitFinal(/** @type {number} */ (sale.jobId), o.signal);
    forget(sale.key);
    tell({ state: 'final', sale, job });
    return job;
  }

  /** @param {Sale} sale @param {object} o */
  function once(sale, o) {
    let p = driving.get(sale.key);
    if (!p) {
      p = drive(sale, o).finally(() => driving.delete(sale.key));
      driving.set(sale.key, p);
    }
    return p;
  }

  /**
   * A receipt, printed once: resolves with the job in its final state (done, failed or
   * attention); rejects only when sending again cannot help (refused, conflict, token,
   * permission) or when `signal` aborts the wait (the sale stays pending).
   * @param {string} register @param {Receipt} receipt
   * @param {{ key?: string, signal?: AbortSignal, onProgress?: (p: Progress) => void }} [o]
   * @returns {Promise<Job>}
   */
  function postReceipt(register, receipt, o = {}) {
    return postTo(`/v1/registers/${encodeURIComponent(register)}/receipts`, register, receipt, o);
  }

  /** A job of another kind (lines, download, status), likewise. */
  function postJob(/** @type {string} */ register, /** @type {object} */ job, o = {}) {
    return postTo(`/v1/registers/${encodeURIComponent(register)}/jobs`, register, job, o);
  }

  /** @param {string} path @param {string} register @param {object} body
   *  @param {{ key?: string, signal?: AbortSignal, onProgress?: (p: Progress) => void }} o */
  function postTo(path, register, body, o) {
    /** @type {Sale} */
    const sale = {
      key: o.key || newKey(),
      register,
      path,
      body,
      savedAt: new Date().toISOString(),
      jobId: null,
      location: null,
      attempts: 0,
    };
    try {
      save(sale);
    } catch (e) {
      return Promise.reject(e);
    }
    (o.onProgress || (() => {}))({ state: 'saved', sale });
    return once(sale, o);
  }

  /**
   * Every pending sale driven to its final state, as a till calls at start. Settles each
   * on its own: a sale that fails does not stop the others.
   * @param {{ signal?: AbortSignal, onProgress?: (p: Progress) => void }} [o]
   * @returns {Promise<PromiseSettledResult<Job>[]>}
   */
  function resume(o = {}) {
    return Promise.allSettled(pending().map((s) => once(s, o)));
  }

  /** DELETE of a queued job: resolves with the job, failed; ConflictError when it has started. */
  async function cancel(/** @type {number} */ jobId) {
    return (await call('DELETE', `/v1/jobs/${jobId}`)).body;
  }

  // -- live events --

  /** @type {ReturnType<typeof listen>|null} */
  let live = null;

  /**
   * Live events: `onJob(jobSummary)`, `onRegister(register)`, `onState('live'|'reconnecting')`.
   * EventSource with the token in the query (it cannot send a header); it reconnects by itself.
   * @param {{ onJob?: (j: Job) => void, onRegister?: (r: any) => void, onState?: (s: string) => void }} h
   */
  function listen(h = {}) {
    const t = token.get();
    const src = new EventSource(`${base}/v1/events${t ? `?access_token=${encodeURIComponent(t)}` : ''}`);
    /** @type {Set<(j: Job) => void>} */
    const waiters = new Set();
    src.addEventListener('open', () => h.onState && h.onState('live'));
    src.addEventListener('error', () => h.onState && h.onState('reconnecting'));
    src.addEventListener('job', (ev) => {
      let j;
      try {
        j = JSON.parse(/** @type {MessageEvent} */ (ev).data);
      } catch {
        return;
      }
      if (h.onJob) h.onJob(j);
      for (const w of waiters) w(j);
    });
    src.addEventListener('register', (ev) => {
      if (h.onRegister) h.onRegister(JSON.parse(/** @type {MessageEvent} */ (ev).data));
    });
    const handle = {
      isOpen: () => src.readyState === EventSource.OPEN,
      /** Resolves when job `id` changes, or after `ms` at most. */
      next: (/** @type {number} */ id, /** @type {number} */ ms, /** @type {AbortSignal|undefined} */ signal) =>
        new Promise((resolve, reject) => {
          const done = () => {
            clearTimeout(t);
            waiters.delete(w);
            resolve(undefined);
          };
          const w = (/** @type {Job} */ j) => j.id === id && done();
          const t = setTimeout(done, Math.max(ms, 5000));
          waiters.add(w);
          signal?.addEventListener('abort', () => {
            done();
            reject(signal.reason);
          }, { once: true });
        }),
      stop: () => {
        src.close();
        if (live === handle) live = null;
      },
    };
    return handle;
  }

  /** @param {Parameters<typeof listen>[0]} [h] */
  function events(h) {
    if (live) live.stop();
    live = listen(h);
    return live;
  }
  if (options.live && typeof EventSource !== 'undefined') events();

  return {
    base,
    token,
    request: (/** @type {string} */ m, /** @type {string} */ p, /** @type {object} */ o) => call(m, p, o),
    get: async (/** @type {string} */ p) => (await call('GET', p)).body,
    postReceipt,
    postJob,
    pending,
    resume,
    finishPending: resume,
    waitFinal,
    cancel,
    events,
    job: async (/** @type {number} */ id) => (await call('GET', `/v1/jobs/${id}`)).body,
    registers: async () => (await call('GET', '/v1/registers')).body.registers,
  };
}
