// talvex-card: reads an identity card from a web page through the local
// Talvex service (http://127.0.0.1:10012), as an ES module with no build step.
//
//   import { readCard, watchCards } from './talvex-card.js';
//   const result = await readCard({ timeoutMs: 20000 });
//   if (result.ok) img.src = result.photo; else show(result.code, result.message);
//
// A reader failure ("128|寻卡失败") is a value ({ ok: false, code, message });
// only a service that cannot be reached is an exception (TalvexUnreachableError,
// with `reason` blocked, not-running or timeout). Types: talvex-card.d.ts.

/** The port Talvex listens on unless it was started with --port N. */
export const DEFAULT_PORT = 10012;

/** How long readCard waits for an answer unless told otherwise (ms). */
export const DEFAULT_TIMEOUT_MS = 30000;

// Field names with their labels per card kind, in the order the service
// sends them.
const RESIDENT_FIELDS = [
  ['name', '姓名', 'Name'],
  ['genderCode', '性别代码', 'Gender code'],
  ['gender', '性别', 'Gender'],
  ['nationCode', '民族代码', 'Ethnic group code'],
  ['nation', '民族', 'Ethnic group'],
  ['birthDate', '出生日期', 'Date of birth'],
  ['address', '住址', 'Address'],
  ['idNumber', '公民身份号码', 'ID number'],
  ['issuingAuthority', '签发机关', 'Issuing authority'],
  ['validFrom', '有效期起', 'Valid from'],
  ['validTo', '有效期止', 'Valid to'],
];
const FOREIGN_FIELDS = [
  ['englishName', '英文姓名', 'Name in English'],
  ['genderCode', '性别代码', 'Gender code'],
  ['gender', '性别', 'Gender'],
  ['cardNumber', '证件号码', 'Card number'],
  ['nationalityCode', '国籍代码', 'Nationality code'],
  ['nationality', '国籍', 'Nationality'],
  ['chineseName', '中文姓名', 'Name in Chinese'],
  ['validFrom', '有效期起', 'Valid from'],
  ['validTo', '有效期止', 'Valid to'],
  ['birthDate', '出生日期', 'Date of birth'],
  ['cardVersion', '证件版本', 'Card version'],
  ['authorityCode', '签发机关代码', 'Issuing authority code'],
  ['authority', '签发机关', 'Issuing authority'],
];
const HMT_FIELDS = [
  ['name', '姓名', 'Name'],
  ['genderCode', '性别代码', 'Gender code'],
  ['gender', '性别', 'Gender'],
  ['birthDate', '出生日期', 'Date of birth'],
  ['address', '住址', 'Address'],
  ['idNumber', '公民身份号码', 'ID number'],
  ['issuingAuthority', '签发机关', 'Issuing authority'],
  ['validFrom', '有效期起', 'Valid from'],
  ['validTo', '有效期止', 'Valid to'],
  ['passNumber', '通行证号码', 'Pass number'],
  ['issueCount', '签发次数', 'Issue count'],
];

function kindInfo(kindName, zh, en, fields) {
  return Object.freeze({
    kindName,
    zh,
    en,
    fields: Object.freeze(fields.map(([name, fzh, fen]) => Object.freeze({ name, zh: fzh, en: fen }))),
  });
}

/** The three card kinds by their number in the answer: labels and field order. */
export const CARD_KINDS = Object.freeze({
  1: kindInfo('resident', '居民身份证', 'Resident identity card', RESIDENT_FIELDS),
  2: kindInfo('foreign', '外国人永久居留身份证', 'Foreign permanent resident ID card', FOREIGN_FIELDS),
  3: kindInfo('hmt', '港澳台居民居住证',
    'Residence permit for Hong Kong, Macao and Taiwan residents', HMT_FIELDS),
});

/** The code parseCardBody gives an answer that is not a Talvex body. */
export const UNRECOGNISED_ANSWER = -1;

