#!/usr/bin/env node
// Checks web/openapi.json against the server's recorded answers, so that the
// reference cannot drift from what the server says.
//
//   node check-answers.js --document web/openapi.json --answers answers.jsonl
//       [--generic-api NAME]... [--require-all] [--readme README.md]
//       [--expect-reject]
//
// Each line of the answers file is one JSON answer as the HTTP tests saw it:
// {"api", "method", "status", "body"}. An answer is checked against the
// schema of its api+method (the path item whose x-entry names them); host
// errors 101-104 against HostError, since the host gives them before it
// knows the method; answers of the host's own test APIs (--generic-api)
// against the bare envelope. An answer of any other api+method fails.
//
// --require-all: every api+method of the document must have an answer, once
//   any answer of the module's APIs was recorded (a run of only the host's
//   tests cannot cover them).
// --readme: README's error table must say what x-error-codes says.
// --expect-reject: the self-test: every line must be rejected on its own.
'use strict';

const fs = require('fs');
const Ajv2020 = require('ajv/dist/2020');

const kHostCodes = new Set([101, 102, 103, 104]);

function parseArgs(argv) {
  const args = {generic: new Set(), requireAll: false, expectReject: false};
  for (let i = 0; i < argv.length; ++i) {
    const a = argv[i];
    if (a === '--document') args.document = argv[++i];
    else if (a === '--answers') args.answers = argv[++i];
    else if (a === '--generic-api') args.generic.add(argv[++i]);
    else if (a === '--readme') args.readme = argv[++i];
    else if (a === '--require-all') args.requireAll = true;
    else if (a === '--expect-reject') args.expectReject = true;
    else throw new Error('unknown argument ' + a);
  }
  if (!args.document) throw new Error('--document is required');
  return args;
}

// Walks every schema of the document: components and the operations'
// parameters, bodies and answers. fn(schema, where).
function forEachSchema(doc, fn) {
  const seen = new Set();
  const walk = (s, where) => {
    if (s === null || typeof s !== 'object' || seen.has(s)) return;
    seen.add(s);
    fn(s, where);
    for (const k of ['properties', '$defs']) {
      for (const [name, sub] of Object.entries(s[k] || {})) walk(sub, where + '.' + name);
    }
    for (const k of ['items', 'not', 'additionalProperties', 'contains']) {
      if (typeof s[k] === 'object') walk(s[k], where + '.' + k);
    }
    for (const k of ['oneOf', 'anyOf', 'allOf', 'prefixItems']) {
      (s[k] || []).forEach((sub, i) => walk(sub, `${where}.${k}[${i}]`));
    }
  };
  const walkContent = (content, where) => {
    for (const [type, media] of Object.entries(content || {})) walk(media.schema, where + ' ' + type);
  };
  for (const [name, s] of Object.entries(doc.components.schemas)) walk(s, name);
  for (const [name, r] of Object.entries(doc.components.responses || {})) walkContent(r.content, name);
  for (const [path, item] of Object.entries(doc.paths)) {
    for (const verb of ['get', 'post']) {
      const op = item[verb];
      if (!op) continue;
      for (const p of op.parameters || []) {
        if (p.schema) walk(p.schema, `${path} ${verb} ${p.name}`);
        walkContent(p.content, `${path} ${verb} ${p.name}`);
      }
      if (op.requestBody) walkContent(op.requestBody.content, `${path} ${verb} body`);
      for (const [status, r] of Object.entries(op.responses)) {
        walkContent(r.content, `${path} ${verb} ${status}`);
      }
    }
  }
}

