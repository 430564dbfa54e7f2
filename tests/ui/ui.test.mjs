// The browser UI in headless Chromium against the real gateway and modbus-sim.
// Environment (set by ctest): BRIO_APP_DIR (the staged build/app), BRIO_BINARY_DIR.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { allTexts } from '../../www/js/i18n.js';
import { parseReply, splitValues } from '../../www/js/api.js';
import { writeRuns, parseRegisterList } from '../../www/js/registers.js';

const appDir = process.env.BRIO_APP_DIR;
const shots = path.join(process.env.BRIO_BINARY_DIR || '.', 'ui-screenshots');
const chromiumFlags = ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

const children = [];
const problems = []; // console errors, page errors, failed requests
let tmp, context, page, base, simPort, peerDir, mailDir;

// ---------- processes ----------

function startChild(program, args, options, readyPattern) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  children.push(child);
  let output = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${path.basename(program)} did not start:\n${output}`)), 20000);
    const look = (chunk) => {
      output += chunk;
      const m = readyPattern.exec(output);
      if (m) { clearTimeout(timer); resolve(m); }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', look);
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`${path.basename(program)} ended (${code}):\n${output}`)); });
  });
}

function stopChildren() {
  for (const child of children) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
}
process.on('exit', stopChildren);
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => { stopChildren(); process.exit(130); });

function freeTcpPort() {
  return new Promise((resolve) => {
    const server = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A stand-in for curl: keeps its arguments and the file it would upload,
// says nothing and succeeds, so no report leaves the machine.
function fakeMailTool(dir) {
  const script = path.join(dir, 'fake-curl.sh');
  fs.writeFileSync(script, `#!/bin/sh
printf '%s\\n' "$@" > '${dir}/args.txt'
while [ $# -gt 0 ]; do
  case "$1" in -T|--upload-file) cp "$2" '${dir}/message.txt'; shift ;; esac
  shift
done
exit 0
`, { mode: 0o755 });
  return script;
}

// ---------- page helpers ----------

const reads = () => page.locator('#regTable').getAttribute('data-reads').then((v) => Number(v || 0));

async function setRegisters({ addr, count = 1, type = 'int', regSize = '16', valSize = '16', prec = 2 }) {
  await page.getByLabel('Register address', { exact: true }).fill(String(addr));
  await page.getByLabel('Count', { exact: true }).fill(String(count));
  await page.getByLabel('Value type').selectOption(type);
  await page.getByLabel('Register size').selectOption(regSize);
  await page.getByLabel('Value size').selectOption(valSize);
  await page.getByLabel('Precision').fill(String(prec));
}

async function readValues() {
  const before = await reads();
  await page.getByRole('button', { name: 'Read', exact: true }).click();
  await page.waitForFunction((n) => Number(document.getElementById('regTable').dataset.reads || 0) > n, before);
  return page.getByRole('table', { name: 'Registers' }).getByRole('textbox').evaluateAll((els) => els.map((e) => e.value));
}

const alertIn = (card) => page.locator(`#${card}`);

async function shot(name) {
  await page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: false });
}

// ---------- set-up ----------

