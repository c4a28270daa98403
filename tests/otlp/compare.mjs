#!/usr/bin/env node
// Checks OTLP/JSON trace export lines against the OpenTelemetry JavaScript serializer.
//
// Usage: node compare.mjs [FILE]   (standard input without FILE)
//
// Each line must be one ExportTraceServiceRequest. Its spans are rebuilt as SDK ReadableSpan
// objects (resource, scope, ids, kind, nanosecond times and typed attributes taken from the line),
// serialized again by JsonTraceSerializer, and the two documents are compared field by field.
// The only differences forgiven are the ones OTLP/JSON itself treats as the same message: a field
// holding its default value (0, "0", "", false, [], {}) present or left out, and a 64-bit integer
// written as a JSON number or as a decimal string. AnyValue's fields are never dropped as
// defaults: {"intValue":"0"} is a value, {} is none.
//
// Prints "otlp: N requests, M spans match the official serializer" and exits 0; otherwise prints
// the first differing path with both values, or why a line could not be rebuilt, and exits 1.
// Input that the SDK cannot represent faithfully (a duplicate or numeric attribute key, events,
// links, trace state) is refused rather than approximated; an integer attribute beyond 2^53,
// which an SDK attribute cannot hold, is carried through the serializer as a placeholder.
import { readFileSync } from 'node:fs';
import { isValidSpanId, isValidTraceId } from '@opentelemetry/api';
import { hrTimeDuration } from '@opentelemetry/core';
import { JsonTraceSerializer } from '@opentelemetry/otlp-transformer';
import { resourceFromAttributes } from '@opentelemetry/resources';

class Refusal extends Error {}

const kNanosPerSecond = 1000000000n;
const kMaxUint64 = (1n << 64n) - 1n;
// Fields of the trace messages that are 64-bit integers, so a number and a string are equal.
const kInt64Fields = new Set(['startTimeUnixNano', 'endTimeUnixNano', 'timeUnixNano', 'intValue']);
// The oneof members of AnyValue: present with a default value is still a value.
const kAnyValueFields = new Set([
  'stringValue', 'boolValue', 'intValue', 'doubleValue', 'arrayValue', 'kvlistValue', 'bytesValue',
]);
// The span flag bits the serializer sets from a parent's remoteness.
const kFlagsIsRemote = 0x200;

// A 64-bit integer field as a BigInt: a decimal string or a safe integer number.
function int64Of(value, path, { signed }) {
  const pattern = signed ? /^-?(0|[1-9][0-9]*)$/ : /^(0|[1-9][0-9]*)$/;
  let n;
  if (typeof value === 'string' && pattern.test(value)) n = BigInt(value);
  else if (Number.isSafeInteger(value) && (signed || value >= 0)) n = BigInt(value);
  else if (Number.isInteger(value)) {
    throw new Refusal(`${path}: ${value} lost precision in JSON.parse`);
  }
  else throw new Refusal(`${path}: ${JSON.stringify(value)} is not a 64-bit integer`);
  const [low, high] = signed ? [-(1n << 63n), (1n << 63n) - 1n] : [0n, kMaxUint64];
  if (n < low || n > high) throw new Refusal(`${path}: ${value} does not fit 64 bits`);
  return n;
}

// A nanosecond timestamp as the SDK's [seconds, nanoseconds] tuple, exactly.
function hrTimeOf(value, path) {
  const nanos = int64Of(value, path, { signed: false });
  return [Number(nanos / kNanosPerSecond), Number(nanos % kNanosPerSecond)];
}

// Integers beyond 2^53 stand in the rebuilt spans as distinct fractional placeholders, which
// no exact integer attribute can equal: the serializer writes each as a doubleValue, and
// restorePlaceholders turns that back into the intValue it stands for, so the field's key,
// place and kind are still compared.
const placeholders = new Map();
function placeholderFor(digits) {
  const stand = -(placeholders.size + 1) - 0.5;
  placeholders.set(stand, digits);
  return stand;
}
function restorePlaceholders(value) {
  if (Array.isArray(value)) return value.map(restorePlaceholders);
  if (value === null || typeof value !== 'object') return value;
  const keys = Object.keys(value);
  if (keys.length === 1 && keys[0] === 'doubleValue' && placeholders.has(value.doubleValue)) {
    return { intValue: placeholders.get(value.doubleValue) };
  }
  return Object.fromEntries(keys.map(k => [k, restorePlaceholders(value[k])]));
}

