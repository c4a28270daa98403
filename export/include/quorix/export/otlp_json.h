// A set of timelines as OpenTelemetry traces in the OTLP/JSON encoding: one
// ExportTraceServiceRequest per line, each the body of one POST to a
// collector's /v1/traces.
//
//   quorix::write_otlp_json(set, names, [](std::string_view line) { post(line); });
//
// Each line is {"resourceSpans":[{"resource":{"attributes":[service.name]},
// "scopeSpans":[{"scope":{"name":"quorix","version":...},"spans":[...]}]}]}
// and a line end, holding at most spans_per_request spans of one timeline,
// and at most max_request_bytes bytes unless it holds one span:
// a resource per timeline, service.name its name; timelines in order, their
// spans in window order; no line for an empty timeline. A span's members:
//   - traceId: otlp_trace_id of the event's origin. Its parents are followed
//     across the set as far as a timeline holds them: the origin is the root
//     reached (an event with an empty parent), else the first parent id that
//     no timeline holds, the oldest ancestor the timelines still name. So a
//     causal chain shares one trace, and so do the orphans of one missing
//     parent.
//   - spanId: otlp_span_id of the id for the oldest record of the id, the
//     one parents link to. A timeline may hold several records of one id
//     (restored repeats); a later one mixes its place p (its row within its
//     timeline's window, + 1) into the id's hash h (the 64 bits behind
//     otlp_span_id): splitmix64's finalizer of h ^ (p * 0x9e3779b97f4a7c15),
//     1 for 0, so that every span has its own id. parentSpanId: that of the
//     parent's oldest record when the parent is not empty (held or not: a
//     missing one shows as an orphan), absent for a root.
//   - name: the kind, or the id when the kind is empty; kind 1 (internal).
//   - flags: 257 (sampled, and whether the parent is remote is known), or
//     769 (remote too) when another timeline of the set holds the parent
//     (another process's), or none does and the span's own timeline does
//     not know it either (Timeline::knows). A parent that the span's own
//     timeline evicted ran in this process: 257.
//   - startTimeUnixNano = endTimeUnixNano: the wall time as a decimal
//     string, since an event is an instant.
//   - attributes: every field as "quorix." + its name (clock_domain,
//     entity_id, id, kind, message, model_time, parent, sequence,
//     wall_time_ns, in this order). A string is a stringValue when it is
//     valid UTF-8, else a bytesValue (standard base64, padded), so no byte is
//     lost; a number is an intValue (a decimal string) up to 2^63 - 1, above
//     that a stringValue of its decimal digits.
// Other strings go through json_string. The text depends on nothing but the
// set, the names and the options.
#ifndef QUORIX_EXPORT_OTLP_JSON_H_
#define QUORIX_EXPORT_OTLP_JSON_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include <quorix/export/export_sink.h>
#include <quorix/timeline/timeline_set.h>

namespace quorix {

// 16 lowercase hex digits: FNV-1a 64 of the id's bytes, then splitmix64's
// finalizer, never all zeros (a zero hash becomes 1). The same id gives the
// same span id in every export. Never refuses.
std::string otlp_span_id(std::string_view event_id);

// 32 lowercase hex digits: two such hashes from different seeds, neither
// half ever zero. Never refuses.
std::string otlp_trace_id(std::string_view origin_id);

struct OtlpOptions {
  // The most spans in one request line; must be positive.
  std::size_t spans_per_request = 1000;
  // The most bytes of one request line, its line end included, so that it
  // fits a collector's limit on a request's body; must be positive. A line
  // ends before a span that would take it past this; a span that alone
  // does goes alone on its line, which is then larger.
  std::size_t max_request_bytes = std::size_t{4} << 20;
};

// Writes the request lines of `set` to `sink`, one line per call. `names[i]`
// names `set[i]`. Refuses, with std::invalid_argument and before writing
// anything, names of another count: "export needs one name per timeline",
// a spans_per_request of 0: "OTLP request size must be positive", and a
// max_request_bytes of 0: "OTLP request budget must be positive". A span
// taken past the budget is written twice, once taken back. What
// the sink throws propagates. Cost: O(n) for n events: each id and parent
// hashed and looked up once (a parent no timeline holds once more, in its
// span's timeline), each origin hashed at most once an event.
// Memory: the set, an index of about 23 words per event, and one line.
void write_otlp_json(const TimelineSet& set, std::span<const std::string> names,
                     const ExportSink& sink, OtlpOptions options = {});

// The same lines as one string. Refuses what write_otlp_json refuses.
std::string render_otlp_json(const TimelineSet& set, std::span<const std::string> names,
                             OtlpOptions options = {});

}  // namespace quorix

#endif  // QUORIX_EXPORT_OTLP_JSON_H_