/**
 * Splits one /readCard body: "0|<kind>|<field>|...|<field>|<Base64 JPEG>" or
 * "<code>|<message>". Never throws.
 */
export function parseCardBody(body) {
  const bar = body.indexOf('|');
  const codeText = bar < 0 ? body : body.slice(0, bar);
  if (!/^-?\d{1,10}$/.test(codeText)) {
    return { ok: false, code: UNRECOGNISED_ANSWER, message: `unrecognised answer: ${body.slice(0, 40)}` };
  }
  const code = Number(codeText);
  if (code !== 0) return { ok: false, code, message: bar < 0 ? '' : body.slice(bar + 1) };
  const parts = body.split('|');
  const kind = Number(parts[1]);
  const info = CARD_KINDS[kind];
  // code, kind, the fields, then the photo behind the last "|".
  if (!info || parts.length !== info.fields.length + 3) {
    return { ok: false, code: UNRECOGNISED_ANSWER, message: `unrecognised card answer (kind ${parts[1]}, ${parts.length} items)` };
  }
  const fields = {};
  info.fields.forEach((f, i) => { fields[f.name] = parts[2 + i]; });
  const base64 = parts[parts.length - 1];
  return {
    ok: true,
    kind,
    kindName: info.kindName,
    fields,
    photo: base64 ? `data:image/jpeg;base64,${base64}` : '',
  };
}

/** The URL of one of the service's paths on `port` (default 10012). */
export function serviceUrl(path = '/readCard', port = DEFAULT_PORT) {
  return `http://127.0.0.1:${port}${path}`;
}

// What a user and an administrator can do about each reason, in Chinese and
// English; the page shows them as it likes.
const ADVICE = {
  blocked: {
    zh: '浏览器阻止了本页访问本机读卡服务。请在浏览器的提示中允许“本地网络访问”（地址栏左侧的站点设置）；' +
      '由管理员统一配置时，请用 talvex-server --browser-policy install 下发浏览器策略。',
    en: 'The browser keeps this page from reaching the card service on this computer. Allow ' +
      '"local network access" for this site (site settings, left of the address bar); an ' +
      'administrator can roll out the browser policy with talvex-server --browser-policy install.',
  },
  'not-running': {
    zh: '读卡服务没有运行：请启动 Talvex（或检查端口）。',
    en: 'The card service is not running: start Talvex (or check its port).',
  },
  timeout: {
    zh: '读卡服务没有及时应答：可能另一页面正在读卡，或浏览器正等待您对“本地网络访问”提示的回答。',
    en: 'The card service did not answer in time: another page may be reading, or the browser is ' +
      'waiting for your answer to its "local network access" prompt.',
  },
};

/** The service could not be reached; `reason` says why, `sure` how certain that is. */
export class TalvexUnreachableError extends Error {
  constructor(reason, sure, port, options = {}) {
    super(`Talvex on port ${port} cannot be reached: ${reason}${sure ? '' : ' (probably)'}`, options);
    this.name = 'TalvexUnreachableError';
    this.reason = reason;
    this.sure = sure;
    this.port = port;
    this.advice = ADVICE[reason];
  }
}

const LOOPBACK_PERMISSIONS = ['loopback-network', 'local-network-access', 'local-network'];

/**
 * The browser's permission state for reaching the loopback address:
 * 'granted', 'denied', 'prompt', or undefined where the browser has no such
 * permission. The state alone does not predict success (a page of the local
 * network is let through while it says 'prompt').
 */
export async function loopbackPermission(env = globalThis) {
  const permissions = env.navigator && env.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return undefined;
  for (const name of LOOPBACK_PERMISSIONS) {
    try {
      return (await permissions.query({ name })).state;
    } catch {
      // Not a permission this browser knows; try the next name.
    }
  }
  return undefined;
}

function isLoopbackHost(host) {
  return host === 'localhost' || host.endsWith('.localhost') || /^127\.\d+\.\d+\.\d+$/.test(host) ||
    host === '[::1]';
}

