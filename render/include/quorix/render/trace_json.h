// The causal trace as one compact, deterministic JSON document.
//
//   std::string json = quorix::render_trace_json(trace);
//   // {"schema":"quorix-causal-trace/1","root_id":"x","status":"not_found","events":[]}
//
// The document has no whitespace outside string values and no line end. Its
// members are `schema`, `root_id`, `status` (by name) and `events`, in this
// order; each event is an object of its nine fields with the keys in
// ascending byte order. Strings are quoted as json_quote does and numbers are
// plain decimals, so two traces give the same bytes exactly when their
// schema, root id, status name and events are equal. The text depends on
// nothing but the trace: not on a locale, stream state or earlier calls.
//
// These are free functions over the core's records, so the timeline core does
// not depend on rendering.
#ifndef QUORIX_RENDER_TRACE_JSON_H_
#define QUORIX_RENDER_TRACE_JSON_H_

#include <string>

#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

// The JSON document of `trace`. Renders every trace; never throws but for
// allocation failure. Cost: linear in the document, built in one buffer
// (an event holding a quote or backslash is written twice).
std::string render_trace_json(const CausalTrace& trace);

// The JSON object of one event: {"clock_domain":...,"wall_time_ns":...}.
std::string render_event_json(const TimelineEvent& event);

// "complete" for 0, "retention_gap" for 1, "not_found" for 2 and for any
// other value.
std::string trace_status_name(TraceStatus status);

}  // namespace quorix

#endif  // QUORIX_RENDER_TRACE_JSON_H_
