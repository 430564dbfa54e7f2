// Brio's browser UI: wires the page to the gateway's AJAX interface.
import { ajax, readRegisters, readRegisterTexts, readBits, saveFile, loadFile, fetchText, twice } from './api.js';
import { t, setLanguage, storedLanguage, knownLanguages, languageNames, language } from './i18n.js';
import {
  span, addressesOf, isNumber, isHexWord, textFits, writeRuns, toCsv, parseRegisterList, reportHtml, transferParams,
  checkForm, isBitTable, isWritableTable, sizesFor, maxBitsWritten,
} from './registers.js';
import { LiveChart } from './chart.js';
import { wireBusView, showTraffic, renderStats, renderScan } from './busview.js';
import { initProjectTab } from './project.js';

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const state = {
  info: null,
  connected: false,
  connectedTo: '',
  // { key, step, table, regType, regSize, valSize, byteOrder, count, rows: [{ address, value, input, check, dirty }] }
  table: null,
  polling: false,
  wake: null,
  reading: null,
  modules: [],
};

// ---------- messages ----------

// Texts of the page's own (not the gateway's) are kept as key and values so
// that a change of language re-renders them.
const spoken = new Map();
function say(id, key, vars = {}) { spoken.set(id, { key, vars }); $(id).textContent = t(key, vars); }
function showError(id, text) { spoken.delete(id); $(id).textContent = text; }
function clearError(id) { showError(id, ''); }
function showReply(id, reply) {
  const keys = { empty: 'err.empty', network: 'err.network', http: 'err.http' };
  if (reply.kind === 'gateway') showError(id, reply.error);
  else say(id, keys[reply.kind] || 'err.reply', { status: reply.status });
}
function resay() { for (const [id, { key, vars }] of spoken) $(id).textContent = t(key, vars); }
function showMessage(text) { showError('message', text); }

// Shows an ok reply's own words as the last gateway message.
function reportOk(reply) {
  const data = reply.data;
  if (data && typeof data === 'object' && typeof data.ok === 'string') showMessage(data.ok);
}

async function busy(button, work) {
  button.disabled = true;
  try { return await work(); } finally { button.disabled = false; }
}

// ---------- connection ----------

function renderState() {
  const pill = $('connState');
  pill.dataset.state = state.connected ? 'on' : 'off';
  const what = state.slave === undefined ? state.connectedTo : `${state.connectedTo}, ${t('conn.slave')} ${state.slave}`;
  pill.textContent = state.connected ? t('state.on', { what }) : t('state.off');
}

function setConnected(connected, what = '', slave = undefined) {
  state.connected = connected;
  state.connectedTo = what;
  state.slave = slave;
  if (!connected) stopPolling();
  renderState();
}

function showConnFields() {
  const type = $('connType').value;
  for (const el of document.querySelectorAll('[data-only]')) el.hidden = !el.dataset.only.split(' ').includes(type);
}

function fillSelect(select, entries) {
  select.replaceChildren(...entries.map(([value, label]) => new Option(label, value)));
}

async function loadPortSettings() {
  const reply = await ajax('getPortSettings');
  if (reply.error !== undefined) { showReply('connError', reply); return; }
  const d = reply.data || {};
  const ports = Object.values(d.ports || {});
  fillSelect($('serialPort'), ports.length
    ? ports.map((p) => [p.portName, p.friendName ? `${p.portName} – ${p.friendName}` : p.portName])
    : [['', t('conn.noPorts')]]);
  fillSelect($('baudRate'), Object.entries(d.baudRate || {}).filter(([, label]) => label !== ''));
  fillSelect($('mode'), Object.entries(d.mode || {}));
  const u = d.userSettings || {};
  // A fresh store reports type serial with port "0": no serial line was ever used.
  const serialUsed = u.connectionType === 'serial' && u.port && u.port !== '0';
  $('connType').value = serialUsed && ports.length ? 'serial' : u.connectionType === 'rtuovertcp' ? 'rtuovertcp' : 'tcp';
  // Nothing stored yet reads as the gateway's built-in defaults: offer the
  // demo slave that run.sh starts instead of an address on someone's LAN.
  const fresh = !u.isConnected && (!u.port || u.port === '0') && u.tcpIp === '192.168.1.100' && Number(u.tcpPort) === 502;
  $('ipAddress').value = fresh ? '127.0.0.1' : (u.tcpIp || '');
  $('tcpPort').value = fresh ? 1502 : (u.tcpPort || 502);
  if (u.slaveID !== undefined) $('slaveId').value = u.slaveID;
  if (u.port && ports.some((p) => p.portName === u.port)) $('serialPort').value = u.port;
  if (u.baudRate !== undefined) $('baudRate').value = fresh ? '3' : String(u.baudRate); // 9600 baud when new
  if (u.mode !== undefined) $('mode').value = String(u.mode);
  // A serial time-out is stored in steps of 10 ms; shown in ms either way.
  const ms = Number(u.timeout) * (u.connectionType === 'serial' ? 10 : 1);
  $('timeout').value = ms > 0 && ms <= 60000 ? ms : 1000;
  showConnFields();
  if (u.isConnected) {
    setConnected(true, u.connectionType === 'serial' ? u.port : `${u.tcpIp}:${u.tcpPort}`, u.slaveID);
  }
}