before(async () => {
  assert.ok(appDir && fs.existsSync(path.join(appDir, 'Brio')), 'BRIO_APP_DIR must name the built app directory');
  fs.mkdirSync(shots, { recursive: true });
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'brio-ui-'));
  fs.cpSync(appDir, path.join(tmp, 'app'), { recursive: true });

  // The demo slave also answers the gateway's device search.
  const sim = await startChild(path.join(appDir, 'modbus-sim'), ['--host', '127.0.0.1', '--port', '0', '--discovery-port', '0'],
    {}, /discovery on 127\.0\.0\.1:(\d+)\s+modbus-sim listening on 127\.0\.0\.1:(\d+)/);
  simPort = Number(sim[2]);

  // The update server offers version 1.1 of the shipped example module.
  peerDir = path.join(tmp, 'updates');
  fs.cpSync(path.join(appDir, 'www', 'modules', 'example'), path.join(peerDir, 'files', 'modules', 'example'), { recursive: true });
  fs.appendFileSync(path.join(peerDir, 'files', 'modules', 'example', 'example.css'), '/* 1.1 */\n');
  fs.writeFileSync(path.join(peerDir, 'answer.bin'), '[{"name":"example","version":"1.1"}]');
  const peer = await startChild('/usr/bin/python3', [path.join(import.meta.dirname, '..', 'support', 'peers', 'update_server.py'), peerDir],
    {}, /port (\d+)/);

  mailDir = path.join(tmp, 'mail');
  fs.mkdirSync(mailDir);
  const httpPort = await freeTcpPort();
  fs.writeFileSync(path.join(tmp, 'app', 'config.ini'),
    `[listener]\nhost=127.0.0.1\nport=${httpPort}\nreadTimeout=30000\nmaxMultiPartSize=10000000\n`
    + '[docroot]\npath=www\n[modbus]\nextraPorts=\n'
    + `[updates]\nupdateServer=http://127.0.0.1:${peer[1]}/\ntransferTimeout=10000\n`
    + `[discovery]\nbroadcastAddress=127.0.0.1\nport=${sim[1]}\n`
    + `[email]\nserver=127.0.0.1\ncurl=${fakeMailTool(mailDir)}\n`);
  const env = { ...process.env, QT_QPA_PLATFORM: 'offscreen', XDG_CONFIG_HOME: path.join(tmp, 'xdg') };
  for (const name of ['LANG', 'LC_ALL', 'LC_MESSAGES', 'LANGUAGE']) delete env[name];
  await startChild(path.join(tmp, 'app', 'Brio'), ['-r'], { cwd: tmp, env }, /HttpListener: Listening on port/);
  base = `http://127.0.0.1:${httpPort}/`;

  context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: '/usr/bin/chromium', headless: true, args: chromiumFlags,
    viewport: { width: 1366, height: 768 }, acceptDownloads: true,
  });
  page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(10000);
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('response', (r) => { if (r.status() >= 400) problems.push(`HTTP ${r.status()} ${r.url()}`); });
  page.on('requestfailed', (r) => { if (!r.url().startsWith('blob:')) problems.push(`failed ${r.url()}`); });
});

after(async () => {
  try { if (context) await context.close(); } finally {
    stopChildren();
    if (tmp) fs.rmSync(tmp, { recursive: true, force: true });
  }
});

// ---------- tests ----------

test('every language translates every text', () => {
  const keys = Object.keys(allTexts.EN).sort();
  for (const [lang, texts] of Object.entries(allTexts)) {
    assert.deepEqual(Object.keys(texts).sort(), keys, lang);
    if (lang !== 'EN') assert.notEqual(texts['btn.read'], allTexts.EN['btn.read'], lang);
  }
});

test('replies, write runs and register files are read as the gateway writes them', () => {
  const replies = [
    ['', { error: '', kind: 'empty' }],
    ['{"error":"Protocol error! Connection "reset""}', { error: 'Protocol error! Connection "reset"', kind: 'gateway' }],
    ['ok', { ok: true, data: undefined, text: 'ok' }],
  ];
  for (const [text, expected] of replies) assert.deepEqual(parseReply(text), expected, text);
  assert.deepEqual(splitValues('[12.50,-1,1.23457e+06,nan]'), ['12.50', '-1', '1.23457e+06', 'nan']);
  assert.equal(splitValues('{"error":"x"}'), null);
  const rows = (list) => list.map(([address, value]) => ({ address, value }));
  assert.deepEqual(writeRuns(rows([[4, 'c'], [0, 'a'], [2, 'b'], [8, 'd']]), 2),
    [{ start: 0, values: ['a', 'b', 'c'] }, { start: 8, values: ['d'] }]);
  assert.equal(writeRuns(rows(Array.from({ length: 201 }, (_, i) => [i, '1'])), 1).length, 2);
  assert.deepEqual(parseRegisterList('Address,Value\r\n1,5\n2; -3.5\n3\t7\n# x\n70000,1\n4,abc\n'),
    rows([[1, '5'], [2, '-3.5'], [3, '7']]));
});

