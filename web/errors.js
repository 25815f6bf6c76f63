// Error codes in words. The sentences live in one place, the API
// reference, under its "x-error-codes" member; it is fetched once.
let sentences = null;

function load() {
  if (sentences === null) {
    sentences = fetch('/webapi/openapi.json', { cache: 'no-cache' })
      .then((r) => (r.ok ? r.json() : {}))
      .then((doc) => doc['x-error-codes'] || {})
      .catch(() => ({}));
  }
  return sentences;
}

// A sentence for an envelope's error code; "error N" when the reference
// has none (or could not be read).
export async function describeCode(code) {
  const known = await load();
  return known[String(code)] || `error ${code}`;
}

// A sentence for anything a call threw.
export async function describe(error) {
  if (error && error.code !== undefined && error.code !== null) return describeCode(error.code);
  if (error && error.status) {
    const text = error.text ? `: ${error.text}` : '';
    return `The server answered HTTP ${error.status}${text}.`;
  }
  return 'The server could not be reached.';
}
