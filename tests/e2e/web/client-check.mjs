// Opens examples/web/module.html in a new headless Chromium as a page of the
// public internet (--ip-address-space-overrides) and reads a card through
// the talvex-card library. Usage:
//   node client-check.mjs PAGE_URL SERVICE_PORT EXPECT [grant]
// EXPECT: card (a typed resident card with its photo), blocked or
// not-running (the library's reason). "grant" grants the page local network
// access first, as a user who answers the prompt does.
// The page's host name is mapped to 127.0.0.1; an https:// page's test
// certificate is taken without checks.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const [pageUrl, servicePort, expect, grant] = process.argv.slice(2);
const page = new URL(pageUrl);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'talvex-chromium-'));

function fail(message) {
  console.error(`FAIL (${expect}${grant ? ', granted' : ''}): ${message}`);
  process.exitCode = 1;
}

const args = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  `--host-resolver-rules=MAP ${page.hostname} 127.0.0.1`,
  // The page's server counts as the public internet (the port is required).
  `--ip-address-space-overrides=127.0.0.1:${page.port}=public`,
];
if (page.protocol === 'https:') args.push('--ignore-certificate-errors');

const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium', headless: true, args,
});
try {
  if (grant) await context.grantPermissions(['local-network-access'], { origin: page.origin });
  const tab = await context.newPage();
  const console_ = [];
  tab.on('console', (m) => console_.push(m.text()));
  await tab.goto(pageUrl);
  const outcome = await tab.evaluate(async (port) => {
    const m = await import('/clients/web/talvex-card.js');
    try {
      const r = await m.readCard({ port: Number(port), timeoutMs: 30000 });
      if (!r.ok) return { ok: false, code: r.code, message: r.message };
      const img = new Image();
      img.src = r.photo;
      await img.decode();
      return { ok: true, kind: r.kind, kindName: r.kindName, fields: r.fields, photo: [img.naturalWidth, img.naturalHeight] };
    } catch (e) {
      return { error: e.name, reason: e.reason, sure: e.sure, secure: window.isSecureContext };
    }
  }, servicePort);
  if (expect === 'card') {
    if (!outcome.ok) fail(`no card: ${JSON.stringify(outcome)}`);
    else {
      if (outcome.kindName !== 'resident' || outcome.fields.name !== '张三' ||
          outcome.fields.idNumber !== '000000200001010000') fail(`card ${JSON.stringify(outcome.fields)}`);
      if (outcome.photo[0] !== 102 || outcome.photo[1] !== 126) fail(`photo ${outcome.photo}`);
    }
  } else if (outcome.reason !== expect) {
    fail(`outcome ${JSON.stringify(outcome)}; console: ${console_.join(' | ')}`);
  }
  console.log(`${expect}${grant ? ' (granted)' : ''}: ${JSON.stringify(outcome.ok ? { ok: true, kindName: outcome.kindName } : outcome)}`);
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