test('loads offline with every named control, and is measured', async () => {
  await page.goto(base);
  await page.waitForSelector('body[data-ready="1"]');
  const labels = ['Connection type', 'IP address', 'TCP port', 'Serial port', 'Baud rate', 'Mode', 'Slave ID',
    'Timeout (ms)', 'Table', 'Register address', 'Count', 'Value type', 'Register size', 'Value size', 'Byte order',
    'Precision', 'Poll interval (ms)', 'Language', 'Units', 'Baud rates', 'Line modes'];
  for (const name of labels) assert.equal(await page.getByLabel(name, { exact: true }).count(), 1, name);
  const buttons = ['Connect', 'Disconnect', 'Read', 'Write', 'Start polling', 'Stop polling', 'Identify', 'Search devices',
    'Export CSV', 'Export PDF', 'Load file', 'Check for updates', 'Send report', 'Start scan', 'Stop scan',
    'Pause traffic', 'Clear traffic', 'Export traffic', 'Reset statistics'];
  for (const name of buttons) {
    assert.equal(await page.getByRole('button', { name, exact: true, includeHidden: true }).count(), 1, name);
  }
  assert.equal(await page.getByRole('status').first().textContent(), 'Not connected');
  assert.deepEqual(await page.getByLabel('Connection type').locator('option').allTextContents(),
    ['Modbus TCP', 'Serial RTU', 'Modbus RTU over TCP']);
  // Nothing stored yet: the form offers the demo slave.
  assert.equal(await page.getByLabel('IP address').inputValue(), '127.0.0.1');
  assert.equal(await page.getByLabel('TCP port').inputValue(), '1502');
  const m = await page.evaluate(() => {
    const nav = performance.getEntriesByType('navigation')[0];
    const all = [nav, ...performance.getEntriesByType('resource')];
    return {
      loadMs: Math.round(nav.loadEventEnd), domContentLoadedMs: Math.round(nav.domContentLoadedEventEnd),
      files: all.length, bytes: all.reduce((s, e) => s + e.encodedBodySize, 0),
      each: Object.fromEntries(all.map((e) => [new URL(e.name).pathname + new URL(e.name).search, e.encodedBodySize])),
    };
  });
  fs.writeFileSync(path.join(shots, 'metrics.json'), JSON.stringify(m, null, 1));
  console.log(`page load: ${m.loadMs} ms, ${m.files} files, ${m.bytes} bytes`);
  assert.ok(m.bytes > 0 && m.bytes < 300000, `page weight ${m.bytes}`);
});

test('shows the gateway\'s words for a refused connection and a bad request', async () => {
  await page.getByLabel('Connection type').selectOption('tcp');
  await page.getByLabel('IP address').fill('127.0.0.1');
  await page.getByLabel('TCP port').fill(String(await freeTcpPort()));
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#connError', { hasText: 'Could not connect to Modbus TCP!' }).waitFor();
  await setRegisters({ addr: 0, count: 2 });
  await readValues();
  assert.equal(await alertIn('regError').textContent(), 'Not connected');
  assert.equal(await page.getByRole('alert').filter({ hasText: 'Not connected' }).count(), 1);
});

test('connects over TCP and reads typed values of the demo slave', async () => {
  await page.getByLabel('Connection type').selectOption('tcp');
  await page.getByLabel('IP address').fill('127.0.0.1');
  await page.getByLabel('TCP port').fill(String(simPort));
  await page.getByLabel('Slave ID').fill('1');
  await page.getByLabel('Timeout (ms)').fill('1000');
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#connState[data-state="on"]').waitFor();
  assert.equal(await page.locator('#message').textContent(), 'Connected with Modbus TCP.');
  const cases = [
    [{ addr: 1 }, ['1234']],
    [{ addr: 8 }, ['-1']],
    [{ addr: 8, type: 'uint' }, ['65535']],
    [{ addr: 2, type: 'float4321', valSize: '32' }, ['12.5']],
    [{ addr: 4, type: 'float1234', valSize: '32', prec: 5 }, ['3.14159']],
    [{ addr: 6, type: 'int', valSize: '32' }, ['-100000']],
    [{ addr: 5001, regSize: '32', valSize: '32', type: 'float4321' }, ['12.50']],
    [{ addr: 5002, count: 2, regSize: '32', valSize: '32', type: 'uint' }, ['123456789', '4294967295']],
  ];
  for (const [form, expected] of cases) {
    await setRegisters(form);
    assert.deepEqual(await readValues(), expected, JSON.stringify(form));
  }
});

