// Presents the API reference (openapi.json) as a page: each method with its
// parameters, defaults, answer shape and errors, then the error codes, the
// HTTP-level answers and the shared schemas. Everything is built with DOM
// calls and textContent: the page runs under default-src 'self'.

const kSources = ['/webapi/openapi.json', 'openapi.json'];

async function loadDocument() {
  for (const url of kSources) {
    try {
      const answer = await fetch(url, {credentials: 'same-origin'});
      if (answer.ok) return await answer.json();
    } catch (err) {
      // the next source
    }
  }
  throw new Error('the reference (openapi.json) could not be loaded');
}

// el('p', {class: 'x'}, 'text', child, ...)
function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) node.setAttribute(name, value);
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  }
  return node;
}

// The small part of Markdown the document uses: paragraphs, `code` and
// **bold**.
function prose(text) {
  const out = document.createDocumentFragment();
  for (const paragraph of String(text || '').split(/\n\s*\n/)) {
    const p = el('p');
    for (const piece of paragraph.split(/(`[^`]*`|\*\*[^*]*\*\*)/)) {
      if (piece.startsWith('`') && piece.endsWith('`') && piece.length > 1) {
        p.append(el('code', {}, piece.slice(1, -1)));
      } else if (piece.startsWith('**') && piece.endsWith('**') && piece.length > 3) {
        p.append(el('strong', {}, piece.slice(2, -2)));
      } else {
        p.append(piece);
      }
    }
    out.append(p);
  }
  return out;
}

function anchor(text) {
  return text.replace(/[^A-Za-z0-9_.-]+/g, '-');
}

function refName(schema) {
  const m = schema && schema.$ref && schema.$ref.match(/^#\/components\/schemas\/(.+)$/);
  return m ? m[1] : null;
}

// A one-line label of a schema's type: links for named schemas.
function typeLabel(schema) {
  const frag = document.createDocumentFragment();
  if (!schema) return frag;
  const name = refName(schema);
  if (name) {
    frag.append(el('a', {href: '#schema-' + anchor(name)}, name));
  } else if ('const' in schema) {
    frag.append(el('code', {}, JSON.stringify(schema.const)));
  } else if (schema.enum) {
    schema.enum.forEach((v, i) => {
      if (i) frag.append(' | ');
      frag.append(el('code', {}, JSON.stringify(v)));
    });
  } else if (schema.oneOf || schema.anyOf) {
    (schema.oneOf || schema.anyOf).forEach((s, i) => {
      if (i) frag.append(' or ');
      frag.append(typeLabel(s));
    });
  } else if (schema.type === 'array') {
    frag.append('array of ', typeLabel(schema.items || {}));
  } else if (schema.type === 'object' && schema.maxProperties === 0) {
    frag.append('empty object');
  } else {
    frag.append(schema.type || 'any value');
  }
  const limits = [];
  if ('minimum' in schema) limits.push('≥ ' + schema.minimum);
  if ('maximum' in schema) limits.push('≤ ' + schema.maximum);
  if ('minLength' in schema) limits.push('not empty');
  if (limits.length) frag.append(' (' + limits.join(', ') + ')');
  return frag;
}

// An object schema as a table of members; nested objects in place.
function membersTable(schema) {
  const required = new Set(schema.required || []);
  const table = el('table', {class: 'members'},
      el('thead', {}, el('tr', {}, el('th', {}, 'Member'), el('th', {}, 'Type'), el('th', {}, 'Notes'))));
  const body = el('tbody');
  for (const [name, sub] of Object.entries(schema.properties || {})) {
    const notes = el('td');
    notes.append(required.has(name) ? 'always' : 'optional');
    if (sub.description) notes.append(': ', sub.description);
    const type = el('td', {}, typeLabel(sub));
    if (sub.type === 'object' && sub.properties && Object.keys(sub.properties).length) {
      type.append(membersTable(sub));
    }
    body.append(el('tr', {}, el('td', {}, el('code', {}, name)), type, notes));
  }
  table.append(body);
  return table;
}

function schemaView(schema) {
  const box = el('div', {class: 'schema'});
  if (schema.description) box.append(prose(schema.description));
  if (schema.type === 'object' && schema.properties) {
    box.append(membersTable(schema));
  } else {
    box.append(el('p', {}, typeLabel(schema)));
  }
  return box;
}

function parametersOf(item) {
  const op = item.get && item.get.parameters ? item.get : item.post;
  const rows = [];
  const body = item.post && item.post.requestBody &&
      item.post.requestBody.content['application/x-www-form-urlencoded'];
  if (body) {
    const schema = body.schema;
    const required = new Set(schema.required || []);
    for (const [name, s] of Object.entries(schema.properties)) {
      rows.push({name, schema: s, required: required.has(name), description: s.description || ''});
    }
    return rows;
  }
  for (const p of op.parameters || []) {
    if (p.$ref) continue;
    const schema = p.schema || Object.values(p.content || {})[0].schema;
    rows.push({name: p.name, schema, required: p.required, description: p.description || ''});
  }
  return rows;
}

function methodSection(doc, path, item) {
  const entry = item['x-entry'];
  const op = item.post || item.get;
  const id = 'method-' + anchor(entry.api + '.' + entry.method);
  const section = el('section', {id, class: 'method'});
  section.append(el('h3', {}, el('code', {}, entry.method), ' — ', op.summary || ''));
  const verbs = item.get && item.get.responses && item.get.responses['200'] ? 'GET or POST' : 'POST';
  section.append(el('p', {class: 'call'},
      el('code', {}, `${verbs} ${entry.path}?api=${entry.api}&version=${entry.version}&method=${entry.method}`)));
  section.append(prose(op.description));

  const params = parametersOf(item).filter((p) => !['api', 'version', 'method'].includes(p.name));
  if (params.length) {
    const table = el('table', {class: 'params'}, el('thead', {}, el('tr', {},
        el('th', {}, 'Parameter'), el('th', {}, 'Type'), el('th', {}, 'Required'),
        el('th', {}, 'Default'), el('th', {}, 'Meaning'))));
    const body = el('tbody');
    for (const p of params) {
      const dflt = 'default' in p.schema ? el('code', {}, JSON.stringify(p.schema.default)) : '';
      body.append(el('tr', {}, el('td', {}, el('code', {}, p.name)), el('td', {}, typeLabel(p.schema)),
          el('td', {}, p.required ? 'yes' : 'no'), el('td', {}, dflt), el('td', {}, prose(p.description))));
    }
    table.append(body);
    section.append(el('h4', {}, 'Parameters'), table);
  } else {
    section.append(el('p', {}, 'No parameters of its own.'));
  }

  const ok = op.responses['200'];
  const json = ok && ok.content && ok.content['application/json'];
  section.append(el('h4', {}, 'Answer'));
  if (ok && ok.content && ok.content['image/jpeg']) {
    section.append(prose(ok.description));
    for (const status of ['304', '404']) {
      if (op.responses[status]) section.append(el('p', {}, el('strong', {}, status + ': '), op.responses[status].description));
    }
  } else if (json) {
    const success = (json.schema.oneOf || []).map(refName).find((n) => n && !n.endsWith('Error'));
    const schema = success && doc.components.schemas[success];
    if (schema && schema.properties.data) {
      section.append(el('p', {}, 'On success, ', el('code', {}, 'data'), ' is:'), schemaView(schema.properties.data));
    } else {
      section.append(el('p', {}, el('code', {}, '{"success": true}'), ' without data.'));
    }
  }

  const errors = op['x-errors'] || {};
  if (Object.keys(errors).length) {
    const table = el('table', {class: 'errors'}, el('thead', {}, el('tr', {},
        el('th', {}, 'Code'), el('th', {}, 'When'), el('th', {}, 'In words'))));
    const body = el('tbody');
    for (const [code, when] of Object.entries(errors)) {
      body.append(el('tr', {}, el('td', {}, el('a', {href: '#code-' + code}, code)),
          el('td', {}, prose(when)), el('td', {}, doc['x-error-codes'][code] || '')));
    }
    table.append(body);
    section.append(el('h4', {}, 'Errors'), table);
  }
  return section;
}

function render(doc) {
  document.title = doc.info.title + ' reference';
  document.getElementById('title').textContent = doc.info.title + ' reference';
  const main = document.getElementById('reference');
  const nav = document.getElementById('contents');
  main.replaceChildren();
  nav.replaceChildren();

  main.append(el('section', {id: 'overview'}, el('h2', {}, 'Calling the API'), prose(doc.info.description)));
  const navList = el('ul');
  navList.append(el('li', {}, el('a', {href: '#overview'}, 'Calling the API')));

  const byApi = new Map();
  for (const [path, item] of Object.entries(doc.paths)) {
    const api = item['x-entry'].api;
    if (!byApi.has(api)) byApi.set(api, []);
    byApi.get(api).push([path, item]);
  }
  const tags = new Map((doc.tags || []).map((t) => [t.name, t.description]));
  for (const [api, items] of byApi) {
    const section = el('section', {id: 'api-' + anchor(api)}, el('h2', {}, el('code', {}, api)));
    if (tags.get(api)) section.append(prose(tags.get(api)));
    const sub = el('ul');
    for (const [path, item] of items) {
      const s = methodSection(doc, path, item);
      section.append(s);
      sub.append(el('li', {}, el('a', {href: '#' + s.id}, item['x-entry'].method)));
    }
    main.append(section);
    navList.append(el('li', {}, el('a', {href: '#' + section.id}, api), sub));
  }

  const codes = el('table', {class: 'errors'}, el('thead', {}, el('tr', {}, el('th', {}, 'Code'), el('th', {}, 'Meaning'))));
  const codeBody = el('tbody');
  for (const [code, sentence] of Object.entries(doc['x-error-codes'] || {})) {
    codeBody.append(el('tr', {id: 'code-' + code}, el('td', {}, code), el('td', {}, sentence)));
  }
  codes.append(codeBody);
  main.append(el('section', {id: 'error-codes'}, el('h2', {}, 'Error codes'),
      el('p', {}, 'The envelope ', el('code', {}, '{"success": false, "error": {"code": N}}'), ' carries one of these.'), codes));
  navList.append(el('li', {}, el('a', {href: '#error-codes'}, 'Error codes')));

  const http = el('table', {class: 'errors'}, el('thead', {}, el('tr', {}, el('th', {}, 'Status'), el('th', {}, 'When'))));
  const httpBody = el('tbody');
  for (const [status, when] of Object.entries(doc['x-http-answers'] || {})) {
    httpBody.append(el('tr', {}, el('td', {}, status), el('td', {}, when)));
  }
  http.append(httpBody);
  main.append(el('section', {id: 'http-answers'}, el('h2', {}, 'HTTP-level answers'), http));
  navList.append(el('li', {}, el('a', {href: '#http-answers'}, 'HTTP-level answers')));

  const schemas = el('section', {id: 'schemas'}, el('h2', {}, 'Answer shapes'));
  for (const [name, schema] of Object.entries(doc.components.schemas)) {
    schemas.append(el('section', {id: 'schema-' + anchor(name), class: 'shape'}, el('h3', {}, name), schemaView(schema)));
  }
  main.append(schemas);
  navList.append(el('li', {}, el('a', {href: '#schemas'}, 'Answer shapes')));
  nav.append(navList);

  // The hash named a place that exists only now.
  if (location.hash) {
    const target = document.getElementById(decodeURIComponent(location.hash.slice(1)));
    if (target) target.scrollIntoView();
  }
}

loadDocument().then(render).catch((err) => {
  document.getElementById('status').textContent = err.message;
});