async function connect(event) {
  event.preventDefault();
  clearError('connError');
  const type = $('connType').value;
  const ms = Math.max(1, Number($('timeout').value) || 1000);
  const params = { connType: type, slaveID: $('slaveId').value };
  let what;
  if (type === 'serial') {
    // An empty name would select the first port the gateway finds.
    if (!$('serialPort').value) { say('connError', 'conn.noPorts'); return; }
    Object.assign(params, {
      portSelect: $('serialPort').value, baudRate: $('baudRate').value, mode: $('mode').value,
      timeout: Math.max(1, Math.round(ms / 10)),
    });
    what = $('serialPort').value;
  } else {
    Object.assign(params, { ipAddres_tcp: $('ipAddress').value.trim(), port_tcp: $('tcpPort').value, timeout: ms });
    what = `${params.ipAddres_tcp}:${params.port_tcp}`;
  }
  $('connState').textContent = t('state.busy');
  const reply = await busy($('connect'), () => ajax('connect', params));
  if (reply.error !== undefined) {
    setConnected(false);
    showReply('connError', reply);
    return;
  }
  setConnected(true, what, params.slaveID);
  reportOk(reply);
}

async function disconnect() {
  clearError('connError');
  stopPolling();
  const reply = await busy($('disconnect'), () => ajax('disconnect'));
  if (reply.error !== undefined) { showReply('connError', reply); return; }
  setConnected(false);
  reportOk(reply);
}

// A transfer answered "Not connected" tells the page the truth about the link.
function noteTransferError(reply) {
  if (reply.kind === 'gateway' && reply.error === 'Not connected') setConnected(false);
}

// ---------- registers ----------

function regForm() {
  const num = (id) => Number($(id).value);
  return {
    table: $('tableKind').value, regAddr: num('regAddr'), count: num('count'), valueType: $('valueType').value,
    regSize: $('regSize').value, valSize: $('valSize').value, byteOrder: $('byteOrder').value,
    precision: num('precision'), interval: num('interval'),
  };
}

// What a table of values was read with; bits carry no value type.
function tableSettings(form) {
  const bits = isBitTable(form.table);
  const ascii = !bits && form.valueType === 'ascii';
  return {
    table: form.table, regType: bits ? 'bit' : form.valueType, regSize: form.regSize, valSize: form.valSize,
    byteOrder: form.byteOrder, count: form.count,
    // An ascii text is one row over all its registers.
    step: bits ? 1 : ascii ? form.count : span(form.regSize, form.valSize),
  };
}

// A bit shows as a checkbox: '1' when ticked.
const isBitRow = (r) => r.input.type === 'checkbox';
const cellValue = (r) => (isBitRow(r) ? (r.input.checked ? '1' : '0') : r.input.value);
function setCell(r, value) {
  if (isBitRow(r)) r.input.checked = value === '1'; else r.input.value = value;
}

// The number a cell charts as: hex words by their value, texts not at all.
function chartValue(settings, value) {
  if (settings.regType === 'ascii') return null;
  const v = settings.regType === 'hex' ? parseInt(value, 16) : Number(value);
  return Number.isFinite(v) ? v : null;
}

function formProblems(form) {
  const names = { regAddr: 'reg.addr', count: 'reg.count', precision: 'reg.prec', interval: 'reg.interval' };
  return checkForm(form).map((f) => t(names[f]));
}

function buildTable(key, settings, entries) {
  const old = state.table;
  const charted = new Set(old ? old.rows.filter((r) => r.check.checked).map((r) => r.address) : []);
  const bits = settings.regType === 'bit';
  const rows = entries.map(({ address, value }) => {
    const tr = document.createElement('tr');
    const th = document.createElement('th');
    th.scope = 'row';
    th.textContent = address;
    const input = document.createElement('input');
    if (bits) {
      input.type = 'checkbox';
      input.disabled = !isWritableTable(settings.table);
    } else {
      if (settings.regType !== 'ascii' && settings.regType !== 'hex') input.inputMode = 'decimal';
      input.autocomplete = 'off';
      input.spellcheck = false;
      input.readOnly = !isWritableTable(settings.table);
    }
    const check = document.createElement('input');
    check.type = 'checkbox';
    check.disabled = settings.regType === 'ascii';
    check.checked = !check.disabled && charted.has(address);
    const td1 = document.createElement('td');
    const td2 = document.createElement('td');
    td1.append(input);
    td2.append(check);
    tr.append(th, td1, td2);
    const row = { address, value, input, check, dirty: false, tr };
    setCell(row, value);
    input.addEventListener(bits ? 'change' : 'input', () => { row.dirty = true; tr.classList.add('dirty'); noteEdits(); });
    check.addEventListener('change', updateChartSeries);
    return row;
  });
  if (rows.length && !rows.some((r) => r.check.checked) && !rows[0].check.disabled) rows[0].check.checked = true;
  state.table = { key, ...settings, rows };
  $('regTable').tBodies[0].replaceChildren(...rows.map((r) => r.tr));
  $('tableEmpty').hidden = rows.length > 0;
  labelTable();
  updateChartSeries();
}