// An AnyValue as the SDK attribute value that the serializer turns back into the same AnyValue.
function attributeValueOf(value, path) {
  const keys = value !== null && typeof value === 'object' ? Object.keys(value) : [];
  if (keys.length !== 1) throw new Refusal(`${path}: not an AnyValue with one field`);
  const [field] = keys;
  const v = value[field];
  switch (field) {
    case 'stringValue':
      if (typeof v === 'string') return v;
      break;
    case 'boolValue':
      if (typeof v === 'boolean') return v;
      break;
    case 'intValue': {
      const n = int64Of(v, `${path}.intValue`, { signed: true });
      if (n < BigInt(Number.MIN_SAFE_INTEGER) || n > BigInt(Number.MAX_SAFE_INTEGER)) {
        // An SDK attribute cannot hold it (a wall time in nanoseconds since 1970, say): the
        // span carries a placeholder that the official document gets back as this value.
        return placeholderFor(String(n));
      }
      return Number(n);
    }
    case 'doubleValue':
      // The serializer writes an integral number as intValue, so such a double cannot round-trip.
      if (typeof v === 'number' && !Number.isInteger(v)) return v;
      if (typeof v === 'number') {
        throw new Refusal(`${path}.doubleValue: integral doubles are not rebuilt`);
      }
      break;
    case 'bytesValue':
      // Decoded leniently; a non-canonical encoding shows up as a difference after re-encoding.
      if (typeof v === 'string') return new Uint8Array(Buffer.from(v, 'base64'));
      break;
    default:
      throw new Refusal(`${path}: ${field} values are not rebuilt`);
  }
  throw new Refusal(`${path}.${field}: ${JSON.stringify(v)} has the wrong type`);
}

// A KeyValue list as SDK attributes, whose key order the serializer keeps.
function attributesOf(list, path) {
  if (list === undefined) return {};
  if (!Array.isArray(list)) throw new Refusal(`${path}: not an array`);
  const attributes = {};
  list.forEach((kv, i) => {
    const at = `${path}[${i}]`;
    const key = kv?.key ?? '';
    if (typeof key !== 'string') throw new Refusal(`${at}.key: not a string`);
    // Object.keys puts array-index keys first, so the SDK would reorder them.
    if (/^(0|[1-9][0-9]*)$/.test(key) && Number(key) < 2 ** 32 - 1) {
      throw new Refusal(`${at}.key: numeric key ${key} would be reordered by the SDK`);
    }
    if (Object.hasOwn(attributes, key)) throw new Refusal(`${at}.key: duplicate key ${key}`);
    attributes[key] = attributeValueOf(kv.value, `${at}.value`);
  });
  return attributes;
}

function idOf(value, length, valid, path) {
  if (typeof value !== 'string' || value.length !== length || !/^[0-9a-f]*$/.test(value) ||
      !valid(value)) {
    throw new Refusal(
      `${path}: ${JSON.stringify(value)} is not ${length} lowercase hex digits, not all 0`);
  }
  return value;
}

function countOf(value, path) {
  if (value === undefined) return 0;
  if (!Number.isSafeInteger(value) || value < 0) throw new Refusal(`${path}: not a count`);
  return value;
}

function rebuildSpan(span, resource, scope, path) {
  for (const field of ['traceState', 'events', 'links']) {
    const v = span[field];
    if (v !== undefined && v !== '' && !(Array.isArray(v) && v.length === 0)) {
      throw new Refusal(`${path}.${field}: not rebuilt by this check`);
    }
  }
  const traceId = idOf(span.traceId, 32, isValidTraceId, `${path}.traceId`);
  const spanId = idOf(span.spanId, 16, isValidSpanId, `${path}.spanId`);
  const flags = countOf(span.flags, `${path}.flags`);
  const spanContext = { traceId, spanId, traceFlags: flags & 0xff };
  let parentSpanContext;
  if (span.parentSpanId !== undefined && span.parentSpanId !== '') {
    parentSpanContext = {
      traceId,
      spanId: idOf(span.parentSpanId, 16, isValidSpanId, `${path}.parentSpanId`),
      traceFlags: flags & 0xff,
      isRemote: (flags & kFlagsIsRemote) !== 0,
    };
  }
  const kind = span.kind ?? 0;
  if (!Number.isInteger(kind) || kind < 0 || kind > 5) {
    throw new Refusal(`${path}.kind: not a span kind`);
  }
  const startTime = hrTimeOf(span.startTimeUnixNano ?? '0', `${path}.startTimeUnixNano`);
  const endTime = hrTimeOf(span.endTimeUnixNano ?? '0', `${path}.endTimeUnixNano`);
  return {
    name: span.name ?? '',
    // The API's kinds start at INTERNAL = 0; OTLP's 0 is "unspecified", which the API lacks.
    kind: kind === 0 ? undefined : kind - 1,
    spanContext: () => spanContext,
    parentSpanContext,
    startTime,
    endTime,
    duration: hrTimeDuration(startTime, endTime),
    ended: true,
    status: { code: span.status?.code ?? 0, message: span.status?.message },
    attributes: attributesOf(span.attributes, `${path}.attributes`),
    links: [],
    events: [],
    resource,
    instrumentationScope: scope,
    droppedAttributesCount: countOf(span.droppedAttributesCount, `${path}.droppedAttributesCount`),
    droppedEventsCount: countOf(span.droppedEventsCount, `${path}.droppedEventsCount`),
    droppedLinksCount: countOf(span.droppedLinksCount, `${path}.droppedLinksCount`),
  };
}