test('reads coils and input registers of the demo slave', async () => {
  await page.getByLabel('Table', { exact: true }).selectOption('coils');
  await page.getByLabel('Register address', { exact: true }).fill('0');
  await page.getByLabel('Count', { exact: true }).fill('4');
  await readValues();
  const coils = page.getByRole('table', { name: 'Registers' }).getByRole('checkbox', { name: /^Value at address/ });
  assert.deepEqual(await coils.evaluateAll((els) => els.map((e) => e.checked)), [false, true, false, true]);
  await page.getByLabel('Table', { exact: true }).selectOption('input');
  await setRegisters({ addr: 100, type: 'float', valSize: '32' });
  assert.deepEqual(await readValues(), ['12.50']);
  await setRegisters({ addr: 5, count: 2, type: 'uint' });
  assert.deepEqual(await readValues(), ['5', '6']);
  await page.getByLabel('Table', { exact: true }).selectOption('holding');
});

test('a request the gateway refuses is reported next to the registers', async () => {
  await setRegisters({ addr: 0, count: 201 });
  await readValues();
  assert.equal(await alertIn('regError').textContent(), 'Too many registers');
});

test('edits values in the table, writes them and reads them back', async () => {
  await setRegisters({ addr: 100, count: 3, type: 'float4321', valSize: '32' });
  assert.deepEqual(await readValues(), ['0', '0', '0']);
  await page.getByLabel('Value at address 100').fill('12.5');
  await page.getByLabel('Value at address 104').fill('-3.25');
  await page.getByRole('button', { name: 'Write' }).click();
  await page.locator('#message', { hasText: 'Values successfully sent.' }).waitFor();
  assert.deepEqual(await readValues(), ['12.5', '0', '-3.25']);
});

test('only the page writes: another local site, its frames and a plain navigation are refused', async () => {
  // The page's own fetch passes on its fetch metadata alone (proof a).
  assert.equal(await page.evaluate(() => fetch('ajax.html?func=getGeneralInfo', { cache: 'no-store' }).then((r) => r.status)), 200);
  const write = (value) => `${base}ajax.html?func=writeRegisters&regAddr=150&valuesCnt=1&regVals=%5B${value}%5D`
    + '&regType=int&regSize=16&valSize=16';
  const register150 = async () => { await setRegisters({ addr: 150 }); return readValues(); };
  assert.deepEqual(await register150(), ['0']);

  // A page of another origin on this machine tries everything a page can.
  const evilHtml = `<!DOCTYPE html><body>
<img src="${write(4242)}" alt="">
<iframe src="${write(4242)}"></iframe>
<iframe id="ui" src="${base}"></iframe>
<iframe name="sink"></iframe>
<form method="POST" action="${base}ajax.html" target="sink">
  <input name="func" value="writeRegisters"><input name="regAddr" value="150"><input name="valuesCnt" value="1">
  <input name="regVals" value="[4242]"><input name="regType" value="int">
</form>
<iframe srcdoc="<script>fetch('${write(4242)}', { mode: 'no-cors' })</script>"></iframe>
<script>
  window.results = [];
  fetch('${write(4242)}', { headers: { 'X-Requested-With': 'XMLHttpRequest' } })
    .then((r) => results.push('fetch ' + r.status), () => results.push('fetch refused'));
  fetch('${write(4242)}', { mode: 'no-cors' }).then((r) => results.push('no-cors ' + r.type), () => results.push('no-cors refused'));
  document.forms[0].submit();
</script>`;
  const evil = http.createServer((req, res) => { res.setHeader('Content-Type', 'text/html'); res.end(evilHtml); });
  await new Promise((resolve) => evil.listen(0, '127.0.0.1', resolve));
  const other = await context.newPage();
  try {
    await other.goto(`http://127.0.0.1:${evil.address().port}/`);
    await other.waitForFunction(() => window.results.length === 2);
    await other.waitForLoadState('load');
    assert.deepEqual((await other.evaluate(() => window.results)).sort(), ['fetch refused', 'no-cors opaque']);
    // The gateway's page does not show inside another site's frame.
    for (const frame of other.frames()) {
      if (frame !== other.mainFrame()) assert.equal(await frame.locator('#tabs').count().catch(() => 0), 0, frame.url());
    }
    // A navigation the page did not start: a link in a mail, a bookmark, the address bar.
    assert.equal((await other.goto(write(4242))).status(), 403);
  } finally {
    await other.close();
    await new Promise((resolve) => evil.close(resolve));
  }
  assert.deepEqual(await register150(), ['0']);

  // The same call with the page's header does write: the refusals above were the guard's.
  const allowed = await fetch(write(4242), { headers: { 'X-Requested-With': 'XMLHttpRequest' } });
  assert.equal(allowed.status, 200);
  assert.deepEqual(await register150(), ['4242']);
});

