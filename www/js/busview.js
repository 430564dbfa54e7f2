// The bus as the gateway sees it: the frames it sent and received, its
// counters, and the scan for units on a line.
import { ajax } from './api.js';
import { t } from './i18n.js';

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The table keeps the newest rows only, so a long session stays light.
const maxRows = 2000;
const trafficEveryMs = 1000;
const scanEveryMs = 300;

const traffic = { next: 0, paused: false, shown: false, loop: null, stats: null };
const scan = { running: false, results: [], link: null };
// The page's own message helpers and its connection form, given by wireBusView.
let hooks = { say: () => {}, showReply: () => {}, clearError: () => {}, useUnit: () => {} };

// ---------- pure helpers (exported for the tests) ----------

export function frameTime(ms) {
  const d = new Date(ms);
  const p = (n, w = 2) => String(n).padStart(w, '0');
  return `${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}.${p(d.getMilliseconds(), 3)}`;
}

export function rttText(frame) {
  if (frame.dir === 'tx') return '';
  const us = Number(frame.rttUs) || 0;
  return us < 10000 ? `${(us / 1000).toFixed(2)} ms` : `${Math.round(us / 1000)} ms`;
}

const csvField = (value) => {
  const text = String(value ?? '');
  return /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
};

export function trafficCsv(frames) {
  const head = 'Seq,Time,Direction,Unit,Function,Bytes,RTT (us),Result';
  const lines = frames.map((f) => [f.seq, new Date(f.t).toISOString(), f.dir, f.unit, f.fc, f.hex, f.rttUs, f.result]
    .map(csvField).join(','));
  return [head, ...lines].join('\r\n') + '\r\n';
}

export function statsSummary(s) {
  const exceptions = Object.values(s.exceptions || {}).reduce((a, n) => a + Number(n || 0), 0);
  const errors = Number(s.timeouts || 0) + Number(s.crcErrors || 0) + exceptions;
  const p95 = Number(s.rttUs?.p95 || 0);
  return { requests: Number(s.requests || 0), errors, p95: p95 < 10000 ? (p95 / 1000).toFixed(2) : String(Math.round(p95 / 1000)) };
}

// ---------- traffic ----------

function frameRow(f) {
  const tr = document.createElement('tr');
  tr.dataset.seq = f.seq;
  if (f.result !== 'ok') tr.className = 'bad';
  const cells = [frameTime(f.t), f.dir, f.unit, f.fc, f.hex, rttText(f), f.result];
  tr.append(...cells.map((text, i) => {
    const td = document.createElement(i === 0 ? 'th' : 'td');
    if (i === 0) td.scope = 'row';
    if (i === 4) td.className = 'mono';
    td.textContent = String(text ?? '');
    return td;
  }));
  return tr;
}

function addFrames(frames) {
  if (!frames.length) return;
  const body = $('trafficTable').tBodies[0];
  body.append(...frames.map(frameRow));
  while (body.rows.length > maxRows) body.rows[0].remove();
  $('trafficEmpty').hidden = body.rows.length > 0;
  const wrap = $('trafficWrap');
  wrap.scrollTop = wrap.scrollHeight;
}

async function pollTraffic() {
  // The answer holds at most 1000 frames: ask again at once while more wait.
  for (let round = 0; round < 20; round++) {
    const reply = await ajax('getTraffic', { since: traffic.next });
    if (reply.error !== undefined) { hooks.showReply('trafficError', reply); return; }
    const d = reply.data || {};
    const frames = Array.isArray(d.frames) ? d.frames : [];
    hooks.clearError('trafficError');
    traffic.next = Number(d.next) || traffic.next;
    addFrames(frames);
    if (frames.length < 1000) return;
  }
}

async function pollStats() {
  const reply = await ajax('getStats');
  if (reply.error !== undefined || !reply.data) return;
  traffic.stats = reply.data;
  renderStats();
}

export function renderStats() {
  if (!traffic.stats) return;
  $('busStats').textContent = t('bus.stats', statsSummary(traffic.stats));
}

async function trafficLoop() {
  while (traffic.shown) {
    if (!traffic.paused) await pollTraffic();
    await pollStats();
    await sleep(trafficEveryMs);
  }
  traffic.loop = null;
}

// Polls only while the Traffic tab is on screen.
export function showTraffic(shown) {
  traffic.shown = shown;
  if (shown && !traffic.loop) traffic.loop = trafficLoop();
}

function togglePause() {
  traffic.paused = !traffic.paused;
  $('pauseTraffic').setAttribute('aria-pressed', String(traffic.paused));
}

