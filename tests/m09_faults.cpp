// m09 over a faulty component, named by the first argument, so that a test
// can see the whole program fail as it must. No argument: the real ones.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

#include "harness/runner.h"

namespace quorix::m09 {
namespace {

std::string_view g_fault;  // the first argument

CausalTrace FaultyTrace(const Timeline& t, std::string_view id) {
  CausalTrace trace = t.build_causal_trace(id);
  if (g_fault == "newest-first") std::reverse(trace.events.begin(), trace.events.end());
  if (g_fault == "one-clock") {
    for (TimelineEvent& e : trace.events) e.clock_domain = "wall";
  }
  if (g_fault == "gap-hidden" && id == "b") trace.status = TraceStatus::complete;
  if (id != "infer") return trace;
  if (g_fault == "gap-status") trace.status = TraceStatus::retention_gap;
  if (g_fault == "two-events") trace.events.pop_back();
  if (g_fault == "four-events") trace.events.push_back(trace.events.back());
  if (g_fault == "model-time") trace.events.back().model_time = 120;
  return trace;
}

Components Faulty() {
  Components use;
  use.trace = FaultyTrace;
  if (g_fault == "throws") {
    use.render = [](const CausalTrace&) -> std::string {
      throw std::invalid_argument("timeline event id must be unique");
    };
  } else if (g_fault == "lossy-reader") {  // the offline copy loses a byte
    use.read = [](std::string_view text) {
      std::string changed(text);
      changed[changed.find("routed")] = 'R';
      return read_timeline_snapshot(changed);
    };
  }
  return use;
}

}  // namespace
}  // namespace quorix::m09

int main(int argc, char** argv) {
  if (argc > 1) quorix::m09::g_fault = argv[1];
  return quorix::m09::m09_main(quorix::m09::Faulty());
}