test('polls without overlap until the chart shows points, then stops', async () => {
  await setRegisters({ addr: 0, count: 10 });
  await page.getByLabel('Poll interval (ms)').fill('200');
  let inFlight = 0;
  let overlap = false;
  const onRequest = (r) => { if (r.url().includes('func=readRegisters')) { inFlight++; if (inFlight > 1) overlap = true; } };
  const onDone = (r) => { if (r.url().includes('func=readRegisters')) inFlight--; };
  page.on('request', onRequest);
  page.on('requestfinished', onDone);
  await page.getByRole('button', { name: 'Start polling' }).click();
  await page.waitForFunction(() => Number(document.getElementById('chartPoints').dataset.points) >= 4, null, { timeout: 20000 });
  await shot('main-1366x768');
  await page.getByRole('button', { name: 'Stop polling' }).click();
  await page.locator('#regTable[aria-busy="false"]').waitFor(); // a read in flight still lands
  page.off('request', onRequest);
  page.off('requestfinished', onDone);
  assert.equal(overlap, false, 'two reads were in flight at once');
  assert.ok(await page.getByRole('button', { name: 'Start polling' }).isEnabled());
  const seconds = await page.getByLabel('Value at address 1').inputValue();
  assert.equal(seconds, '1234');
  await page.getByRole('button', { name: 'Clear chart' }).click();
  assert.equal(await page.locator('#chartPoints').getAttribute('data-points'), '0');
});

test('identifies the slave', async () => {
  await page.getByRole('button', { name: 'Identify' }).click();
  await page.locator('#identObjects:not([hidden])').waitFor();
  assert.match(await page.locator('#identObjects').textContent(), /0x82VendorNameBrioProductCodemodbus-sim/);
});

test('finds the demo slave by device search and fills the TCP form with it', async () => {
  await page.getByLabel('TCP port').fill('1');
  await page.getByLabel('IP address').fill('10.0.0.1');
  await page.getByRole('button', { name: 'Search devices' }).click();
  const use = page.getByRole('button', { name: 'Use Brio modbus-sim' });
  await use.waitFor({ timeout: 15000 });
  assert.equal(await page.locator('#searchInfo').textContent(), 'Devices found: 1');
  await page.locator('#deviceList').scrollIntoViewIfNeeded();
  await shot('device-search');
  await use.click();
  assert.equal(await page.getByLabel('IP address').inputValue(), '127.0.0.1');
  assert.equal(await page.getByLabel('TCP port').inputValue(), String(simPort));
  assert.equal(await page.getByLabel('Slave ID').inputValue(), '1');
});

