// The Project tab: saved projects (devices and tags) edited as tables, the
// gateway's own poller started and stopped, live values from its event
// stream, the CSV logs and the MQTT state. Every text from the network is
// set as text.
import { ajax, parseReply } from './api.js';
import { LiveChart } from './chart.js';

const $ = (id) => document.getElementById(id);
const headers = { 'X-Requested-With': 'XMLHttpRequest' };

const deviceColumns = [
  { key: 'name', label: 'Name' },
  { key: 'connType', label: 'Connection', options: [['tcp', 'Modbus TCP'], ['serial', 'Serial RTU'], ['rtuovertcp', 'RTU over TCP']] },
  { key: 'ipAddres_tcp', label: 'Host', value: '127.0.0.1' },
  { key: 'port_tcp', label: 'TCP port', number: true, value: '502' },
  { key: 'portSelect', label: 'Serial port' },
  { key: 'baudRate', label: 'Baud rate', options: ['1200', '2400', '4800', '9600', '19200', '38400', '57600', '115200', '230400', '256000', '1000000'].map((b, i) => [String(i), b]), value: '3' },
  { key: 'mode', label: 'Line mode', options: [['0', '8N2'], ['1', '8E1'], ['2', '8O1'], ['3', '8N1']], value: '3' },
  { key: 'slaveID', label: 'Slave ID', number: true, value: '1' },
  { key: 'timeout', label: 'Timeout', number: true, value: '1000' },
];
const tagColumns = [
  { key: 'name', label: 'Name' },
  { key: 'device', label: 'Device', options: [] },
  { key: 'table', label: 'Table', options: [['holding', 'Holding registers'], ['input', 'Input registers'], ['coils', 'Coils'], ['discrete', 'Discrete inputs']] },
  { key: 'regAddr', label: 'Address', number: true, value: '0' },
  { key: 'regType', label: 'Type', options: [['int', 'int'], ['uint', 'uint'], ['float', 'float']], registers: true },
  { key: 'valSize', label: 'Size', options: [['16', '16'], ['32', '32'], ['64', '64']], registers: true, number: true },
  { key: 'byteOrder', label: 'Byte order', options: ['ABCD', 'CDAB', 'BADC', 'DCBA'].map((o) => [o, o]), registers: true },
  { key: 'scale', label: 'Scale', number: true, value: '1' },
  { key: 'offset', label: 'Offset', number: true, value: '0' },
  { key: 'unit', label: 'Unit' },
  { key: 'pollMs', label: 'Poll (ms)', number: true, value: '1000' },
  { key: 'writable', label: 'Writable', check: true },
];

const live = { source: null, project: '', running: false, tags: {}, rows: new Map(), mqttTimer: null };
let chart = null;

function say(text) { $('projectError').textContent = text; }
function show(reply) {
  if (reply.error !== undefined) say(reply.error || `The gateway did not answer (${reply.kind}).`);
  else say('');
  return reply.error === undefined;
}

// Multipart, so a large project stays clear of the form-encoded request limit.
async function post(func, fields) {
  const form = new FormData();
  form.append('func', func);
  for (const [name, value] of Object.entries(fields)) form.append(name, value);
  try {
    const response = await fetch('ajax.html', { method: 'POST', body: form, cache: 'no-store', headers });
    if (!response.ok) return { error: '', kind: 'http' };
    return parseReply(await response.text());
  } catch {
    return { error: '', kind: 'network' };
  }
}

// ---------- the devices and tags tables ----------

function cell(column, rowLabel, value) {
  let input;
  if (column.options) {
    input = document.createElement('select');
    for (const [v, label] of column.options) input.append(new Option(label, v));
  } else {
    input = document.createElement('input');
    if (column.check) input.type = 'checkbox';
    else { input.autocomplete = 'off'; input.spellcheck = false; }
    if (column.number) input.inputMode = 'decimal';
  }
  input.dataset.key = column.key;
  input.setAttribute('aria-label', `${rowLabel} ${column.label.toLowerCase()}`);
  if (column.check) input.checked = value === true;
  else if (value !== undefined) input.value = String(value);
  else if (column.value !== undefined) input.value = column.value;
  const td = document.createElement('td');
  td.append(input);
  return td;
}

function addRow(tableId, columns, kind, values = {}) {
  const body = $(tableId).tBodies[0];
  const tr = document.createElement('tr');
  const label = `${kind} ${body.rows.length + 1}`;
  for (const column of columns) tr.append(cell(column, label, values[column.key]));
  const remove = document.createElement('button');
  remove.type = 'button';
  remove.textContent = 'Remove';
  remove.setAttribute('aria-label', `Remove ${label.toLowerCase()}`);
  remove.addEventListener('click', () => { tr.remove(); syncDevices(); });
  const td = document.createElement('td');
  td.append(remove);
  tr.append(td);
  body.append(tr);
  tr.addEventListener('change', () => { syncRow(tr); if (tableId === 'devicesTable') syncDevices(); });
  if (tableId === 'devicesTable') field(tr, 'name').addEventListener('input', syncDevices);
  syncRow(tr);
  return tr;
}