function labelTable() {
  if (!state.table) return;
  for (const r of state.table.rows) {
    r.input.setAttribute('aria-label', t('table.valueAt', { a: r.address }));
    r.check.setAttribute('aria-label', t('table.chartAt', { a: r.address }));
  }
}

function noteEdits() {
  const n = state.table ? state.table.rows.filter((r) => r.dirty).length : 0;
  if (n) say('regInfo', 'reg.edited', { n }); else clearError('regInfo');
}

function showValues(form, values) {
  const settings = tableSettings(form);
  const key = [form.table, form.regAddr, values.length, settings.step, settings.regType, form.regSize, form.valSize,
    form.byteOrder].join('|');
  if (!state.table || state.table.key !== key) {
    const addresses = addressesOf(form.regAddr, values.length, settings.step);
    buildTable(key, settings, addresses.map((address, i) => ({ address, value: values[i] })));
  } else {
    // Never overwrite what the user is typing or has typed and not yet written.
    state.table.rows.forEach((r, i) => {
      r.value = values[i];
      if (!r.dirty && document.activeElement !== r.input) setCell(r, values[i]);
    });
  }
  const byAddress = new Map(state.table.rows.map((r) => [r.address, r.value]));
  chart.push(Date.now() / 1000, (a) => chartValue(state.table, byAddress.get(a)));
}

// One read at a time: a click during a poll joins the read in flight.
function readOnce() {
  if (!state.reading) {
    const table = $('regTable');
    table.setAttribute('aria-busy', 'true');
    state.reading = doRead().finally(() => {
      state.reading = null;
      table.setAttribute('aria-busy', 'false');
      table.dataset.reads = Number(table.dataset.reads || 0) + 1;
    });
  }
  return state.reading;
}

async function doRead() {
  const form = regForm();
  const problems = formProblems(form);
  if (problems.length) { say('regError', 'reg.badInput', { what: problems.join(', ') }); return false; }
  let reply;
  if (isBitTable(form.table)) {
    reply = await readBits({ table: form.table, regAddr: form.regAddr, valuesCnt: form.count });
  } else {
    const params = { table: form.table, ...transferParams(form), floatPrec: form.precision };
    const texts = form.valueType === 'ascii' || form.valueType === 'hex';
    reply = await (texts ? readRegisterTexts(params) : readRegisters(params));
  }
  if (reply.error !== undefined) {
    showReply('regError', reply);
    noteTransferError(reply);
    return false;
  }
  clearError('regError');
  showValues(form, reply.values);
  if (!state.polling) {
    say('regInfo', 'reg.readAt', { n: reply.values.length, time: new Date().toLocaleTimeString(htmlLangOf()) });
  }
  return true;
}

function htmlLangOf() { return document.documentElement.lang || 'en'; }

function setPollButtons() {
  $('startPoll').disabled = state.polling;
  $('stopPoll').disabled = !state.polling;
}

async function startPolling() {
  const form = regForm();
  const problems = formProblems(form);
  if (problems.length) { say('regError', 'reg.badInput', { what: problems.join(', ') }); return; }
  state.polling = true;
  setPollButtons();
  say('regInfo', 'reg.polling', { ms: form.interval });
  $('stopPoll').focus();
  // The next read is scheduled only after the previous one has answered.
  while (state.polling) {
    const ok = await readOnce();
    if (!ok && !state.connected) break;
    if (!state.polling) break;
    await new Promise((resolve) => {
      const id = setTimeout(resolve, Math.max(100, Number($('interval').value) || 1000));
      state.wake = () => { clearTimeout(id); resolve(); };
    });
    state.wake = null;
  }
  stopPolling();
}

function stopPolling() {
  const was = state.polling;
  state.polling = false;
  if (state.wake) state.wake();
  setPollButtons();
  if (was && document.activeElement === $('stopPoll')) $('startPoll').focus();
}

