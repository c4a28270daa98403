// The result of tracing one event back through its parents.
//
// A CausalTrace is a self-contained value: it holds copies of the events it
// found, so later appends to or evictions from the timeline never change it.
//
//   quorix::CausalTrace trace = timeline.build_causal_trace("infer");
//   if (trace.status == quorix::TraceStatus::complete) {
//     // trace.events.front() is the external input at the root
//   }
#ifndef QUORIX_TIMELINE_CAUSAL_TRACE_H_
#define QUORIX_TIMELINE_CAUSAL_TRACE_H_

#include <cstdint>
#include <string>
#include <vector>

#include <quorix/timeline/timeline_event.h>

namespace quorix {

// How a trace walk ended. The numbering is part of the contract.
enum class TraceStatus : std::int32_t {
  complete = 0,       // reached an event with an empty parent
  retention_gap = 1,  // the chain leaves the retained events
  not_found = 2,      // the requested id is neither retained nor evicted
};

// The identifier that every trace built by a Timeline carries.
inline constexpr const char kCausalTraceSchema[] = "quorix-causal-trace/1";

// The chain of events that caused one event, root-most first and the
// requested event last. `root_id` is the requested id, whatever was found.
struct CausalTrace {
  std::string schema;
  std::string root_id;
  TraceStatus status = TraceStatus::not_found;
  std::vector<TimelineEvent> events;

  friend bool operator==(const CausalTrace&, const CausalTrace&) = default;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_CAUSAL_TRACE_H_
