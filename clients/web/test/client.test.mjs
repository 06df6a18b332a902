// The library's parsing and its reasons, on bodies recorded from
// talvex-server with the reader simulator (test/bodies/, see README.md) and
// on event-stream text in the service's /events format.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import {
  createEventStreamParser, interpretEvent, parseCardBody, readCard, watchCards,
} from '../talvex-card.js';

const body = (name) => fs.readFileSync(new URL(`bodies/${name}.txt`, import.meta.url), 'utf8');

function jpegBytes(dataUrl) {
  assert.ok(dataUrl.startsWith('data:image/jpeg;base64,'));
  return Buffer.from(dataUrl.slice(23), 'base64');
}

test('server bodies of the three kinds become named fields and a JPEG data URL', () => {
  const resident = parseCardBody(body('resident'));
  assert.equal(resident.ok && resident.kindName, 'resident');
  assert.equal(resident.fields.name, '张三');
  assert.equal(resident.fields.nation, '汉');
  assert.equal(resident.fields.validTo, '20400101');
  const foreign = parseCardBody(body('foreign'));
  assert.equal(foreign.ok && foreign.kind, 2);
  assert.equal(foreign.fields.englishName, 'DOE JANE');
  assert.equal(foreign.fields.authority, '公安部/Ministry of Public Security');
  const hmt = parseCardBody(body('hmt'));
  assert.equal(hmt.ok && hmt.kindName, 'hmt');
  assert.equal(hmt.fields.passNumber, 'H00000000');
  assert.equal(hmt.fields.issueCount, '01');
  for (const r of [resident, foreign, hmt]) {
    const jpeg = jpegBytes(r.photo);
    assert.deepEqual([...jpeg.subarray(0, 2)], [0xff, 0xd8]);
    assert.deepEqual([...jpeg.subarray(-2)], [0xff, 0xd9]);
  }
});

test('failure bodies are values with their code and message; other answers are code -1', () => {
  assert.deepEqual(parseCardBody(body('no-card')), { ok: false, code: 128, message: '寻卡失败' });
  assert.deepEqual(parseCardBody('290|请求来源不被允许'), { ok: false, code: 290, message: '请求来源不被允许' });
  // A failure this library has never heard of is passed on as it is.
  assert.deepEqual(parseCardBody('301|主机名不被允许'), { ok: false, code: 301, message: '主机名不被允许' });
  assert.equal(parseCardBody('<html>proxy error</html>').code, -1);
  // A success body cut short is not taken for a card.
  assert.equal(parseCardBody(body('resident').split('|').slice(0, 8).join('|')).code, -1);
});

// What the service sends on /events: a comment to start, a card, a
// keep-alive comment, a failed read; CR LF line ends in the second half.
function recordedStream() {
  return `: talvex events\n\nevent: card\ndata: ${body('resident')}\n\n:\n\n` +
    `event: error\r\ndata: 128|寻卡失败\r\n\r\n`;
}

test('the event stream is parsed whatever the chunks, comments skipped', () => {
  const text = recordedStream();
  for (const size of [1, 2, 7, 4096]) {
    const seen = [];
    const parser = createEventStreamParser((ev) => seen.push(interpretEvent(ev)));
    for (let i = 0; i < text.length; i += size) parser.push(text.slice(i, i + size));
    assert.equal(seen.length, 2, `chunks of ${size}`);
    assert.equal(seen[0].type, 'card');
    assert.equal(seen[0].result.fields.idNumber, '000000200001010000');
    assert.deepEqual(seen[1], { type: 'error', failure: { ok: false, code: 128, message: '寻卡失败' } });
  }
});

// A page's global object with a fetch of the test's choosing.
function env(fetch, { hostname = 'clinic.example', permission = 'prompt' } = {}) {
  return {
    fetch,
    location: { hostname },
    navigator: {
      permissions: {
        query: async ({ name }) => {
          if (name !== 'local-network-access') throw new TypeError(`unknown permission ${name}`);
          return { state: permission };
        },
      },
    },
  };
}

const refused = async () => { throw new TypeError('Failed to fetch'); };

test('an unreachable service is explained from what the page can see', async () => {
  const reason = async (e, options = {}) => {
    const err = await readCard({ env: e, ...options }).then(() => null, (x) => x);
    return err && [err.name, err.reason, err.sure];
  };
  assert.deepEqual(await reason(env(refused)), ['TalvexUnreachableError', 'blocked', false]);
  assert.deepEqual(await reason(env(refused, { permission: 'granted' })), ['TalvexUnreachableError', 'not-running', true]);
  assert.deepEqual(await reason(env(refused, { hostname: '127.0.0.1' })), ['TalvexUnreachableError', 'not-running', true]);
  assert.deepEqual(await reason(env(refused, { hostname: '192.168.1.20' })), ['TalvexUnreachableError', 'not-running', false]);
  const never = (url, init) => new Promise((_, reject) => {
    init.signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')));
  });
  assert.deepEqual(await reason(env(never), { timeoutMs: 20 }), ['TalvexUnreachableError', 'timeout', true]);
  // The caller's own abort is not a reason of the service's.
  const controller = new AbortController();
  setTimeout(() => controller.abort(), 5);
  assert.deepEqual(await reason(env(never), { signal: controller.signal }), ['AbortError', undefined, undefined]);
});

test('watchCards hands out cards and failures, comes back after a drop, and stops', async () => {
  let connects = 0;
  const fetch = async (url, init) => {
    connects += 1;
    assert.ok(url.endsWith('/events'));
    if (connects === 2) throw new TypeError('Failed to fetch');
    const text = recordedStream();
    const stream = new ReadableStream({
      start(c) {
        c.enqueue(new TextEncoder().encode(text.slice(0, 100)));
        c.enqueue(new TextEncoder().encode(text.slice(100)));
        // The third connection stays open until it is stopped.
        if (connects === 3) init.signal.addEventListener('abort', () => c.error(new DOMException('aborted', 'AbortError')));
        else c.close();
      },
    });
    return new Response(stream, { headers: { 'content-type': 'text/event-stream' } });
  };
  const seen = [];
  let stop;
  await new Promise((resolve) => {
    stop = watchCards({
      card: (r) => seen.push(`card ${r.kindName}`),
      error: (f) => seen.push(`error ${f.code}`),
      unreachable: (e) => seen.push(`unreachable ${e.reason}`),
      open: () => { seen.push('open'); },
    }, { env: env(fetch, { permission: 'granted' }), maxRetryMs: 1 });
    const poll = setInterval(() => {
      if (seen.length >= 7) { clearInterval(poll); resolve(); }
    }, 2);
  });
  stop();
  assert.deepEqual(seen, ['open', 'card resident', 'error 128', 'unreachable not-running',
    'open', 'card resident', 'error 128']);
  assert.equal(connects, 3);
});