// Each kind of cell has its own check before anything is sent.
function badCell(table, rows) {
  if (table.regType === 'bit') return null;
  if (table.regType === 'ascii') {
    return textFits(rows[0].input.value, table.count) ? null : { key: 'reg.textTooLong', vars: { n: table.count }, row: rows[0] };
  }
  const fits = table.regType === 'hex' ? isHexWord : isNumber;
  const bad = rows.find((r) => !fits(r.input.value));
  return bad ? { key: table.regType === 'hex' ? 'reg.badHex' : 'reg.badValue', vars: { a: bad.address }, row: bad } : null;
}

// The request that writes one run of values.
function writeRequest(table, run) {
  if (table.regType === 'bit') {
    return ['writeBits', { regAddr: run.start, valuesCnt: run.values.length, bitVals: JSON.stringify(run.values.map(Number)) }];
  }
  const typed = { regType: table.regType, regSize: table.regSize, valSize: table.valSize };
  if (table.byteOrder) typed.byteOrder = table.byteOrder;
  if (table.regType === 'ascii') {
    return ['writeRegisters', { regAddr: run.start, valuesCnt: table.count, regVals: twice(JSON.stringify(run.values)), ...typed }];
  }
  const list = table.regType === 'hex' ? JSON.stringify(run.values) : `[${run.values.join(',')}]`;
  return ['writeRegisters', { regAddr: run.start, valuesCnt: run.values.length, regVals: twice(list), ...typed }];
}

async function writeValues() {
  clearError('regError');
  const table = state.table;
  if (!table || !table.rows.length) { say('regError', 'reg.nothing'); return; }
  if (!isWritableTable(table.table)) { say('regError', 'reg.readOnly'); return; }
  if (table.regType === 'long') { say('regError', 'reg.longReadOnly'); return; }
  const rows = table.rows.filter((r) => r.dirty);
  if (!rows.length) { say('regError', 'reg.nothing'); return; }
  const bad = badCell(table, rows);
  if (bad) { say('regError', bad.key, bad.vars); bad.row.input.focus(); return; }
  const max = table.regType === 'bit' ? maxBitsWritten : undefined;
  const edits = rows.map((r) => ({ address: r.address, value: table.regType === 'bit' ? cellValue(r) : r.input.value.trim() }));
  if (table.regType === 'ascii') edits[0].value = rows[0].input.value; // blanks are text
  await busy($('write'), async () => {
    for (const run of writeRuns(edits, table.step, max)) {
      const [func, params] = writeRequest(table, run);
      const reply = await ajax(func, params);
      if (reply.error !== undefined) {
        showReply('regError', reply);
        noteTransferError(reply);
        return;
      }
      for (let i = 0; i < run.values.length; i++) {
        const row = table.rows.find((r) => r.address === run.start + i * table.step);
        if (row) { row.dirty = false; row.value = run.values[i]; row.tr.classList.remove('dirty'); }
      }
      reportOk(reply);
    }
    noteEdits();
  });
}

function tableRows() {
  return state.table ? state.table.rows.map((r) => ({ address: r.address, value: cellValue(r) })) : [];
}

function stamp() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

async function exportFile(kind, button) {
  clearError('regError');
  const rows = tableRows();
  if (!rows.length) { say('regError', 'table.empty'); return; }
  const name = `brio-registers-${stamp()}.${kind}`;
  let content;
  if (kind === 'csv') {
    content = toCsv(rows);
  } else {
    const tbl = state.table;
    content = reportHtml(rows, {
      title: t('reg.heading'), address: t('table.address'), value: t('table.value'),
      lines: [
        `${t('conn.heading')}: ${state.connected ? state.connectedTo : t('state.off')}`,
        `${t('reg.table')}: ${t(`table.${tbl.table}`)}`
          + (tbl.regType === 'bit' ? ''
            : `, ${t('reg.type')}: ${tbl.regType}, ${t('reg.regSize')}: ${tbl.regSize}, ${t('reg.valSize')}: ${tbl.valSize}`
              + (tbl.byteOrder ? `, ${t('reg.order')}: ${tbl.byteOrder}` : '')),
        new Date().toLocaleString(htmlLangOf()),
      ],
    });
  }
  const reply = await busy(button, () => saveFile(name, content));
  if (reply.error !== undefined) { showReply('regError', reply); return; }
  if (!reply.blob.size) { say('regError', 'err.reply'); return; }
  download(reply.blob, name);
}

async function loadRegisterFile() {
  const file = $('fileInput').files[0];
  $('fileInput').value = '';
  if (!file) return;
  clearError('regError');
  const form = regForm();
  const settings = tableSettings(form);
  if (!isWritableTable(form.table)) { say('regError', 'reg.readOnly'); return; }
  if (settings.regType === 'ascii') { say('regError', 'reg.fileText'); return; }
  const reply = await loadFile(file);
  if (reply.error !== undefined) { showReply('regError', reply); return; }
  const isBit = (v) => /^[01]$/.test(v.trim());
  const rows = parseRegisterList(reply.text, { bit: isBit, hex: isHexWord }[settings.regType] || isNumber);
  if (!rows.length) { say('regError', 'reg.badFile'); return; }
  stopPolling();
  buildTable(`file|${file.name}|${Date.now()}`, settings, rows.map((r) => ({ ...r, value: r.value.trim() })));
  for (const r of state.table.rows) { r.dirty = true; r.tr.classList.add('dirty'); }
  say('regInfo', 'reg.loaded', { n: rows.length, file: file.name });
}