// The document's own shape: OpenAPI 3.1, resolvable references, closed
// objects, and a sentence for every error code it names.
function checkDocument(doc) {
  const problems = [];
  if (!/^3\.1\.\d+$/.test(doc.openapi || '')) problems.push('openapi is not 3.1.x');
  if (!doc.info || !doc.info.title || !doc.info.version) problems.push('info needs title and version');
  if (!doc.paths || !doc.components || !doc.components.schemas) problems.push('paths and components.schemas are required');
  if (problems.length) return problems;
  const text = JSON.stringify(doc);
  for (const m of text.matchAll(/"\$ref":"#\/([^"]*)"/g)) {
    let node = doc;
    for (const part of m[1].split('/')) node = node === undefined ? undefined : node[part];
    if (node === undefined) problems.push('unresolved $ref #/' + m[1]);
  }
  const sentences = doc['x-error-codes'] || {};
  forEachSchema(doc, (s, where) => {
    if (s.type === 'object') {
      if (!Array.isArray(s.required)) problems.push(where + ': object without required');
      if (s.additionalProperties !== false) problems.push(where + ': object without additionalProperties: false');
      for (const r of s.required || []) {
        if (!(r in (s.properties || {}))) problems.push(`${where}: required ${r} is not a property`);
      }
    }
    if (where.endsWith('.code') && Array.isArray(s.enum)) {
      for (const c of s.enum) {
        if (!(String(c) in sentences)) problems.push(`${where}: code ${c} has no x-error-codes sentence`);
      }
    }
  });
  for (const [path, item] of Object.entries(doc.paths)) {
    const entry = item['x-entry'];
    if (!path.startsWith('/')) problems.push(path + ': a path must begin with /');
    if (!entry || !entry.api || !entry.method) problems.push(path + ': no x-entry with api and method');
    for (const verb of ['get', 'post']) {
      for (const c of Object.keys((item[verb] || {})['x-errors'] || {})) {
        if (!(c in sentences)) problems.push(`${path} ${verb}: x-errors ${c} has no x-error-codes sentence`);
      }
    }
  }
  for (const [code, sentence] of Object.entries(sentences)) {
    if (!/^\d+$/.test(code) || typeof sentence !== 'string' || !sentence.endsWith('.')) {
      problems.push(`x-error-codes ${code}: one sentence per numeric code`);
    }
  }
  return problems;
}

