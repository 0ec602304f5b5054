// @ts-check
// The browser client of cassardd, for tills and for the shop console.
//
//   import { connect } from './cassard-client.js';   // the till's own copy, from its origin
//   const cassa = connect({ base: 'http://127.0.0.1:8765', token: 'the token' });
//   for (const job of await cassa.resume()) show(job);   // sales a reload interrupted
//   const job = await cassa.postReceipt('cassa1', { items, payments });
//
// A sale is kept in localStorage with its Idempotency-Key before the first byte is sent,
// and sent again with the same key (after a timeout, a dropped connection, a reload, a
// crash of the browser) until the job is final: the service answers a repeat with the job
// the key already names, so the receipt is printed once however often it is sent.
//
// A sale has an end. It is stamped with the moment the cashier paid, and every send of it
// carries the same expiresAt: that moment plus the till's limit (`limitS`, at most the
// register's queue_limit_s). Past it, a sale the service never took is never sent again:
// pending() lists it as expired, with its age and items, until drop(key) forgets it.

/** This file's revision: a till serving its own copy compares it with the service's. */
export const VERSION = '2026.12.7';

/**
 * @typedef {'queued'|'running'|'done'|'failed'|'uncertain'|'attention'} JobState
 * @typedef {{ id: number, register: string, key: string, kind: string, state: JobState,
 *   receiptNumber: string|null, reason: string|null, [field: string]: any }} Job
 * @typedef {{ description: string, price: number, quantity?: number, department?: number,
 *   return?: boolean }} Item
 * @typedef {{ method: string, amount?: number }} Payment
 * @typedef {{ items: Item[], payments: Payment[], operator?: number, texts?: string[],
 *   fiscalReport?: boolean, expiresAt?: string }} Receipt
 * @typedef {{ key: string, register: string, path: string, body: any, savedAt: string,
 *   paidAt?: string, expiresAt?: string|null, limitChecked?: boolean,
 *   jobId: number|null, location: string|null, attempts: number }} Sale
 * @typedef {Sale & { expired: boolean, ageS: number, items: Item[]|null }} KeptSale
 * @typedef {{ state: 'saved'|'sending'|'accepted'|'waiting'|'retrying'|'expired'|'final',
 *   sale: Sale, job?: Job, error?: CassardError }} Progress
 * @typedef {{ get: () => string, set: (t: string) => void }} TokenStore
 * @typedef {{ base?: string, token?: string|TokenStore, storage?: Storage, prefix?: string,
 *   timeoutMs?: number, live?: boolean, pollMs?: number, limitS?: number,
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
/** 403: the service refuses this page (its origin is not in `origins`, or the Host). */
export class ForbiddenError extends RefusedError {}
/** A kept sale reached its expiresAt and the service never took it: it is never sent again. */
export class ExpiredError extends CassardError {}
/** The service answered with a job of another key: never taken as this sale's outcome. */
export class WrongJobError extends CassardError {}
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
  if (status === 403) return new ForbiddenError(message, o);
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
  const limitPrefix = (options.prefix || 'cassard.') + 'queueLimitS.';
  const timeoutMs = options.timeoutMs ?? 15000;
  const pollMs = options.pollMs ?? 1000;
  const limitS = options.limitS ?? 120;
  if (!(limitS > 0)) throw new CassardError(`limitS must be a number of seconds above 0, not ${limitS}`, { code: 'invalid', field: 'limitS' });
  const doFetch = options.fetch;
  /** @type {Map<string, Promise<Job>>} sales being driven by this page, by key */
  const driving = new Map();
  /** @type {Set<string>} keys drop() forgot while this page drove them */
  const dropped = new Set();

  /** @type {(m: string, p: string, o?: object) => ReturnType<typeof request>} */
  const call = async (method, path, o = {}) => {
    try {
      return await request(method, path, { base, token: token.get(), timeoutMs, fetch: doFetch, ...o });
    } catch (e) {
      if (e instanceof AuthError && options.onUnauthorized) options.onUnauthorized();
      throw e;
    }
  };
  const enc = encodeURIComponent;

  // -- the register's queue limit, which bounds the till's own --

  /** @param {any} r a register as GET /v1/registers answers it */
  const learn = (r) => {
    try {
      if (r && typeof r.name === 'string' && Number.isInteger(r.queueLimitS))
        storage.setItem(limitPrefix + r.name, String(r.queueLimitS));
    } catch {
      // A full storage: the till's own limit stands; the sale itself says so when kept.
    }
    return r;
  };
  /** @param {string} register @returns {number} seconds a sale paid now may wait */
  const limitOf = (register) => {
    const q = Number(storage.getItem(limitPrefix + register));
    return q > 0 ? Math.min(limitS, q) : limitS;
  };

  // -- the sales kept until final --

  /** @param {Sale} sale */
  const save = (sale) => {
    if (dropped.has(sale.key))
      throw new CassardError(`the sale ${sale.key} was dropped; it is not sent again`, { code: 'dropped' });
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

  /** When a sale stops being sent, in ms; null for jobs that carry no expiresAt. A sale kept
   *  before sales were stamped ends its limit after it was kept (its body stays as sent). */
  const endOf = (/** @type {Sale} */ s) =>
    s.expiresAt ? Date.parse(s.expiresAt)
      : s.expiresAt === undefined && expiring(s.path, s.body) ? Date.parse(s.savedAt) + limitS * 1000
        : null;
  /** Whether the service takes an expiresAt with this request (receipts and lines). */
  const expiring = (/** @type {string} */ path, /** @type {any} */ body) =>
    path.endsWith('/receipts') || (body && body.kind === 'lines');
  /** The service never took it and its end has come. @param {Sale} s */
  const isExpired = (s, now = Date.now()) => {
    const end = endOf(s);
    return s.jobId === null && end !== null && now >= end;
  };

  /** The sales not yet final, oldest first, each with `expired`, its age and its items.
   *  @returns {KeptSale[]} */
  function pending() {
    const now = Date.now();
    /** @type {KeptSale[]} */
    const out = [];
    for (let i = 0; i < storage.length; i++) {
      const k = storage.key(i);
      if (!k || !k.startsWith(prefix)) continue;
      try {
        /** @type {Sale} */
        const s = JSON.parse(storage.getItem(k) || '');
        const paid = Date.parse(s.paidAt || s.savedAt);
        out.push({ ...s, expired: isExpired(s, now), ageS: Math.max(0, Math.floor((now - paid) / 1000)),
          items: Array.isArray(s.body?.items) ? s.body.items : null });
      } catch {
        // A value that is not a sale is not ours to drop: it stays, and is not listed.
      }
    }
    return out.sort((a, b) => a.savedAt.localeCompare(b.savedAt) || a.key.localeCompare(b.key));
  }

  /** Forgets a kept sale (an expired one the cashier has seen): it is never sent again, not
   *  even by a send of this page still under way. Whether it was kept. @param {string} key */
  function drop(key) {
    const had = storage.getItem(prefix + key) !== null;
    dropped.add(key);
    forget(key);
    return had;
  }

  // -- a job to its final state --

  /** The job read is the one asked for: its key (and id) are the sale's, else WrongJobError.
   *  @param {any} job @param {string|undefined} key @param {number|undefined} id @returns {Job} */
  function mine(job, key, id) {
    if (!job || typeof job !== 'object' || (id !== undefined && job.id !== id) ||
        (key !== undefined && job.key !== key))
      throw new WrongJobError(
        `cassardd answered with job ${job && job.id} of key "${job && job.key}" where job ` +
        `${id ?? '(new)'} of key "${key}" was asked for: it is not this sale's outcome; the sale stays kept`,
        { code: 'wrong_job' });
    return job;
  }

  /**
   * Reads job `id` until its state is one of `until`; every job read must carry `key`.
   * @param {number} id
   * @param {{ signal?: AbortSignal, key?: string, until?: readonly string[], onJob?: (j: Job) => void }} [o]
   * @returns {Promise<Job>}
   */
  async function follow(id, o = {}) {
    const until = o.until || FINAL_STATES;
    let delay = pollMs;
    for (;;) {
      try {
        const { body } = await call('GET', `/v1/jobs/${id}`, { signal: o.signal });
        mine(body, o.key, id);
        if (o.onJob) o.onJob(body);
        if (until.includes(body.state)) return body;
        delay = pollMs;
      } catch (e) {
        if (!(e instanceof CassardError) || !e.retryable) throw e;
        delay = Math.min(delay * 2, 10000);
      }
      await (live && live.isOpen() ? live.next(id, delay, o.signal) : sleep(delay, o.signal));
    }
  }

  /** Before a sale's first send: its end brought within the register's queue limit, read
   *  once per register (a sale already stamped keeps its moment). @param {Sale} sale */
  async function fitLimit(sale) {
    sale.limitChecked = true;
    if (sale.expiresAt && sale.paidAt && storage.getItem(limitPrefix + sale.register) === null) {
      try {
        learn((await call('GET', `/v1/registers/${enc(sale.register)}`, { timeoutMs: Math.min(timeoutMs, 3000) })).body);
      } catch {
        // The send that follows says what is wrong; the till's own limit stands meanwhile.
      }
      const end = Date.parse(sale.paidAt) + limitOf(sale.register) * 1000;
      if (end < Date.parse(sale.expiresAt)) {
        sale.expiresAt = new Date(end).toISOString();
        sale.body = { ...sale.body, expiresAt: sale.expiresAt };
      }
    }
    save(sale);
  }

  /** The service's job under the sale's key, if it took one (a send whose answer was lost).
   *  @param {Sale} sale @param {AbortSignal|undefined} signal @returns {Promise<Job|null>} */
  async function lookup(sale, signal) {
    const { body } = await call('GET', `/v1/jobs?register=${enc(sale.register)}&q=${enc(sale.key)}&limit=10`, { signal });
    return (body.jobs || []).find((/** @type {Job} */ j) => j.key === sale.key) || null;
  }

  /**
   * Sends the sale (again) with its key until the service has its job, then waits for the
   * job's final state. Past its expiresAt a sale the service never took is not sent again.
   * @param {Sale} sale @param {{ signal?: AbortSignal, onProgress?: (p: Progress) => void }} o
   * @returns {Promise<Job>}
   */
  async function drive(sale, o) {
    const tell = o.onProgress || (() => {});
    let delay = 500;
    if (!sale.limitChecked && sale.attempts === 0) await fitLimit(sale);
    while (sale.jobId === null) {
      if (isExpired(sale)) {
        // A send may have reached the service with its answer lost: its job then decides.
        let job = null, unasked = null;
        try {
          if (sale.attempts > 0) job = await lookup(sale, o.signal);
        } catch (e) {
          if (!(e instanceof CassardError) || !e.retryable) throw e;
          unasked = e;
        }
        if (job) {
          sale.jobId = job.id;
          save(sale);
          break;
        }
        const end = new Date(/** @type {number} */ (endOf(sale))).toISOString();
        const error = unasked
          ? new ExpiredError(
            `the sale ${sale.key} reached its expiresAt (${end}) without an answer from cassardd, and ` +
            `cassardd could not be asked whether it took it (${unasked.message}): it is never sent ` +
            'again; resume() asks again; meanwhile look at the register\'s roll before ringing it up again',
            { code: 'expired_unconfirmed', cause: unasked })
          : new ExpiredError(
            `the sale ${sale.key} was not taken by cassardd before its expiresAt (${end}): it is never ` +
            'sent again and nothing of it was printed; ring it up again if the customer is still there, then drop() it',
            { code: 'expired' });
        tell({ state: 'expired', sale, error });
        throw error;
      }
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
        mine(body, sale.key, fromLocation ? Number(fromLocation[1]) : body.id);
        sale.jobId = body.id;
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
          // it again cannot change that. A token, an origin or the permission stays, for
          // resume() once fixed, until the sale's expiresAt.
          if ((e instanceof RefusedError && !(e instanceof ForbiddenError)) || e instanceof ConflictError)
            forget(sale.key);
          throw e;
        }
        tell({ state: 'retrying', sale, error: e });
        const end = endOf(sale);
        await sleep(end === null ? delay : Math.max(0, Math.min(delay, end - Date.now())), o.signal);
        delay = Math.min(delay * 2, 10000);
      }
    }
    tell({ state: 'waiting', sale });
    const job = await follow(/** @type {number} */ (sale.jobId), {
      signal: o.signal, key: sale.key, onJob: (j) => tell({ state: 'waiting', sale, job: j }),
    });
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
   * permission, expired, a job of another key) or when `signal` aborts the wait (the sale
   * stays pending). `paidAt` is the moment the cashier paid (default now): the sale's
   * expiresAt is that plus the till's limit, or the receipt's own expiresAt if sooner.
   * @param {string} register @param {Receipt} receipt
   * @param {{ key?: string, paidAt?: Date|string, signal?: AbortSignal, onProgress?: (p: Progress) => void }} [o]
   * @returns {Promise<Job>}
   */
  function postReceipt(register, receipt, o = {}) {
    return postTo(`/v1/registers/${encodeURIComponent(register)}/receipts`, register, receipt, o);
  }

  /** A job of another kind (lines, download, status), likewise. */
  function postJob(/** @type {string} */ register, /** @type {object} */ job, o = {}) {
    return postTo(`/v1/registers/${encodeURIComponent(register)}/jobs`, register, job, o);
  }

  /** @param {string} path @param {string} register @param {any} body
   *  @param {{ key?: string, paidAt?: Date|string, signal?: AbortSignal, onProgress?: (p: Progress) => void }} o */
  function postTo(path, register, body, o) {
    const paid = o.paidAt ? new Date(o.paidAt) : new Date();
    let expiresAt = null;
    if (expiring(path, body)) {
      let end = paid.getTime() + limitOf(register) * 1000;
      if (body.expiresAt && Date.parse(body.expiresAt) < end) end = Date.parse(body.expiresAt);
      expiresAt = new Date(end).toISOString();
      body = { ...body, expiresAt };
    }
    /** @type {Sale} */
    const sale = {
      key: o.key || newKey(),
      register,
      path,
      body,
      savedAt: new Date().toISOString(),
      paidAt: paid.toISOString(),
      expiresAt,
      jobId: null,
      location: null,
      attempts: 0,
    };
    dropped.delete(sale.key);
    try {
      save(sale);
    } catch (e) {
      return Promise.reject(e);
    }
    (o.onProgress || (() => {}))({ state: 'saved', sale });
    return once(sale, o);
  }

  /**
   * Every pending sale (or the one of `key`) driven to its final state, as a till calls at
   * start. Settles each on its own: a sale that fails does not stop the others; an expired
   * one rejects with ExpiredError, is not sent, and stays listed until drop(key). A sale
   * already being driven is not sent twice: its result is shared.
   * @param {{ key?: string, signal?: AbortSignal, onProgress?: (p: Progress) => void }} [o]
   * @returns {Promise<PromiseSettledResult<Job>[]>}
   */
  function resume(o = {}) {
    return Promise.allSettled(pending().filter((s) => !o.key || s.key === o.key)
      // eslint-disable-next-line no-unused-vars
      .map(({ expired, ageS, items, ...s }) => once(s, o)));
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
    waitFinal: (/** @type {number} */ id, /** @type {AbortSignal|undefined} */ signal, /** @type {string|undefined} */ key) =>
      follow(id, { signal, key }),
    /** A job followed past attention, until done or failed (a person resolved it, or a
     *  resume read it from the register): what a till waits for before it frees a sale. */
    settled: (/** @type {number} */ id, /** @type {string} */ key, /** @type {{ signal?: AbortSignal, onJob?: (j: Job) => void }} */ o = {}) =>
      follow(id, { ...o, key, until: ['done', 'failed'] }),
    drop,
    limitS,
    /** The VERSION of the service's own copy of this file (null when it has none), for a
     *  till serving its own copy to compare with VERSION. */
    serviceVersion: async () => {
      const { body } = await call('GET', '/v1/cassard-client.js');
      const m = typeof body === 'string' && /^export const VERSION = '([^']*)';$/m.exec(body);
      return m ? m[1] : null;
    },
    cancel,
    events,
    job: async (/** @type {number} */ id) => (await call('GET', `/v1/jobs/${id}`)).body,
    registers: async () => (await call('GET', '/v1/registers')).body.registers.map(learn),
    register: async (/** @type {string} */ name) => learn((await call('GET', `/v1/registers/${enc(name)}`)).body),
  };
}