// Each value type offers the sizes it has; 32-bit registers only carry
// 32-bit values, and texts sit in 16-bit registers.
function syncSizes() {
  const type = $('valueType').value;
  const { wideRegisters } = sizesFor(type, $('regSize').value);
  $('regSize').options[1].disabled = !wideRegisters;
  if (!wideRegisters) $('regSize').value = '16';
  const { sizes } = sizesFor(type, $('regSize').value);
  for (const option of $('valSize').options) option.disabled = !sizes.includes(option.value);
  if (!sizes.includes($('valSize').value)) $('valSize').value = sizes.includes('32') ? '32' : sizes[0];
}

// Coils and discrete inputs are bits: the value fields do not apply.
function syncTableFields() {
  const bits = isBitTable($('tableKind').value);
  for (const id of ['valueType', 'regSize', 'valSize', 'byteOrder', 'precision']) $(id).disabled = bits;
}

// ---------- chart ----------

const chart = new LiveChart($('chart'), (n) => {
  chart.points = n;
  $('chartPoints').textContent = t('chart.points', { n });
  $('chartPoints').dataset.points = n;
});

function updateChartSeries(force = false) {
  const keys = state.table ? state.table.rows.filter((r) => r.check.checked && !r.check.disabled).map((r) => r.address) : [];
  chart.timeLabel = t('chart.time');
  chart.setSeries(keys, (a) => `${t('table.address')} ${a}`, force);
}

function togglePause() {
  chart.paused = !chart.paused;
  $('pauseChart').setAttribute('aria-pressed', String(chart.paused));
  $('pauseChart').textContent = t(chart.paused ? 'btn.resume' : 'btn.pause');
}

// ---------- identification and search ----------

// Device identification first; a gateway or slave without it gets the
// slave-ID report instead. Objects are the device's own words: text only.
async function identify() {
  clearError('identError');
  await busy($('identify'), async () => {
    const objects = await ajax('readDeviceIdentification');
    const d = objects.data;
    if (objects.error === undefined && d && typeof d.objects === 'object' && d.objects !== null && !Array.isArray(d.objects)) {
      showObjects(d);
      return;
    }
    $('identObjects').hidden = true;
    if (objects.kind === 'gateway' && objects.error === 'Not connected') {
      $('identResult').hidden = true;
      showReply('identError', objects);
      noteTransferError(objects);
      return;
    }
    await identifySlave();
  });
}

function showObjects(data) {
  const pair = (name, value, key) => {
    const dt = document.createElement('dt');
    dt.textContent = key ? t(key) : name;
    if (key) dt.dataset.i18n = key;
    const dd = document.createElement('dd');
    dd.textContent = String(value);
    return [dt, dd];
  };
  $('identObjects').replaceChildren(
    ...pair('', String(data.conformity ?? ''), 'id.conformity'),
    ...Object.entries(data.objects).flatMap(([name, value]) => pair(name, value)),
  );
  $('identResult').hidden = true;
  $('identObjects').hidden = false;
}

async function identifySlave() {
  const reply = await ajax('identifySlave');
  if (reply.error !== undefined) {
    $('identResult').hidden = true;
    showReply('identError', reply);
    noteTransferError(reply);
    return;
  }
  const d = reply.data || {};
  const bytes = Array.isArray(d.descArray) ? d.descArray : [];
  $('identId').textContent = `${d.id} (0x${Number(d.id).toString(16).toUpperCase().padStart(2, '0')})`;
  $('identDesc').textContent = d.desc ?? '';
  $('identRaw').textContent = bytes.map((b) => Number(b).toString(16).toUpperCase().padStart(2, '0')).join(' ');
  $('identRaw').title = bytes.join(', ');
  $('identResult').hidden = false;
}

async function searchDevices() {
  clearError('searchError');
  $('deviceList').replaceChildren();
  state.devices = null;
  await busy($('search'), async () => {
    const started = await ajax('startSearchingDevices');
    if (started.error !== undefined) { $('searchInfo').textContent = ''; showReply('searchError', started); return; }
    say('searchInfo', 'search.running');
    // Devices answer the gateway's two broadcasts within about a second.
    await sleep(1500);
    const reply = await ajax('getSearchedDevices');
    if (reply.kind === 'empty') { say('searchInfo', 'search.none'); return; }
    if (reply.error !== undefined) { $('searchInfo').textContent = ''; showReply('searchError', reply); return; }
    const devices = Array.isArray(reply.data) ? reply.data : [];
    if (!devices.length) { say('searchInfo', reply.data === undefined ? 'err.reply' : 'search.none'); return; }
    state.devices = devices;
    say('searchInfo', 'search.found', { n: devices.length });
    $('deviceList').replaceChildren(...devices.map(deviceItem));
  });
}