const field = (tr, key) => tr.querySelector(`[data-key="${key}"]`);

// Only the fields that mean something for the row's link or table are shown.
function syncRow(tr) {
  const conn = field(tr, 'connType');
  if (conn) {
    const serial = conn.value === 'serial';
    for (const key of ['ipAddres_tcp', 'port_tcp']) field(tr, key).hidden = serial;
    for (const key of ['portSelect', 'baudRate', 'mode']) field(tr, key).hidden = !serial;
  }
  const table = field(tr, 'table');
  if (table) {
    const bits = table.value === 'coils' || table.value === 'discrete';
    for (const column of tagColumns.filter((c) => c.registers)) field(tr, column.key).hidden = bits;
    field(tr, 'writable').disabled = table.value === 'input' || table.value === 'discrete';
  }
}

// The tags' device choices follow the device names.
function syncDevices() {
  const names = [...$('devicesTable').tBodies[0].rows].map((tr) => field(tr, 'name').value).filter(Boolean);
  for (const select of $('tagsTable').querySelectorAll('[data-key="device"]')) {
    const current = select.value || select.dataset.wanted || '';
    select.replaceChildren(...names.map((n) => new Option(n, n)));
    if (names.includes(current)) select.value = current;
  }
}

function rowObject(tr, columns) {
  const out = {};
  for (const column of columns) {
    const input = field(tr, column.key);
    if (input.hidden) continue;
    if (column.check) { out[column.key] = input.checked; continue; }
    if (input.value === '' && column.key !== 'name' && column.key !== 'unit') continue;
    out[column.key] = column.number ? Number(input.value) : input.value;
  }
  return out;
}

function projectJson() {
  const devices = [...$('devicesTable').tBodies[0].rows].map((tr) => rowObject(tr, deviceColumns));
  const tags = [...$('tagsTable').tBodies[0].rows].map((tr) => rowObject(tr, tagColumns));
  for (const tag of tags) if (!tag.unit) delete tag.unit;
  return JSON.stringify({ devices, tags });
}

function fillTables(project) {
  $('devicesTable').tBodies[0].replaceChildren();
  $('tagsTable').tBodies[0].replaceChildren();
  for (const device of project.devices || []) addRow('devicesTable', deviceColumns, 'Device', device);
  for (const tag of project.tags || []) {
    const tr = addRow('tagsTable', tagColumns, 'Tag', tag);
    field(tr, 'device').dataset.wanted = tag.device;
  }
  syncDevices();
  for (const tr of $('tagsTable').tBodies[0].rows) syncRow(tr);
}

// ---------- saved projects ----------

async function loadList(select) {
  const reply = await ajax('listProjects');
  if (!show(reply) || !Array.isArray(reply.data)) return;
  $('projectSelect').replaceChildren(new Option('—', ''), ...reply.data.map((n) => new Option(n, n)));
  if (select !== undefined) $('projectSelect').value = select;
}

async function openProject() {
  const name = $('projectSelect').value;
  if (!name) return;
  const reply = await ajax('getProject', { name });
  if (!show(reply) || !reply.data) return;
  $('projectName').value = name;
  fillTables(reply.data);
}

function newProject() {
  $('projectSelect').value = '';
  $('projectName').value = '';
  fillTables({ devices: [], tags: [] });
  say('');
  $('projectName').focus();
}

async function saveProject() {
  const name = $('projectName').value.trim();
  const reply = await post('saveProject', { name, json: projectJson() });
  if (!show(reply)) return false;
  $('projectMessage').textContent = reply.data.ok;
  await loadList(name);
  return true;
}

async function deleteProject() {
  const name = $('projectSelect').value || $('projectName').value.trim();
  if (!name || !window.confirm(`Delete project ${name}?`)) return;
  const reply = await ajax('deleteProject', { name });
  if (!show(reply)) return;
  $('projectMessage').textContent = reply.data.ok;
  await loadList('');
}

// ---------- running ----------

async function startProject() {
  if (!(await saveProject())) return;
  const name = $('projectName').value.trim();
  const reply = await ajax('startProject', { name });
  if (!show(reply)) return;
  $('projectMessage').textContent = reply.data.ok;
  follow(name);
}

async function stopProject() {
  live.running = false;
  const reply = await ajax('stopProject');
  if (show(reply)) $('projectMessage').textContent = reply.data.ok;
  // The gateway ends the stream; it is closed once that arrives, so the
  // browser neither reconnects nor cuts a request short.
  setTimeout(closeStream, 5000);
  setRunState();
  refreshLogs();
}

function closeStream() {
  if (live.source) live.source.close();
  live.source = null;
}

function setRunState() {
  $('runState').textContent = live.running ? `Running: ${live.project}` : 'Not running';
  $('startProject').disabled = live.running;
  $('stopProject').disabled = !live.running;
}

