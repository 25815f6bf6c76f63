// Calls to /webapi/entry.cgi. The session is the "id" cookie the host sets
// (HttpOnly): the page never sees it, and sends it only by going to its
// own origin.
const ENTRY = '/webapi/entry.cgi';

// The envelope's error (code), or an HTTP-level one (status, text).
export class CallError extends Error {
  constructor({ code = null, status = 0, text = '' }) {
    super(code !== null ? `error ${code}` : `HTTP ${status}`);
    this.code = code;
    this.status = status;
    this.text = text;
  }
}

export const NOT_LOGGED_IN = 119;

// Module parameters go JSON-encoded, so that a string is always a string
// (a typed "123" would otherwise become a number).
function form(api, method, params, raw) {
  const f = new URLSearchParams({ api, version: '1', method });
  for (const [name, value] of Object.entries(params)) {
    f.set(name, raw ? String(value) : JSON.stringify(value));
  }
  return f;
}

async function send(url, init) {
  let r;
  try {
    r = await fetch(url, { credentials: 'same-origin', cache: 'no-store', ...init });
  } catch (e) {
    throw new CallError({ status: 0 });
  }
  const type = r.headers.get('Content-Type') || '';
  if (r.status !== 200 || !type.startsWith('application/json')) {
    const text = (await r.text()).trim().slice(0, 200);
    throw new CallError({ status: r.status, text });
  }
  const envelope = await r.json();
  if (!envelope.success) throw new CallError({ code: envelope.error.code });
  return envelope.data || {};
}

// A reading call (GET).
export function get(api, method, params = {}) {
  return send(`${ENTRY}?${form(api, method, params, false)}`, { method: 'GET' });
}

// A changing call (POST, form-encoded).
export function post(api, method, params = {}, { raw = false } = {}) {
  return send(ENTRY, { method: 'POST', body: form(api, method, params, raw) });
}

// The address of a movie's backdrop image; `version` defeats the image
// cache after the backdrops changed.
export function backdropUrl(mapperId, version = 0) {
  const f = form('VELM.Kinoro.Backdrop', 'get', { mapper_id: mapperId }, false);
  if (version) f.set('v', String(version));
  return `${ENTRY}?${f}`;
}

// The answer's sid is dropped here: the cookie is the session.
export const login = (account, passwd) =>
  post('VELM.API.Auth', 'login', { account, passwd }, { raw: true }).then(() => undefined);
export const logout = () => post('VELM.API.Auth', 'logout');