async function clearTraffic() {
  const reply = await ajax('clearTraffic');
  if (reply.error !== undefined) { hooks.showReply('trafficError', reply); return; }
  $('trafficTable').tBodies[0].replaceChildren();
  $('trafficEmpty').hidden = false;
}

// Everything the gateway still holds, page by page, as one CSV file.
async function exportTraffic(button) {
  button.disabled = true;
  try {
    const frames = [];
    let since = 0;
    for (;;) {
      const reply = await ajax('getTraffic', { since });
      if (reply.error !== undefined) { hooks.showReply('trafficError', reply); return; }
      const page = Array.isArray(reply.data?.frames) ? reply.data.frames : [];
      frames.push(...page);
      if (page.length < 1000) break;
      since = Number(reply.data.next);
    }
    const blob = new Blob([trafficCsv(frames)], { type: 'text/csv' });
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    const d = new Date();
    a.download = `brio-traffic-${d.toISOString().slice(0, 19).replace(/[-:]/g, '').replace('T', '-')}.csv`;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  } finally {
    button.disabled = false;
  }
}

async function resetStats() {
  const reply = await ajax('resetStats');
  if (reply.error !== undefined) { hooks.showReply('trafficError', reply); return; }
  await pollStats();
}

// ---------- scan ----------

function resultItem(found) {
  const li = document.createElement('li');
  const text = document.createElement('span');
  text.id = `scanResult-${scan.results.indexOf(found)}`;
  const line = found.baud === undefined ? '' : `, ${found.baud} ${t('scan.baud')}, ${modeLabel(found.mode)}`;
  text.textContent = `${t('scan.unit', { n: found.unit })}${line}: ${found.reply}`;
  const use = document.createElement('button');
  use.type = 'button';
  use.textContent = t('scan.use');
  use.setAttribute('aria-describedby', text.id);
  use.addEventListener('click', () => hooks.useUnit(scan.link, found));
  li.append(text, use);
  return li;
}

function modeLabel(mode) {
  const option = [...$('mode').options].find((o) => o.value === String(mode));
  return option ? option.textContent : String(mode);
}

export function renderScan() {
  $('scanResults').replaceChildren(...scan.results.map(resultItem));
}

function setScanButtons() {
  $('startScan').disabled = scan.running;
  $('stopScan').disabled = !scan.running;
}

// What the connection form names, with the scan's own fields.
function scanParams() {
  const type = $('connType').value;
  const params = { connType: type, units: $('scanUnits').value.trim(), timeoutMs: $('scanTimeout').value };
  if (type === 'serial') {
    Object.assign(params, { portSelect: $('serialPort').value, bauds: $('scanBauds').value.trim(), modes: $('scanModes').value.trim() });
  } else {
    Object.assign(params, { ipAddres_tcp: $('ipAddress').value.trim(), port_tcp: $('tcpPort').value });
  }
  return params;
}

async function startScan() {
  hooks.clearError('scanError');
  const params = scanParams();
  if (params.connType === 'serial' && !params.portSelect) { hooks.say('scanError', 'conn.noPorts'); return; }
  const reply = await ajax('startScan', params);
  if (reply.error !== undefined) { hooks.showReply('scanError', reply); return; }
  scan.link = params;
  scan.running = true;
  scan.results = [];
  renderScan();
  setScanButtons();
  $('scanBar').value = 0;
  hooks.say('scanInfo', 'scan.running');
  while (scan.running) {
    await sleep(scanEveryMs);
    const status = await ajax('getScanStatus');
    if (status.error !== undefined) { hooks.showReply('scanError', status); break; }
    const d = status.data || {};
    $('scanBar').max = Math.max(1, Number(d.total) || 1);
    $('scanBar').value = Number(d.done) || 0;
    scan.results = Array.isArray(d.found) ? d.found : [];
    renderScan();
    scan.running = d.running === true;
  }
  scan.running = false;
  setScanButtons();
  hooks.say('scanInfo', 'scan.done', { n: scan.results.length });
}

async function stopScan() {
  const reply = await ajax('stopScan');
  if (reply.error !== undefined) hooks.showReply('scanError', reply);
}

// ---------- wiring ----------

export function wireBusView(pageHooks) {
  hooks = { ...hooks, ...pageHooks };
  $('pauseTraffic').addEventListener('click', togglePause);
  $('clearTraffic').addEventListener('click', clearTraffic);
  $('exportTraffic').addEventListener('click', (e) => exportTraffic(e.currentTarget));
  $('resetStats').addEventListener('click', resetStats);
  $('startScan').addEventListener('click', startScan);
  $('stopScan').addEventListener('click', stopScan);
  setScanButtons();
}