function deviceItem(device) {
  const li = document.createElement('li');
  const name = String(device.name || device.ip || '?');
  const text = document.createElement('span');
  text.textContent = `${name} — ${device.ip}:${device.port}, ID ${device.modbusid}${device.mac ? `, MAC ${device.mac}` : ''}`;
  const use = document.createElement('button');
  use.type = 'button';
  use.textContent = t('search.use', { name });
  use.addEventListener('click', () => {
    $('connType').value = 'tcp';
    showConnFields();
    $('ipAddress').value = device.ip;
    $('tcpPort').value = device.port;
    $('slaveId').value = device.modbusid;
    $('connect').focus();
  });
  li.append(text, use);
  return li;
}

// ---------- tabs ----------

function makeTabs(list, onSelect) {
  const tabs = () => [...list.querySelectorAll('[role=tab]')];
  const select = (tab, focus) => {
    for (const other of tabs()) {
      const on = other === tab;
      other.setAttribute('aria-selected', String(on));
      other.tabIndex = on ? 0 : -1;
      $(other.getAttribute('aria-controls')).hidden = !on;
    }
    if (focus) tab.focus();
    if (onSelect) onSelect(tab);
  };
  list.addEventListener('click', (e) => {
    const tab = e.target.closest('[role=tab]');
    if (tab) select(tab, false);
  });
  list.addEventListener('keydown', (e) => {
    const all = tabs();
    const i = all.indexOf(document.activeElement);
    if (i < 0) return;
    const next = { ArrowRight: i + 1, ArrowLeft: i - 1, Home: 0, End: all.length - 1 }[e.key];
    if (next === undefined) return;
    e.preventDefault();
    select(all[(next + all.length) % all.length], true);
  });
  return select;
}

// ---------- modules ----------

async function loadModules() {
  clearError('modError');
  const reply = await ajax('getListOfInstalledModules');
  if (reply.error !== undefined) {
    if (reply.kind === 'empty') say('modInfo', 'mod.none'); else clearError('modInfo');
    if (reply.kind !== 'empty') showReply('modError', reply);
    return;
  }
  const list = reply.data && typeof reply.data === 'object' ? reply.data : {};
  // A listing without any module comes as {"modules":{}} or {}.
  const entries = Object.entries(list).filter(([name, files]) => !(name === 'modules' && files && !Array.isArray(files.html)));
  state.modules = entries.map(([name]) => name);
  if (entries.length) clearError('modInfo'); else say('modInfo', 'mod.none');
  const tabs = [];
  const panels = [];
  entries.forEach(([name, files], i) => {
    const tab = document.createElement('button');
    tab.setAttribute('role', 'tab');
    tab.id = `modtab-${i}`;
    tab.setAttribute('aria-controls', `modpanel-${i}`);
    tab.setAttribute('aria-selected', 'false');
    tab.tabIndex = -1;
    tab.textContent = name;
    const panel = document.createElement('section');
    panel.setAttribute('role', 'tabpanel');
    panel.id = `modpanel-${i}`;
    panel.setAttribute('aria-labelledby', tab.id);
    panel.className = 'module';
    panel.hidden = true;
    panel.dataset.module = name;
    tab.moduleFiles = files || {};
    tabs.push(tab);
    panels.push(panel);
  });
  $('modTabs').replaceChildren(...tabs);
  $('modPanels').replaceChildren(...panels);
  if (tabs.length) selectModule(tabs[0], false);
}

let selectModule = () => {};

// Module pages are the module's own markup; its scripts are loaded as
// scripts of the page, in the order the listing names them.
async function openModule(tab) {
  const panel = $(tab.getAttribute('aria-controls'));
  $('repModule').value = panel.dataset.module.slice(0, 20);
  if (panel.dataset.loaded) return;
  panel.dataset.loaded = '1';
  const name = panel.dataset.module;
  const files = tab.moduleFiles;
  const base = `modules/${encodeURIComponent(name)}/`;
  const url = (f) => base + encodeURIComponent(f);
  try {
    for (const css of files.css || []) {
      const link = document.createElement('link');
      link.rel = 'stylesheet';
      link.href = url(css);
      document.head.append(link);
    }
    for (const html of files.html || []) {
      const text = await fetchText(url(html));
      if (text === null) throw new Error(html);
      const doc = new DOMParser().parseFromString(text, 'text/html');
      doc.querySelectorAll('script, link, meta, title, style').forEach((el) => el.remove());
      panel.append(...[...doc.body.childNodes].map((n) => document.importNode(n, true)));
    }
    for (const js of files.js || []) {
      await new Promise((resolve, reject) => {
        const script = document.createElement('script');
        script.src = url(js);
        script.onload = resolve;
        script.onerror = reject;
        document.body.append(script);
      });
    }
    document.dispatchEvent(new CustomEvent('brio:module', { detail: { name, panel } }));
  } catch {
    say('modError', 'mod.loadError', { name });
  }
}