test('finds the demo slave by a bus scan, takes it into the form and reads it', async () => {
  await page.getByLabel('Connection type').selectOption('tcp');
  await page.getByLabel('IP address').fill('127.0.0.1');
  await page.getByLabel('TCP port').fill(String(simPort));
  await page.getByLabel('Slave ID').fill('9');
  await page.getByLabel('Units', { exact: true }).fill('1-2');
  await page.getByRole('button', { name: 'Start scan' }).click();
  await page.locator('#scanInfo', { hasText: 'Units found: 2' }).waitFor({ timeout: 15000 });
  const bar = page.getByRole('progressbar', { name: 'Bus scan' });
  assert.equal(await bar.evaluate((el) => `${el.value}/${el.max}`), '2/2');
  assert.ok(await page.getByRole('button', { name: 'Start scan' }).isEnabled());
  assert.ok(await page.getByRole('button', { name: 'Stop scan' }).isDisabled());
  const results = page.getByRole('list', { name: 'Bus scan' }).getByRole('listitem');
  assert.deepEqual(await results.allTextContents(), ['Unit 1: okUse', 'Unit 2: okUse']);
  await page.getByLabel('Slave ID').fill('9');
  await results.first().getByRole('button', { name: 'Use', exact: true }).click();
  assert.equal(await page.getByLabel('Slave ID').inputValue(), '1');
  assert.equal(await page.getByLabel('TCP port').inputValue(), String(simPort));
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await page.locator('#connState[data-state="on"]').waitFor();
  await setRegisters({ addr: 1 });
  assert.deepEqual(await readValues(), ['1234']);
  await page.locator('#scanResults').scrollIntoViewIfNeeded();
  await shot('bus-scan');
});

test('shows every frame in the Traffic tab, with counters, and exports them', async () => {
  await page.getByRole('tab', { name: 'Traffic' }).click();
  const frames = page.getByRole('table', { name: 'Frames' });
  const headers = await frames.getByRole('columnheader').allTextContents();
  assert.deepEqual(headers, ['Time', 'Direction', 'Unit', 'Function', 'Bytes', 'RTT', 'Result']);
  // The scan's probes went out as Modbus TCP frames with their MBAP header.
  await frames.getByRole('cell', { name: '00 00 00 00 00 06 02 03 00 00 00 01', exact: true }).first().waitFor();
  const status = page.getByRole('status').filter({ hasText: 'Requests:' });
  assert.match(await status.textContent(), /^Requests: \d+ · Errors: \d+ · p95 RTT: \d+(\.\d+)? ms$/);
  await shot('tab-traffic');

  const [csv] = await Promise.all([page.waitForEvent('download'), page.getByRole('button', { name: 'Export traffic' }).click()]);
  const lines = fs.readFileSync(await csv.path(), 'utf8').split('\r\n');
  assert.equal(lines[0], 'Seq,Time,Direction,Unit,Function,Bytes,RTT (us),Result');
  assert.ok(lines.some((l) => /^\d+,[^,]+,rx,1,3,00 00 00 00 00 05 01 03 02 04 D2,\d+,ok$/.test(l)), lines.join('\n'));

  await page.getByRole('button', { name: 'Pause traffic' }).click();
  assert.equal(await page.getByRole('button', { name: 'Pause traffic' }).getAttribute('aria-pressed'), 'true');
  await page.getByRole('button', { name: 'Pause traffic' }).click();
  await page.getByRole('button', { name: 'Clear traffic' }).click();
  await page.locator('#trafficEmpty:not([hidden])').waitFor();
  assert.equal(await frames.locator('tbody tr').count(), 0);
  await page.getByRole('button', { name: 'Reset statistics' }).click();
  await status.filter({ hasText: 'Requests: 0 · Errors: 0 · p95 RTT: 0.00 ms' }).waitFor();
  await page.getByRole('tab', { name: 'Device' }).click();
});

test('exports the table as CSV and as PDF', async () => {
  await setRegisters({ addr: 1, count: 2 });
  await readValues();
  const [csv] = await Promise.all([page.waitForEvent('download'), page.getByRole('button', { name: 'Export CSV' }).click()]);
  assert.match(csv.suggestedFilename(), /\.csv$/);
  assert.equal(fs.readFileSync(await csv.path(), 'utf8'), 'Address,Value\r\n1,1234\r\n2,16712\r\n');
  const [pdf] = await Promise.all([page.waitForEvent('download'), page.getByRole('button', { name: 'Export PDF' }).click()]);
  assert.equal(fs.readFileSync(await pdf.path()).subarray(0, 4).toString('latin1'), '%PDF');
});