function isPrivateAddress(host) {
  const m = /^(\d+)\.(\d+)\.\d+\.\d+$/.exec(host);
  if (m) {
    const a = Number(m[1]);
    const b = Number(m[2]);
    return a === 10 || (a === 172 && b >= 16 && b <= 31) || (a === 192 && b === 168) ||
      (a === 169 && b === 254) || (a === 100 && b >= 64 && b <= 127);
  }
  return /^\[f[cd]/i.test(host) || /^\[fe[89ab]/i.test(host);
}

/**
 * Why a request to the service failed with a network error, from what the
 * browser lets a page see: its own address, whether it is a secure context,
 * and the loopback permission. A blocked request and a closed port fail
 * alike (TypeError within milliseconds), so only some answers are sure.
 * `env` is the page's global object (tests pass their own).
 */
export async function explainNetworkFailure(env = globalThis) {
  const host = env.location ? env.location.hostname.toLowerCase() : '';
  const bracketed = host.includes(':') && !host.startsWith('[') ? `[${host}]` : host;
  // A page on the machine itself is in the loopback's own address space:
  // never asked, never blocked.
  if (isLoopbackHost(bracketed)) return { reason: 'not-running', sure: true };
  const state = await loopbackPermission(env);
  // The browser allowed this page: the port itself gave no answer.
  if (state === 'granted') return { reason: 'not-running', sure: true };
  // No local network checks in this browser: nothing else could block it.
  if (state === undefined) return { reason: 'not-running', sure: false };
  // Pages of the local network are let through today, whatever the state.
  if (isPrivateAddress(bracketed)) return { reason: 'not-running', sure: false };
  return { reason: 'blocked', sure: false };
}

function abortError(signal) {
  if (signal.reason !== undefined) return signal.reason;
  return new DOMException('The operation was aborted.', 'AbortError');
}

/**
 * Reads the card on the reader. Resolves to the card ({ ok: true, kind,
 * kindName, fields, photo }) or the reader's failure ({ ok: false, code,
 * message }); rejects with TalvexUnreachableError when the service cannot
 * be reached, or with the signal's reason when `signal` aborts.
 */
export async function readCard(options = {}) {
  const port = options.port ?? DEFAULT_PORT;
  const timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
  const env = options.env ?? globalThis;
  const signal = options.signal;
  if (signal && signal.aborted) throw abortError(signal);

  const controller = new AbortController();
  let timedOut = false;
  const timer = setTimeout(() => { timedOut = true; controller.abort(); }, timeoutMs);
  const onAbort = () => controller.abort();
  if (signal) signal.addEventListener('abort', onAbort, { once: true });
  try {
    // A plain GET with no custom headers and no credentials: no preflight.
    const response = await env.fetch(serviceUrl('/readCard', port), {
      cache: 'no-store',
      signal: controller.signal,
    });
    return parseCardBody(await response.text());
  } catch (error) {
    if (signal && signal.aborted) throw abortError(signal);
    if (timedOut) throw new TalvexUnreachableError('timeout', true, port, { cause: error });
    const why = await explainNetworkFailure(env);
    throw new TalvexUnreachableError(why.reason, why.sure, port, { cause: error });
  } finally {
    clearTimeout(timer);
    if (signal) signal.removeEventListener('abort', onAbort);
  }
}

/**
 * A parser of text/event-stream: feed it text as it arrives; it calls
 * onEvent({ event, data }) for every complete event (comments and events
 * without data are skipped, as EventSource does).
 */
export function createEventStreamParser(onEvent) {
  let buffer = '';
  let event = '';
  let data = [];
  const line = (text) => {
    if (text === '') {
      if (data.length > 0) onEvent({ event: event || 'message', data: data.join('\n') });
      event = '';
      data = [];
      return;
    }
    if (text.startsWith(':')) return;
    const colon = text.indexOf(':');
    const field = colon < 0 ? text : text.slice(0, colon);
    let value = colon < 0 ? '' : text.slice(colon + 1);
    if (value.startsWith(' ')) value = value.slice(1);
    if (field === 'event') event = value;
    else if (field === 'data') data.push(value);
  };
  return {
    push(chunk) {
      buffer += chunk;
      for (;;) {
        const m = /\r\n|\r|\n/.exec(buffer);
        // A lone CR at the end may be the first half of CR LF.
        if (!m || (m[0] === '\r' && m.index === buffer.length - 1)) break;
        line(buffer.slice(0, m.index));
        buffer = buffer.slice(m.index + m[0].length);
      }
    },
  };
}

/**
 * Turns one event of the /events stream into what watchCards hands out:
 * { type: 'card', result } for "card" events, { type: 'error', failure }
 * for "error" events, null for any other event.
 */
export function interpretEvent(ev) {
  if (ev.event === 'card') {
    const result = parseCardBody(ev.data);
    return result.ok ? { type: 'card', result } : { type: 'error', failure: result };
  }
  if (ev.event === 'error') {
    const result = parseCardBody(ev.data);
    return { type: 'error', failure: result.ok ? { ok: false, code: UNRECOGNISED_ANSWER, message: ev.data.slice(0, 40) } : result };
  }
  return null;
}

// The service sends a comment at least every 15 s; silence for this long
// means the connection is gone without a word.
const SILENCE_MS = 45000;

/**
 * Follows the service's /events stream: handlers.card(result) for every
 * card put on the reader, handlers.error(failure) for every failed read,
 * handlers.unreachable(error) when the service cannot be reached (it then
 * tries again by itself, waiting 1 s, 2 s, ... up to 30 s), handlers.open()
 * when the stream is (again) connected. Returns a function that stops it.
 */
export function watchCards(handlers, options = {}) {
  const port = options.port ?? DEFAULT_PORT;
  const env = options.env ?? globalThis;
  const maxDelay = options.maxRetryMs ?? 30000;
  let stopped = false;
  let controller = null;
  let retryTimer = null;
  const firstDelay = Math.min(1000, maxDelay);
  let delay = firstDelay;

  const call = (name, value) => {
    if (stopped || typeof handlers[name] !== 'function') return;
    try {
      handlers[name](value);
    } catch (e) {
      // A handler's fault must not end the stream.
      setTimeout(() => { throw e; });
    }
  };

  const retry = () => {
    if (stopped) return;
    retryTimer = setTimeout(connect, delay);
    delay = Math.min(delay * 2, maxDelay);
  };

  async function connect() {
    retryTimer = null;
    controller = new AbortController();
    const own = controller;
    let silence = null;
    const arm = () => {
      clearTimeout(silence);
      silence = setTimeout(() => own.abort(), SILENCE_MS);
    };
    try {
      arm();
      const response = await env.fetch(serviceUrl('/events', port), { cache: 'no-store', signal: own.signal });
      const type = response.headers.get('content-type') || '';
      if (!type.startsWith('text/event-stream')) {
        // A refused origin gets the plain "290|..." body instead of a stream.
        call('error', parseCardBody(await response.text()));
        delay = maxDelay;
        return;
      }
      delay = firstDelay;
      call('open');
      const parser = createEventStreamParser((ev) => {
        const item = interpretEvent(ev);
        if (item) call(item.type, item.type === 'card' ? item.result : item.failure);
      });
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        arm();
        parser.push(value);
      }
    } catch (error) {
      if (stopped) return;
      if (!own.signal.aborted) {
        const why = await explainNetworkFailure(env);
        call('unreachable', new TalvexUnreachableError(why.reason, why.sure, port, { cause: error }));
      }
    } finally {
      clearTimeout(silence);
      retry();
    }
  }

  connect();
  return function stop() {
    stopped = true;
    clearTimeout(retryTimer);
    if (controller) controller.abort();
  };
}