// ---------- updates ----------

// The update server's answer is its own; names are taken from an array of
// names or of {name, version} objects, bare or under "modules"/"updates".
function updateList(data) {
  let list = data;
  if (list && !Array.isArray(list) && typeof list === 'object') list = list.modules ?? list.updates ?? Object.entries(list).map(([name, version]) => ({ name, version }));
  if (!Array.isArray(list)) return [];
  return list.map((e) => (typeof e === 'object' && e ? { name: String(e.name ?? ''), version: e.version ?? '' } : { name: String(e), version: '' }))
    .filter((e) => e.name);
}

async function checkUpdates() {
  clearError('updError');
  $('updList').hidden = true;
  $('installUpdates').hidden = true;
  const query = JSON.stringify({ ver: state.info?.ver ?? '', osType: state.info?.osType ?? '', modules: state.modules });
  const reply = await busy($('checkUpdates'), () => ajax('check4Updates', { json: query }));
  if (reply.error !== undefined) { showReply('updError', reply); return; }
  const list = updateList(reply.data);
  const legend = $('updList').querySelector('legend');
  if (!list.length) { say('message', 'upd.none'); return; }
  $('updList').replaceChildren(legend, ...list.map((e) => {
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.checked = true;
    box.value = e.name;
    box.setAttribute('aria-label', t('upd.install', { name: e.name }));
    const text = document.createElement('span');
    text.textContent = e.version ? `${e.name} ${e.version}` : e.name;
    label.append(box, text);
    return label;
  }));
  $('updList').hidden = false;
  $('installUpdates').hidden = false;
}

async function installUpdates() {
  clearError('updError');
  const names = [...$('updList').querySelectorAll('input:checked')].map((b) => b.value);
  if (!names.length) return;
  await busy($('installUpdates'), async () => {
    const started = await ajax('startUpdating', { modulesList: twice(JSON.stringify(names)) });
    if (started.error !== undefined) { showReply('updError', started); return; }
    $('updProgress').hidden = false;
    $('updBar').hidden = false;
    say('updStatus', 'upd.progress');
    for (;;) {
      await sleep(1000);
      const status = await ajax('getUpdateStatus');
      if (status.error !== undefined) { showReply('updError', status); break; }
      const ok = status.data && status.data.ok;
      if (ok === 'In progress') continue;
      if (typeof ok === 'string') { showError('updStatus', ok); await loadModules(); } else showError('updStatus', status.text);
      break;
    }
    $('updBar').hidden = true;
  });
}

// ---------- report ----------

// The gateway takes the seven member values by position, whole, so the
// order below is its order. The value is encoded once more than the request
// parser decodes, so that a % or + typed by the user arrives as typed.
async function sendReport(event) {
  event.preventDefault();
  clearError('repError');
  const fields = ['repName', 'repSurname', 'repEmail', 'repCompany', 'repPhone', 'repModule', 'repMessage'];
  const keys = ['name', 'surname', 'email', 'company', 'phone', 'module', 'message'];
  const report = Object.fromEntries(keys.map((k, i) => [k, $(fields[i]).value]));
  const reply = await busy($('sendReport'), () => ajax('sendEmail', { json: twice(JSON.stringify(report)) }));
  if (reply.error !== undefined) {
    if (reply.error === 'err2!') say('repError', 'rep.tooLong'); else showReply('repError', reply);
    return;
  }
  const d = reply.data || {};
  if (d.status === 'time') say('repError', 'rep.timeLeft', { s: d.timeleft });
  else if (d.status === 'ok!') say('message', 'rep.sent');
  else say('repError', 'rep.failed');
}

// ---------- general information and tools ----------

async function loadGeneralInfo() {
  const reply = await ajax('getGeneralInfo');
  if (reply.error !== undefined) { showReply('toolsError', reply); return null; }
  const info = reply.data || {};
  state.info = info;
  // The footer fragment is the gateway's own HTML: the one place markup is inserted.
  $('copy').innerHTML = typeof info.copy === 'string' ? info.copy : '';
  $('firmware').hidden = info.canUpdateFirmware !== 1;
  $('admin').hidden = !String(info.osType || '').toLowerCase().startsWith('win');
  return info;
}

