// Register bookkeeping without the page: addresses, write runs, files.

export const maxValues = 200;
export const maxBitsWritten = 1968;

export const isBitTable = (table) => table === 'coils' || table === 'discrete';
export const isWritableTable = (table) => table === 'holding' || table === 'coils';

// A 32-bit value over 16-bit registers takes two of them, a 64-bit one four.
export function span(regSize, valSize) {
  if (Number(regSize) !== 16) return 1;
  return { 32: 2, 64: 4 }[Number(valSize)] || 1;
}

// Value sizes each type can take, the one picked first when the current one
// does not fit, and whether 32-bit registers carry it.
export function sizesFor(type, regSize) {
  const wide = String(regSize) === '32';
  if (type === 'ascii' || type === 'hex') return { sizes: ['16'], wideRegisters: false };
  if (type === 'long' || type === 'float1234' || type === 'float4321') return { sizes: ['32'], wideRegisters: true };
  if (type === 'float') return { sizes: wide ? ['32'] : ['32', '64'], wideRegisters: true };
  return { sizes: wide ? ['32'] : ['16', '32', '64'], wideRegisters: true };
}

export function addressesOf(start, count, step) {
  return Array.from({ length: count }, (_, i) => start + i * step);
}

const numberPattern = /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
export const isNumber = (text) => numberPattern.test(String(text).trim());
export const isHexWord = (text) => /^(0x)?[0-9a-f]{1,4}$/i.test(String(text).trim());

// Text for `registers` registers: two Latin-1 characters each.
export const textFits = (text, registers) => text.length <= 2 * registers && !/[^\u0000-\u00ff]/.test(text);

// Rows sorted by address, cut into blocks that one write can carry:
// consecutive addresses (one value every `step` registers), at most `max` values.
export function writeRuns(rows, step, max = maxValues) {
  const sorted = [...rows].sort((a, b) => a.address - b.address);
  const runs = [];
  let run = null;
  for (const row of sorted) {
    if (run && row.address === run.start + run.values.length * step && run.values.length < max) {
      run.values.push(row.value);
    } else {
      run = { start: row.address, values: [row.value] };
      runs.push(run);
    }
  }
  return runs;
}

export function toCsv(rows) {
  return 'Address,Value\r\n' + rows.map((r) => `${r.address},${r.value}`).join('\r\n') + '\r\n';
}

// Lines of "address,value" (comma, semicolon, tab or blanks between them);
// headers, comments and anything else that is not an address and a value are skipped.
export function parseRegisterList(text, isValue = isNumber) {
  const rows = [];
  for (const line of String(text).split(/\r\n|\r|\n/)) {
    const fields = line.trim().split(/\s*[,;\t]\s*|\s+/);
    if (fields.length < 2) continue;
    const [address, value] = fields;
    if (!/^\d+$/.test(address) || !isValue(value)) continue;
    const n = Number(address);
    if (n > 65535) continue;
    rows.push({ address: n, value: value.trim() });
  }
  return rows;
}

export function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

// The PDF is rendered by the gateway's rich-text engine: plain tables only.
export function reportHtml(rows, meta) {
  const head = meta.lines.map((l) => `<p>${escapeHtml(l)}</p>`).join('');
  const body = rows.map((r) => `<tr><td>${escapeHtml(r.address)}</td><td>${escapeHtml(r.value)}</td></tr>`).join('');
  return '<html><head><meta charset="utf-8"></head><body style="font-family:sans-serif">'
    + `<h2>${escapeHtml(meta.title)}</h2>${head}`
    + '<table border="1" cellspacing="0" cellpadding="4">'
    + `<tr><th>${escapeHtml(meta.address)}</th><th>${escapeHtml(meta.value)}</th></tr>${body}</table></body></html>`;
}

// Lower-case query for readRegisters and writeRegisters from the form's values;
// the byte order only when one was picked (none: each type's own).
export function transferParams(form) {
  const params = {
    regAddr: form.regAddr, valuesCnt: form.count, regType: form.valueType,
    regSize: form.regSize, valSize: form.valSize,
  };
  if (form.byteOrder) params.byteOrder = form.byteOrder;
  return params;
}

// Field checks the gateway would otherwise answer less helpfully.
export function checkForm(form) {
  const bad = [];
  const intIn = (v, lo, hi) => Number.isInteger(v) && v >= lo && v <= hi;
  if (!intIn(form.regAddr, 0, 65535)) bad.push('regAddr');
  if (!intIn(form.count, 1, 100000)) bad.push('count');
  if (!intIn(form.precision, 0, 100)) bad.push('precision');
  if (!intIn(form.interval, 100, 3600000)) bad.push('interval');
  return bad;
}