function follow(name) {
  closeStream();
  live.project = name;
  live.running = true;
  live.rows.clear();
  $('valuesTable').tBodies[0].replaceChildren();
  setRunState();
  const source = new EventSource(`events.html?project=${encodeURIComponent(name)}`);
  live.source = source;
  source.addEventListener('values', (event) => {
    try { render(JSON.parse(event.data)); } catch { /* a torn event: the next one comes soon */ }
  });
  source.addEventListener('error', () => {
    if (!live.running && live.source === source) closeStream();
  });
  refreshMqtt();
}

function valueRow(name) {
  const tr = document.createElement('tr');
  const th = document.createElement('th');
  th.scope = 'row';
  th.textContent = name;
  const cells = ['value', 'quality', 'time'].map((key) => {
    const td = document.createElement('td');
    td.dataset.key = key;
    return td;
  });
  const check = document.createElement('input');
  check.type = 'checkbox';
  check.setAttribute('aria-label', `Chart ${name}`);
  check.addEventListener('change', updateSeries);
  const td = document.createElement('td');
  td.append(check);
  tr.append(th, ...cells, td);
  tr.dataset.tag = name;
  return { tr, cells, check };
}

function render(data) {
  if (!data || typeof data.tags !== 'object') return;
  live.tags = data.tags;
  const body = $('valuesTable').tBodies[0];
  for (const [name, v] of Object.entries(data.tags)) {
    let row = live.rows.get(name);
    if (!row) {
      row = valueRow(name);
      live.rows.set(name, row);
      body.append(row.tr);
      if (live.rows.size === 1) { row.check.checked = true; updateSeries(); }
    }
    row.cells[0].textContent = v.v === null ? '' : String(v.v);
    row.cells[1].textContent = String(v.q);
    row.cells[2].textContent = v.t ? new Date(v.t).toLocaleTimeString() : '';
    row.tr.dataset.quality = String(v.q);
  }
  $('valuesTable').dataset.updates = String(Number($('valuesTable').dataset.updates || 0) + 1);
  if (chart) chart.push(Date.now() / 1000, (name) => {
    const v = live.tags[name];
    return v && typeof v.v === 'number' ? v.v : null;
  });
}

function updateSeries() {
  if (!chart) return;
  const keys = [...live.rows].filter(([, row]) => row.check.checked).map(([name]) => name);
  chart.setSeries(keys, (name) => name);
}

async function refreshMqtt() {
  const reply = await ajax('getMqttStatus');
  const d = reply.data;
  if (reply.error !== undefined || !d || typeof d !== 'object') return;
  let text = d.connected ? `MQTT: connected, ${d.published} messages published` : 'MQTT: not connected';
  if (!d.connected && d.lastError) text += ` (${d.lastError})`;
  $('mqttState').textContent = text;
}

// ---------- logs ----------

async function refreshLogs() {
  const reply = await ajax('listLogs');
  if (reply.error !== undefined || !Array.isArray(reply.data)) return;
  $('logList').replaceChildren(...reply.data.map((file) => {
    const li = document.createElement('li');
    const a = document.createElement('a');
    a.href = '#';
    a.textContent = String(file);
    a.addEventListener('click', (event) => { event.preventDefault(); downloadLog(String(file)); });
    li.append(a);
    return li;
  }));
}

// The API wants the page's header, which a plain link cannot send.
async function downloadLog(file) {
  try {
    const response = await fetch(`ajax.html?func=downloadLog&file=${encodeURIComponent(file)}`, { cache: 'no-store', headers });
    if (!response.ok || !(response.headers.get('Content-Type') || '').startsWith('text/csv')) { say(`${file} could not be downloaded.`); return; }
    const a = document.createElement('a');
    a.href = URL.createObjectURL(await response.blob());
    a.download = file;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  } catch {
    say(`${file} could not be downloaded.`);
  }
}

// ---------- start ----------

export async function initProjectTab() {
  chart = new LiveChart($('projectChart'), () => {});
  $('projectSelect').addEventListener('change', openProject);
  $('newProject').addEventListener('click', newProject);
  $('saveProject').addEventListener('click', saveProject);
  $('deleteProject').addEventListener('click', deleteProject);
  $('addDevice').addEventListener('click', () => { addRow('devicesTable', deviceColumns, 'Device'); syncDevices(); });
  $('addTag').addEventListener('click', () => { addRow('tagsTable', tagColumns, 'Tag'); syncDevices(); });
  $('startProject').addEventListener('click', startProject);
  $('stopProject').addEventListener('click', stopProject);
  $('refreshLogs').addEventListener('click', refreshLogs);
  setInterval(() => { if (live.running && !document.hidden) refreshMqtt(); }, 5000);
  setRunState();
  await loadList('');
  // A project the gateway is already running is shown as it runs.
  const values = await ajax('getTagValues');
  if (values.data && typeof values.data.project === 'string' && values.data.project) {
    await loadList(values.data.project);
    await openProject();
    follow(values.data.project);
  }
  await Promise.all([refreshLogs(), refreshMqtt()]);
}
