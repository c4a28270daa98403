// m09 over a faulty component, named by the first argument, so that a test
// can see the whole program fail as it must. No argument: the real ones.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

#include "harness/runner.h"

namespace quorix::m09 {
namespace {

Components Faulty(std::string_view fault) {
  Components use;
  if (fault == "newest-first") {
    use.trace = [](const Timeline& t, std::string_view id) {
      CausalTrace trace = t.build_causal_trace(id);
      std::reverse(trace.events.begin(), trace.events.end());
      return trace;
    };
  } else if (fault == "one-clock") {
    use.trace = [](const Timeline& t, std::string_view id) {
      CausalTrace trace = t.build_causal_trace(id);
      for (TimelineEvent& e : trace.events) e.clock_domain = "wall";
      return trace;
    };
  } else if (fault == "throws") {
    use.render = [](const CausalTrace&) -> std::string {
      throw std::invalid_argument("timeline event id must be unique");
    };
  } else if (fault == "lossy-reader") {  // the offline copy loses a byte
    use.read = [](std::string_view text) {
      std::string changed(text);
      changed[changed.find("routed")] = 'R';
      return read_timeline_snapshot(changed);
    };
  } else if (fault == "gap-hidden") {
    use.trace = [](const Timeline& t, std::string_view id) {
      CausalTrace trace = t.build_causal_trace(id);
      if (id == "b") trace.status = TraceStatus::complete;
      return trace;
    };
  }
  return use;
}

}  // namespace
}  // namespace quorix::m09

int main(int argc, char** argv) {
  return quorix::m09::m09_main(quorix::m09::Faulty(argc > 1 ? argv[1] : ""));
}
