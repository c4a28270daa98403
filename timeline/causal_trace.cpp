#include <algorithm>

#include "timeline/causal_trace.h"
#include "timeline/timeline.h"

namespace quorix {

CausalTrace Timeline::build_causal_trace(std::string_view id) const {
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::not_found, {}};
  std::string_view current = id;  // views the argument, then retained parents
  while (!current.empty()) {
    const auto found = std::find_if(retained_.begin(), retained_.end(),
                                    [current](const TimelineEvent& e) { return e.id == current; });
    if (found == retained_.end()) {
      const bool gap = !trace.events.empty() || evicted_.find(current) != evicted_.end();
      trace.status = gap ? TraceStatus::retention_gap : TraceStatus::not_found;
      std::reverse(trace.events.begin(), trace.events.end());
      return trace;
    }
    trace.events.push_back(*found);
    current = found->parent;
  }
  trace.status = TraceStatus::complete;
  std::reverse(trace.events.begin(), trace.events.end());
  return trace;
}

}  // namespace quorix