function renderInfoTexts() {
  const info = state.info || {};
  $('version').textContent = info.ver ? t('version', { v: info.ver }) : '';
  const updatesOffered = info.canUpdate !== 0;
  $('checkUpdates').disabled = !updatesOffered;
  $('updNote').textContent = updatesOffered ? '' : t('upd.notOffered');
  $('repNote').textContent = info.canSendMailReport === 1 ? '' : t('rep.notOffered');
}

async function tool(button, func, params) {
  clearError('toolsError');
  const reply = await busy(button, () => ajax(func, params));
  if (reply.error !== undefined && reply.kind !== 'empty') { showReply('toolsError', reply); return; }
  if (reply.data && typeof reply.data.ok === 'string' && reply.data.ok !== '1') showMessage(reply.data.ok);
  else say('message', 'tools.started');
}

// ---------- language ----------

function applyLanguage(code) {
  setLanguage(code);
  $('language').value = language();
  renderState();
  renderInfoTexts();
  resay();
  labelTable();
  chart.count();
  $('pauseChart').textContent = t(chart.paused ? 'btn.resume' : 'btn.pause');
  if (state.devices) $('deviceList').replaceChildren(...state.devices.map(deviceItem));
  renderStats();
  renderScan();
  // Series names are drawn into the chart: a new language starts it anew.
  if (chart.plot) updateChartSeries(true);
}

// ---------- start ----------

function wire() {
  $('connType').addEventListener('change', showConnFields);
  $('connForm').addEventListener('submit', connect);
  $('disconnect').addEventListener('click', disconnect);
  $('read').addEventListener('click', () => busy($('read'), readOnce));
  $('startPoll').addEventListener('click', startPolling);
  $('stopPoll').addEventListener('click', stopPolling);
  $('write').addEventListener('click', writeValues);
  $('exportCsv').addEventListener('click', (e) => exportFile('csv', e.currentTarget));
  $('exportPdf').addEventListener('click', (e) => exportFile('pdf', e.currentTarget));
  $('loadFile').addEventListener('click', () => $('fileInput').click());
  $('fileInput').addEventListener('change', loadRegisterFile);
  $('regSize').addEventListener('change', syncSizes);
  $('valueType').addEventListener('change', syncSizes);
  $('tableKind').addEventListener('change', syncTableFields);
  $('regForm').addEventListener('submit', (e) => { e.preventDefault(); readOnce(); });
  $('pauseChart').addEventListener('click', togglePause);
  $('clearChart').addEventListener('click', () => chart.clear(chart.label));
  $('identify').addEventListener('click', identify);
  $('search').addEventListener('click', searchDevices);
  $('checkUpdates').addEventListener('click', checkUpdates);
  $('installUpdates').addEventListener('click', installUpdates);
  $('repForm').addEventListener('submit', sendReport);
  $('firmware').addEventListener('click', (e) => tool(e.currentTarget, 'runFirmwareUpdater'));
  $('admin').addEventListener('click', (e) => {
    if (window.confirm(t('tools.adminConfirm'))) tool(e.currentTarget, 'runAsAdministrator');
  });
  $('openFtp').addEventListener('click', (e) => {
    const address = $('ftpAddress').value.trim();
    if (address) tool(e.currentTarget, 'openFtpInExplorer', { address: twice(address) });
  });
  $('language').addEventListener('change', () => applyLanguage($('language').value));
  makeTabs($('tabs'), (tab) => {
    if (tab.id === 'tab-device') $('repModule').value = 'Device';
    showTraffic(tab.id === 'tab-traffic');
  });
  selectModule = makeTabs($('modTabs'), openModule);
  wireBusView({ say, showReply, clearError, useUnit });
}

// A unit the bus scan found becomes the connection form's link.
function useUnit(link, found) {
  $('connType').value = link.connType;
  showConnFields();
  $('slaveId').value = found.unit;
  if (link.connType === 'serial') {
    $('serialPort').value = link.portSelect;
    const baud = [...$('baudRate').options].find((o) => o.textContent === String(found.baud));
    if (baud) $('baudRate').value = baud.value;
    $('mode').value = String(found.mode);
  } else {
    $('ipAddress').value = link.ipAddres_tcp;
    $('tcpPort').value = link.port_tcp;
  }
  $('connect').focus();
}

// Modules use the gateway through the page rather than on their own.
window.brio = { ajax, t, language: () => language() };

async function start() {
  wire();
  syncSizes();
  syncTableFields();
  showConnFields();
  if (!chart.available) say('chart', 'chart.missing');
  const info = await loadGeneralInfo();
  const offered = knownLanguages(info && info.langList);
  fillSelect($('language'), offered.map((code) => [code, languageNames[code]]));
  const wanted = storedLanguage();
  applyLanguage(offered.includes(wanted) ? wanted : offered[0]);
  await Promise.all([loadPortSettings(), loadModules(), initProjectTab()]);
  updateChartSeries(true);
  document.body.dataset.ready = '1';
}

start();