// README's error table: rows "| code | sentence |" under a heading that
// names error codes.
function checkReadme(doc, readmeText) {
  const problems = [];
  const section = readmeText.split(/^## /m).find((s) => /^Error codes/i.test(s));
  if (!section) return ['README has no "## Error codes" section'];
  const table = {};
  for (const line of section.split('\n')) {
    const m = line.match(/^\|\s*(\d+)\s*\|\s*(.*?)\s*\|\s*$/);
    if (m) table[m[1]] = m[2];
  }
  const sentences = doc['x-error-codes'];
  for (const [code, sentence] of Object.entries(sentences)) {
    if (!(code in table)) problems.push(`README lacks code ${code}`);
    else if (table[code] !== sentence) {
      problems.push(`README says for ${code}: "${table[code]}"; the document: "${sentence}"`);
    }
  }
  for (const code of Object.keys(table)) {
    if (!(code in sentences)) problems.push(`README names code ${code}, the document does not`);
  }
  return problems;
}

// Schemas of the document compiled once; refs into components become refs
// into one schema resource.
function makeChecker(doc) {
  const kBase = 'https://kinoro.invalid/openapi.json';
  const rewrite = (s) =>
      JSON.parse(JSON.stringify(s).replaceAll('"#/components/schemas/', `"${kBase}#/$defs/`));
  const ajv = new Ajv2020({strict: true, strictTypes: false, validateFormats: false, allErrors: true});
  ajv.addSchema({$id: kBase, $defs: rewrite(doc.components.schemas)});
  const compiled = new Map();
  const compile = (s) => {
    const key = JSON.stringify(s);
    if (!compiled.has(key)) compiled.set(key, ajv.compile(rewrite(s)));
    return compiled.get(key);
  };
  const ops = new Map();
  for (const item of Object.values(doc.paths)) {
    const e = item['x-entry'];
    ops.set(`${e.api} ${e.method}`, item);
  }
  // Every schema must compile, whether an answer will use it or not.
  forEachSchema(doc, (s, where) => {
    try {
      compile(s);
    } catch (err) {
      throw new Error(`${where}: ${err.message}`);
    }
  });
  const resolve = (r) => {
    const m = r && r.$ref && r.$ref.match(/^#\/components\/responses\/(.*)$/);
    return m ? doc.components.responses[m[1]] : r;
  };
  // Of a oneOf between a success and an error answer, the one that says
  // what the body says: its errors are then the ones that matter.
  const branchFor = (schema, body) => {
    for (const sub of schema.oneOf || []) {
      const m = sub.$ref && sub.$ref.match(/^#\/components\/schemas\/(.*)$/);
      const target = m ? doc.components.schemas[m[1]] : sub;
      const success = target.properties && target.properties.success;
      if (success && success.const === body.success) return sub;
    }
    return schema;
  };
  const hostError = compile({$ref: '#/components/schemas/HostError'});
  const anyAnswer = compile({$ref: '#/components/schemas/AnyAnswer'});

  // null when the answer fits the document, else why not.
  return {
    ops,
    check(rec, generic) {
      const body = rec.body;
      if (body === null || typeof body !== 'object') return 'the body is not a JSON object';
      const code = body.success === false && body.error ? body.error.code : undefined;
      const item = ops.get(`${rec.api} ${rec.method}`);
      let validate;
      if (kHostCodes.has(code) && rec.status === 200) {
        validate = hostError;
      } else if (!item) {
        if (!generic.has(rec.api)) return `${rec.api} ${rec.method} is not in the document`;
        if (rec.status !== 200 && rec.status !== 500) return `status ${rec.status} with a JSON body`;
        validate = anyAnswer;
      } else {
        const op = item.post || item.get;
        const response = resolve(op.responses[String(rec.status)]);
        const media = response && response.content && response.content['application/json'];
        if (!media) return `status ${rec.status} is not documented as a JSON answer`;
        validate = compile(branchFor(media.schema, body));
      }
      if (validate(body)) return null;
      return ajv.errorsText(validate.errors, {separator: '; '});
    },
  };
}

function readAnswers(file) {
  const text = fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
  return text.split('\n').filter((l) => l.trim() !== '').map((line, i) => {
    try {
      return {line: i + 1, rec: JSON.parse(line)};
    } catch (err) {
      return {line: i + 1, rec: null, text: line};
    }
  });
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  const doc = JSON.parse(fs.readFileSync(args.document, 'utf8'));
  const problems = checkDocument(doc);
  if (args.readme) problems.push(...checkReadme(doc, fs.readFileSync(args.readme, 'utf8')));
  if (problems.length) {
    for (const p of problems) console.error('document: ' + p);
    return 1;
  }
  const checker = makeChecker(doc);
  if (!args.answers) {
    console.log(`document: ${checker.ops.size} methods, fine`);
    return 0;
  }
  const answers = readAnswers(args.answers);
  if (answers.length === 0) {
    // The HTTP tests were not among those run (they check that they record).
    console.log(`no answers in ${args.answers}; nothing to check`);
    return 0;
  }
  let failures = 0;
  const answered = new Set();
  for (const {line, rec, text} of answers) {
    const why = rec === null ? 'not a JSON line: ' + text.slice(0, 100) : checker.check(rec, args.generic);
    if (args.expectReject) {
      if (why === null) {
        console.error(`line ${line}: accepted, but it is wrong: ${JSON.stringify(rec).slice(0, 300)}`);
        ++failures;
      } else {
        console.log(`line ${line}: rejected as it should be: ${why}`);
      }
      continue;
    }
    if (why !== null) {
      console.error(`line ${line}: ${rec ? `${rec.api} ${rec.method} ${rec.status}` : ''}: ${why}`);
      if (rec) console.error('  ' + JSON.stringify(rec.body).slice(0, 400));
      ++failures;
    } else {
      answered.add(`${rec.api} ${rec.method}`);
    }
  }
  // Only a run that included the module's own test can cover every method.
  const moduleRan = [...answered].some((key) => key.startsWith('VELM.Kinoro.'));
  if (args.requireAll && moduleRan) {
    for (const key of checker.ops.keys()) {
      if (!answered.has(key)) {
        console.error(`no recorded answer of ${key}`);
        ++failures;
      }
    }
  }
  console.log(`${answers.length} answers, ${failures} failure(s)`);
  return failures === 0 ? 0 : 1;
}

try {
  process.exitCode = main();
} catch (err) {
  console.error(err.message);
  process.exitCode = 2;
}