// The request's spans as ReadableSpans, in order, one Resource object per resourceSpans entry.
function rebuildRequest(request) {
  const spans = [];
  (request.resourceSpans ?? []).forEach((rs, i) => {
    const rsPath = `resourceSpans[${i}]`;
    const resource = resourceFromAttributes(
      attributesOf(rs.resource?.attributes, `${rsPath}.resource.attributes`),
      { schemaUrl: rs.schemaUrl });
    (rs.scopeSpans ?? []).forEach((ss, j) => {
      const ssPath = `${rsPath}.scopeSpans[${j}]`;
      const scope = {
        name: ss.scope?.name ?? '',
        version: ss.scope?.version,
        schemaUrl: ss.schemaUrl,
      };
      (ss.spans ?? []).forEach((span, k) => {
        spans.push(rebuildSpan(span, resource, scope, `${ssPath}.spans[${k}]`));
      });
    });
  });
  return spans;
}

function isDefault(value) {
  if (Array.isArray(value)) return value.length === 0;
  if (value !== null && typeof value === 'object') return Object.keys(value).length === 0;
  return value === undefined || value === null || value === 0 || value === '0' || value === '' ||
         value === false;
}

// The document with every equivalence above applied: 64-bit integers as strings, defaults gone.
function normalize(value, field = '') {
  // Rebuilding refused every such number that JSON.parse could have rounded.
  if (kInt64Fields.has(field) && typeof value === 'number') return String(value);
  if (Array.isArray(value)) return value.map(v => normalize(v));
  if (value === null || typeof value !== 'object') return value;
  const out = {};
  for (const [key, v] of Object.entries(value)) {
    const n = normalize(v, key);
    if (kAnyValueFields.has(key) || !isDefault(n)) out[key] = n;
  }
  return out;
}

// The first path at which two normalized documents differ, with both values, or null.
function firstDifference(ours, theirs, path) {
  if (Array.isArray(ours) && Array.isArray(theirs)) {
    for (let i = 0; i < Math.max(ours.length, theirs.length); i++) {
      const d = firstDifference(ours[i], theirs[i], `${path}[${i}]`);
      if (d) return d;
    }
    return null;
  }
  const isObject = v => v !== null && typeof v === 'object' && !Array.isArray(v);
  if (isObject(ours) && isObject(theirs)) {
    const keys = [...new Set([...Object.keys(ours), ...Object.keys(theirs)])].sort();
    for (const key of keys) {
      const d = firstDifference(ours[key], theirs[key], path ? `${path}.${key}` : key);
      if (d) return d;
    }
    return null;
  }
  if (ours === theirs) return null;
  const shown = v => (v === undefined ? '(absent)' : JSON.stringify(v));
  return `${path}: ours ${shown(ours)}, official ${shown(theirs)}`;
}

function main() {
  const source = process.argv[2] ?? 0;
  // Invalid UTF-8 is a fault of the export, not something to replace silently.
  const decoder = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });
  const text = decoder.decode(readFileSync(source));
  const lines = text.split('\n');
  if (lines.at(-1) === '') lines.pop();
  if (lines.length === 0) throw new Refusal('no requests in the input');
  let spanCount = 0;
  lines.forEach((line, i) => {
    const where = `line ${i + 1}`;
    try {
      const request = JSON.parse(line);
      if (request === null || typeof request !== 'object' || Array.isArray(request)) {
        throw new Refusal('not a JSON object');
      }
      const spans = rebuildRequest(request);
      const serialized = JsonTraceSerializer.serializeRequest(spans);
      const official = restorePlaceholders(JSON.parse(new TextDecoder().decode(serialized)));
      const d = firstDifference(normalize(request), normalize(official), '');
      if (d) throw new Refusal(d);
      spanCount += spans.length;
    } catch (e) {
      if (e instanceof Refusal || e instanceof SyntaxError) e.message = `${where}: ${e.message}`;
      throw e;
    }
  });
  console.log(`otlp: ${lines.length} requests, ${spanCount} spans match the official serializer`);
}

try {
  main();
} catch (e) {
  if (!(e instanceof Refusal || e instanceof SyntaxError || e instanceof TypeError ||
        e.code === 'ENOENT')) {
    throw e;
  }
  console.error(`otlp: ${e.message}`);
  process.exit(1);
}
