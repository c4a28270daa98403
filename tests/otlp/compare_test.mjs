// Runs compare.mjs on edited copies of sample.jsonl: the equivalences it must forgive, and the
// faults of an export it must report. Usage: node --test tests/otlp/
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

const here = new URL('.', import.meta.url).pathname;
const sample = readFileSync(`${here}sample.jsonl`, 'utf8');
const pass = /^otlp: 1 requests, 3 spans match the official serializer\n$/;

// The sample as one line after fn changes its request; spans[0] is the root, [2] the orphan.
function edit(fn) {
  const request = JSON.parse(sample);
  const spans = request.resourceSpans[0].scopeSpans[0].spans;
  fn(request, spans);
  return `${JSON.stringify(request)}\n`;
}
const attr = (span, key) => span.attributes.find(a => a.key === key).value;
const modelTime = value => edit((r, s) => { attr(s[2], 'quorix.model_time').intValue = value; });

//  name, standard input, what compare.mjs prints (on standard output when it passes)
const cases = [
  // OTLP/JSON equivalences, forgiven
  ['the sample', sample, pass],
  ['intValue as a number', edit((r, s) => { attr(s[0], 'quorix.sequence').intValue = 1; }), pass],
  ['times as numbers',
   edit((r, s) => Object.assign(s[0], { startTimeUnixNano: 5, endTimeUnixNano: 5 })), pass],
  ['defaults written out', edit((r, s) => {
    Object.assign(s[0], { parentSpanId: '', traceState: '', events: [], links: [], status: {},
                          droppedAttributesCount: 0 });
    r.resourceSpans[0].schemaUrl = '';
  }), pass],
  ['an empty string value', edit((r, s) => { attr(s[1], 'quorix.id').stringValue = ''; }), pass],
  // beyond what an SDK attribute holds: carried as a placeholder, compared in place
  ['intValue beyond 2^53', modelTime('9007199254740993'), pass],
  // What the official serializer writes differently
  ['no span flags', edit((r, s) => { delete s[1].flags; }),
   /spans\[1\]\.flags: ours \(absent\), official 256$/m],
  ['a field it does not know', edit((r, s) => { s[2].quorix = 1; }),
   /spans\[2\]\.quorix: ours 1, official \(absent\)$/m],
  ['unpadded base64', edit((r, s) => { attr(s[2], 'quorix.parent_id').bytesValue = 'cSInPCY'; }),
   /bytesValue: ours "cSInPCY", official "cSInPCY="$/m],
  ['a scope without spans', edit(r => r.resourceSpans[0].scopeSpans.push({ scope: { name: 'x' } })),
   /scopeSpans\[1\]: ours {"scope":{"name":"x"}}, official \(absent\)$/m],
  // Faults refused before serializing
  ['an uppercase trace id', edit((r, s) => { s[0].traceId = s[0].traceId.toUpperCase(); }),
   /spans\[0\]\.traceId: .* not 32 lowercase hex digits/],
  ['an all-zero parent id', edit((r, s) => { s[1].parentSpanId = '0'.repeat(16); }),
   /spans\[1\]\.parentSpanId: .* not all 0/],
  ['intValue beyond int64', modelTime('18446744073709551615'),
   /intValue: 18446744073709551615 does not fit 64 bits/],
  ['a time with a leading zero', edit((r, s) => { s[0].startTimeUnixNano = '05'; }),
   /startTimeUnixNano: "05" is not a 64-bit integer/],
  ['a time that JSON.parse rounded', edit((r, s) => { s[0].endTimeUnixNano = 2 ** 60; }),
   /endTimeUnixNano: .* lost precision/],
  ['a duplicate key', edit((r, s) => { s[0].attributes.push(s[0].attributes[0]); }),
   /attributes\[4\]\.key: duplicate key quorix\.id/],
  ['an unknown span kind', edit((r, s) => { s[0].kind = 6; }), /spans\[0\]\.kind: not a span kind/],
  ['a broken second line', `${sample}{"resourceSpans":[}\n`, /^otlp: line 2: /],
  ['invalid UTF-8', Buffer.concat([Buffer.from(sample.slice(0, 40)), Buffer.from([0xff])]),
   /^otlp: .*not valid/],
  ['no input', '', /^otlp: no requests in the input$/m],
];

test('compare.mjs on edited samples', () => {
  for (const [name, input, expected] of cases) {
    const run = spawnSync(process.execPath, [`${here}compare.mjs`], { input, encoding: 'utf8' });
    const passes = expected === pass;
    const out = passes ? run.stdout : run.stderr;
    assert.equal(run.status, passes ? 0 : 1, `${name}: exit ${run.status}, ${run.stderr}`);
    assert.match(out, expected, name);
  }
});
