// The page's words and formats: one catalogue per language (i18n/it.js, i18n/en.js), read
// through t(key, opts). Italian first; English when the browser prefers it or the person
// chose it. Money and dates go through Intl with the language's own locale, never the
// browser's default one.

import it from './i18n/it.js';
import en from './i18n/en.js';

export const CATALOGUES = { it, en };
export const LANGS = ['it', 'en'];
const LOCALES = { it: 'it-IT', en: 'en-GB' };
const LANG_KEY = 'cassard.lang';

// The chosen language, else the first of the browser's preferences we have, else Italian.
export function pickLang(stored, preferred) {
  if (LANGS.includes(stored)) return stored;
  for (const p of preferred || []) {
    const base = String(p).toLowerCase().split('-')[0];
    if (LANGS.includes(base)) return base;
  }
  return 'it';
}

const storage = typeof localStorage === 'undefined' ? null : localStorage;
let lang = pickLang(storage && storage.getItem(LANG_KEY), typeof navigator === 'undefined' ? [] : navigator.languages);

export const currentLang = () => lang;
export const locale = () => LOCALES[lang];

export function setLang(l, { remember = true } = {}) {
  if (!LANGS.includes(l)) return;
  lang = l;
  if (remember && storage) storage.setItem(LANG_KEY, l);
  if (typeof document !== 'undefined') document.documentElement.lang = l;
}

export function has(key) {
  return Object.prototype.hasOwnProperty.call(CATALOGUES[lang], key);
}

// t('jobs.newJobs', { count: 3 }): %{name} takes opts.name; an entry that is an object is a
// plural, its form picked by Intl.PluralRules for opts.count ('other' when the form is missing).
// Building an Intl.PluralRules costs far more than using one: one per language.
const plurals = new Map();
const pluralOf = (l) => plurals.get(l) || plurals.set(l, new Intl.PluralRules(LOCALES[l])).get(l);

export function t(key, opts = {}, l = lang) {
  let entry = CATALOGUES[l][key];
  if (entry === undefined) {
    console.warn(`no text "${key}" in ${l}`);
    return key;
  }
  if (typeof entry === 'object') entry = entry[pluralOf(l).select(Number(opts.count))] ?? entry.other;
  return entry.replace(/%\{(\w+)\}/g, (m, name) => (opts[name] === undefined || opts[name] === null ? m : String(opts[name])));
}

const cache = new Map();
function fmt(kind, make) {
  const k = `${lang}:${kind}`;
  if (!cache.has(k)) cache.set(k, make(LOCALES[lang]));
  return cache.get(k);
}

// 1250 -> "12,50 €" (it) or "€12.50" (en); grouping from 1.000 on, in either language.
export function money(cents) {
  if (!Number.isInteger(cents)) return '';
  return fmt('money', (loc) => new Intl.NumberFormat(loc, { style: 'currency', currency: 'EUR', useGrouping: 'always' })).format(cents / 100);
}

export function number(n, digits = 0) {
  if (typeof n !== 'number' || Number.isNaN(n)) return '';
  return fmt(`num${digits}`, (loc) => new Intl.NumberFormat(loc, { maximumFractionDigits: digits })).format(n);
}

// "07/12/2026 16:52" in the browser's time zone; with `short`, only "16:52" for today.
export function dateTime(iso, { short = false, seconds = false } = {}) {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return iso;
  const time = fmt(`time${seconds}`, (loc) =>
    new Intl.DateTimeFormat(loc, { hour: '2-digit', minute: '2-digit', second: seconds ? '2-digit' : undefined, hourCycle: 'h23' }),
  ).format(d);
  if (short && d.toDateString() === new Date().toDateString()) return time;
  const date = fmt('date', (loc) => new Intl.DateTimeFormat(loc, { day: '2-digit', month: '2-digit', year: 'numeric' })).format(d);
  return `${date} ${time}`;
}

export function bytes(n) {
  if (!Number.isFinite(n)) return '';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  let v = n;
  while (v >= 1000 && i < units.length - 1) {
    v /= 1000;
    i += 1;
  }
  return `${number(v, i ? 1 : 0)} ${units[i]}`;
}
