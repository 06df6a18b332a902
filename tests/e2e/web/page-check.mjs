// Opens the example page in headless Chromium, presses the read button and
// checks what the page shows. Usage: node page-check.mjs URL MODE SCREENSHOT
// MODE: card (fields and photo), failure (code and message), down (hint);
// wait and wait-poll press "wait for a card" instead, with the event stream
// and without EventSource (the polling fallback), and expect the card.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const [url, mode, screenshot] = process.argv.slice(2);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'talvex-chromium-'));

function fail(message) {
  console.error(`FAIL (${mode}): ${message}`);
  process.exitCode = 1;
}

const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
  ],
});
try {
  const page = await context.newPage();
  const consoleErrors = [];
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  if (mode === 'wait-poll') await page.addInitScript(() => { delete window.EventSource; });
  await page.goto(url);
  if (mode.startsWith('wait')) {
    await page.click('#wait');
    await page.waitForFunction(() => document.getElementById('status').className === 'ok', null, { timeout: 60000 });
  } else {
    await page.click('#read');
    await page.waitForFunction(() => !document.getElementById('read').disabled, null, { timeout: 60000 });
  }
  const status = await page.textContent('#status');
  if (mode.startsWith('wait')) {
    const name = await page.textContent('#fields tr[data-field="name"] td');
    if (name !== '张三') fail(`name ${name}`);
  } else if (mode === 'card') {
    const rows = await page.$$eval('#fields tr', (trs) => trs.map((tr) => [tr.dataset.field, tr.querySelector('td').textContent]));
    const fields = Object.fromEntries(rows);
    const expect = { name: '张三', gender: '男', nation: '汉', birthDate: '20000101', address: '某省某市某区某路1号', idNumber: '000000200001010000', issuingAuthority: '某市公安局', validFrom: '20200101', validTo: '20400101' };
    for (const [k, v] of Object.entries(expect)) {
      if (fields[k] !== v) fail(`field ${k} is ${JSON.stringify(fields[k])}, not ${v}`);
    }
    if (rows.length !== 11) fail(`${rows.length} rows instead of 11`);
    const size = await page.$eval('#photo', async (img) => { await img.decode(); return [img.naturalWidth, img.naturalHeight, img.src.slice(0, 23)]; });
    if (size[0] !== 102 || size[1] !== 126) fail(`photo is ${size[0]}x${size[1]}`);
    if (size[2] !== 'data:image/jpeg;base64,') fail(`photo src starts ${size[2]}`);
    const kind = await page.textContent('#kind');
    if (!kind.includes('居民身份证')) fail(`kind caption ${kind}`);
  } else if (mode === 'failure') {
    if (!status.includes('128') || !status.includes('寻卡失败')) fail(`status ${status}`);
    if (!(await page.isHidden('#card'))) fail('card shown on failure');
  } else if (mode === 'down') {
    // The hint names the port the page was told to use.
    const port = new URL(url).searchParams.get('port') ?? '10012';
    if (!status.includes(`端口 ${port}`) || (await page.getAttribute('#status', 'class')) !== 'hint') fail(`status ${status}`);
  } else {
    fail('unknown mode');
  }
  if (mode !== 'down' && consoleErrors.length) fail(`console errors: ${consoleErrors.join('; ')}`);
  if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`${mode}: ${status}`);
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
