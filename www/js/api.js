// The gateway's AJAX interface. Every call answers HTTP 200; failures travel
// as {"error":"..."} in the body and an empty body means nothing was done.
// Only relative URLs: the gateway serves its own page and checks the origin.
// Every call carries X-Requested-With, which a page of another site cannot
// send without a preflight the gateway never grants; downloads are fetched
// and handed over as a Blob, never by a form navigation.
const headers = { 'X-Requested-With': 'XMLHttpRequest' };

// Reply shapes handed to the callers:
//   { ok: true, data, text }   a reply that is not an error
//   { error: 'text' }          the gateway's own words, or kind 'empty' | 'network' | 'http' | 'reply'
export function parseReply(text) {
  if (text === '') return { error: '', kind: 'empty' };
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    // Error texts carry library messages unescaped; keep the gateway's words.
    const m = /^\{"error":"([\s\S]*)"\}$/.exec(text);
    if (m) return { error: m[1], kind: 'gateway' };
    return { ok: true, data: undefined, text };
  }
  if (data && typeof data === 'object' && !Array.isArray(data) && typeof data.error === 'string') {
    return { error: data.error, kind: 'gateway', data };
  }
  return { ok: true, data, text };
}

// Parameters the engine percent-decodes a second time are encoded twice, so
// that a % typed by the user arrives as a %.
export const twice = (text) => encodeURIComponent(text);

export async function ajax(func, params = {}) {
  const query = new URLSearchParams({ func });
  for (const [name, value] of Object.entries(params)) query.append(name, String(value));
  return request('ajax.html?' + query.toString());
}

async function request(url, init = {}) {
  let response;
  try {
    response = await fetch(url, { cache: 'no-store', headers, ...init });
  } catch {
    return { error: '', kind: 'network' };
  }
  if (!response.ok) return { error: '', kind: 'http', status: response.status };
  return parseReply(await response.text());
}

// Register values come back as a bare array; split it ourselves so that the
// gateway's number formatting (12.50, 1.23457e+06, nan) reaches the table unchanged.
export function splitValues(text) {
  const body = text.trim();
  if (!body.startsWith('[') || !body.endsWith(']')) return null;
  const inner = body.slice(1, -1).trim();
  return inner === '' ? [] : inner.split(',').map((v) => v.trim());
}

export async function readRegisters(params) {
  const reply = await ajax('readRegisters', params);
  if (reply.error !== undefined) return reply;
  const values = splitValues(reply.text);
  return values ? { ok: true, values } : { error: '', kind: 'reply' };
}

// Texts (ascii, hex) come as JSON strings, so they are read as JSON.
export async function readRegisterTexts(params) {
  const reply = await ajax('readRegisters', params);
  if (reply.error !== undefined) return reply;
  const ok = Array.isArray(reply.data) && reply.data.every((v) => typeof v === 'string');
  return ok ? { ok: true, values: reply.data } : { error: '', kind: 'reply' };
}

// Coils and discrete inputs: [1,0,...], handed on as '1' and '0'.
export async function readBits(params) {
  const reply = await ajax('readBits', params);
  if (reply.error !== undefined) return reply;
  const ok = Array.isArray(reply.data) && reply.data.every((v) => v === 0 || v === 1);
  return ok ? { ok: true, values: reply.data.map(String) } : { error: '', kind: 'reply' };
}

// The download echo: the gateway returns fileContent as an attachment
// (rendered to PDF when the name says so). Multipart keeps large tables
// clear of the form-encoded request limit.
export async function saveFile(filename, content) {
  const form = new FormData();
  form.append('filename', filename);
  form.append('fileContent', content);
  let response;
  try {
    response = await fetch('saveFile.html', { method: 'POST', body: form, cache: 'no-store', headers });
  } catch {
    return { error: '', kind: 'network' };
  }
  if (!response.ok) return { error: '', kind: 'http', status: response.status };
  return { ok: true, blob: await response.blob() };
}

// The upload echo: a local file comes back as text.
export async function loadFile(file) {
  const form = new FormData();
  form.append('uploadedfile', file, file.name);
  let response;
  try {
    response = await fetch('loadFile.html', { method: 'POST', body: form, cache: 'no-store', headers });
  } catch {
    return { error: '', kind: 'network' };
  }
  if (!response.ok) return { error: '', kind: 'http', status: response.status };
  return { ok: true, text: await response.text() };
}

export async function fetchText(url) {
  try {
    const response = await fetch(url, { cache: 'no-store', headers });
    return response.ok ? await response.text() : null;
  } catch {
    return null;
  }
}