test('loads a register list from a file and writes it', async () => {
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.getByRole('button', { name: 'Load file' }).click()]);
  await setRegisters({ addr: 0, count: 1 }); // type int, 16 bits for the loaded rows
  await chooser.setFiles({ name: 'values.csv', mimeType: 'text/csv', buffer: Buffer.from('Address,Value\n200,7\n201;-2\n203 300\n') });
  await page.getByLabel('Value at address 203').waitFor();
  await page.getByRole('button', { name: 'Write' }).click();
  await page.locator('#message', { hasText: 'Values successfully sent.' }).waitFor();
  // Two runs (200-201, 203): the message comes after the first.
  await page.locator('#regTable tr.dirty').first().waitFor({ state: 'detached' });
  await setRegisters({ addr: 200, count: 4 });
  assert.deepEqual(await readValues(), ['7', '-2', '0', '300']);
});

test('switches language, keeps it after a reload, and switches back', async () => {
  await page.getByLabel('Language').selectOption('PL');
  assert.equal(await page.locator('html').getAttribute('lang'), 'pl');
  assert.equal(await page.getByRole('button', { name: 'Odczytaj' }).count(), 1);
  await page.reload();
  await page.waitForSelector('body[data-ready="1"]');
  assert.equal(await page.locator('html').getAttribute('lang'), 'pl');
  await shot('main-pl');
  await page.getByLabel('Język').selectOption('EN');
  assert.equal(await page.locator('html').getAttribute('lang'), 'en');
  assert.equal(await page.getByRole('button', { name: 'Read', exact: true }).count(), 1);
});

test('fits a 400 px window', async () => {
  await page.setViewportSize({ width: 400, height: 800 });
  await setRegisters({ addr: 0, count: 4 });
  await readValues();
  await page.evaluate(() => window.scrollTo(0, 0));
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `page is ${overflow} px wider than the window`);
  await page.screenshot({ path: path.join(shots, 'narrow-400.png'), fullPage: true });
  await page.setViewportSize({ width: 1366, height: 768 });
  await page.getByRole('tab', { name: 'Device' }).click();
});

test('the example module gets its tab, and an update of it installs', async () => {
  await page.getByRole('tab', { name: 'Modules' }).click();
  await page.getByRole('tab', { name: 'example' }).click();
  assert.ok(await page.locator('link[href="modules/example/example.css"]').count());
  await page.getByRole('button', { name: 'Refresh meter' }).click(); // the module's own html and js
  await page.locator('.example-value[data-reg="1"]', { hasText: '1234' }).waitFor();
  await shot('tab-modules');
  await page.getByRole('tab', { name: 'Modules' }).focus();

  await page.keyboard.press('ArrowRight'); // tabs follow the arrow keys
  assert.equal(await page.getByRole('tab', { name: 'Updates' }).getAttribute('aria-selected'), 'true');
  await page.getByRole('button', { name: 'Check for updates' }).click();
  await page.getByRole('checkbox', { name: 'Install example' }).waitFor();
  const posted = fs.readFileSync(path.join(peerDir, 'posted.bin'), 'utf8');
  assert.deepEqual(JSON.parse(posted.replace(/^json=/, '')).modules, ['example']);
  await page.getByRole('button', { name: 'Install selected' }).click();
  await page.locator('#updStatus', { hasText: 'Completed correctly.' }).waitFor({ timeout: 20000 });
  assert.match(fs.readFileSync(path.join(tmp, 'app', 'www', 'modules', 'example', 'example.css'), 'utf8'), /\/\* 1\.1 \*\/\n$/);
  await shot('tab-updates');
});

