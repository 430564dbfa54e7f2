// Register bookkeeping without the page: addresses, write runs, files.

export const maxValues = 200;

// A 32-bit value over 16-bit registers takes two of them.
export function span(regSize, valSize) {
  return Number(valSize) === 32 && Number(regSize) === 16 ? 2 : 1;
}

export function addressesOf(start, count, step) {
  return Array.from({ length: count }, (_, i) => start + i * step);
}

const numberPattern = /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
export const isNumber = (text) => numberPattern.test(String(text).trim());

// Rows sorted by address, cut into blocks that one writeRegisters can carry:
// consecutive addresses (one value every `step` registers), at most 200 values.
export function writeRuns(rows, step) {
  const sorted = [...rows].sort((a, b) => a.address - b.address);
  const runs = [];
  let run = null;
  for (const row of sorted) {
    if (run && row.address === run.start + run.values.length * step && run.values.length < maxValues) {
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
// headers, comments and anything else that is not two numbers are skipped.
export function parseRegisterList(text) {
  const rows = [];
  for (const line of String(text).split(/\r\n|\r|\n/)) {
    const fields = line.trim().split(/\s*[,;\t]\s*|\s+/);
    if (fields.length < 2) continue;
    const [address, value] = fields;
    if (!/^\d+$/.test(address) || !isNumber(value)) continue;
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

// Lower-case query for readRegisters and writeRegisters from the form's values.
export function transferParams(form) {
  const params = {
    regAddr: form.regAddr, valuesCnt: form.count, regType: form.valueType,
    regSize: form.regSize, valSize: form.valSize,
  };
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