test('a report reaches the mail tool whole, and the next one gets the time-left answer', async () => {
  const message = 'Hello, the meter shows Error: 5\n"quoted" {braced} 100% + 50%41 \\n über';
  await page.getByRole('tab', { name: 'Report' }).click();
  await page.getByLabel('Name', { exact: true }).fill('Ann, Jr.');
  await page.getByLabel('E-mail').fill('ann@example.com');
  await page.getByLabel('Message').fill(message);
  await page.getByRole('button', { name: 'Send report' }).click();
  await page.locator('#message', { hasText: 'The report was sent. Thank you.' }).waitFor();
  const sent = fs.readFileSync(path.join(mailDir, 'message.txt'), 'utf8');
  assert.ok(sent.startsWith('Subject: Ann, Jr.  sent a message.\r\n'), sent);
  assert.ok(sent.includes('\r\nClient email   ann@example.com\r\n'), sent);
  assert.ok(sent.endsWith(`\r\nClient message   \r\n${message.replace('\n', ' ')}\r\n`), sent);
  assert.ok(fs.readFileSync(path.join(mailDir, 'args.txt'), 'utf8').includes('smtps://127.0.0.1:465\n'));

  await new Promise((resolve) => setTimeout(resolve, 1100)); // the window counts whole seconds
  await page.getByRole('button', { name: 'Send report' }).click();
  await page.locator('#repError', { hasText: /in 89\d s/ }).waitFor();
  await shot('tab-report');
  await page.getByRole('tab', { name: 'Device' }).click();
});

test('a two-tag project runs on the gateway and its values arrive live', async () => {
  await page.getByRole('tab', { name: 'Project' }).click();
  await page.getByRole('button', { name: 'New project' }).click();
  await page.getByLabel('Project name').fill('ui_demo');
  await page.getByRole('button', { name: 'Add device' }).click();
  await page.getByLabel('Device 1 name').fill('sim');
  await page.getByLabel('Device 1 host').fill('127.0.0.1');
  await page.getByLabel('Device 1 tcp port').fill(String(simPort));
  await page.getByRole('button', { name: 'Add tag' }).click();
  await page.getByLabel('Tag 1 name').fill('fixed');
  await page.getByLabel('Tag 1 address').fill('1');
  await page.getByLabel('Tag 1 poll (ms)').fill('200');
  await page.getByRole('button', { name: 'Add tag' }).click();
  await page.getByLabel('Tag 2 name').fill('level');
  await page.getByLabel('Tag 2 address').fill('2');
  await page.getByLabel('Tag 2 type').selectOption('float');
  await page.getByLabel('Tag 2 size').selectOption('32');
  await page.getByLabel('Tag 2 scale').fill('2');
  await page.getByLabel('Tag 2 poll (ms)').fill('200');
  assert.equal(await page.getByLabel('Tag 2 device').inputValue(), 'sim');
  await page.getByRole('button', { name: 'Start project' }).click();

  // Values come in over the event stream, not by the page polling.
  const values = page.getByRole('table', { name: 'Live values' });
  await values.locator('tr[data-tag="fixed"][data-quality="ok"] td', { hasText: /^1234$/ }).waitFor();
  await values.locator('tr[data-tag="level"][data-quality="ok"] td', { hasText: /^25$/ }).waitFor();
  const updates = Number(await values.getAttribute('data-updates'));
  await page.waitForFunction((n) => Number(document.getElementById('valuesTable').dataset.updates) > n + 2, updates);
  assert.match(await page.getByRole('status').filter({ hasText: 'MQTT' }).textContent(), /^MQTT: not connected/);
  await shot('tab-project');

  await page.getByRole('button', { name: 'Refresh logs' }).click();
  const link = page.getByRole('link', { name: /^ui_demo-\d{4}-\d\d-\d\d\.csv$/ });
  const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
  const csv = fs.readFileSync(await download.path(), 'utf8');
  assert.ok(csv.startsWith('time,fixed,level\n'), csv.slice(0, 80));

  await page.getByRole('button', { name: 'Stop project' }).click();
  await page.locator('#runState', { hasText: 'Not running' }).waitFor();
  await page.getByRole('tab', { name: 'Device' }).click();
});

test('no console error, page error or failed request', () => {
  assert.deepEqual(problems, []);
});
