// Appends a three-event chain, traces its last event and follows the
// effects of its first, renders both as JSON, round-trips the timeline
// through a snapshot and shows a refusal.
// With an argument, it also writes the snapshot to the file it names.
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include <quorix/render/effects_json.h>
#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>

namespace {

// An event caused by `parent`; an empty parent marks an input from outside.
quorix::TimelineEvent make_event(std::string id, std::string kind, std::string parent) {
  quorix::TimelineEvent event;
  event.id = std::move(id);
  event.kind = std::move(kind);
  event.parent = std::move(parent);
  event.clock_domain = "wall";
  return event;
}

}  // namespace

int main(int argc, char** argv) {
  quorix::Timeline timeline(100);  // keeps the newest 100 events
  timeline.append(make_event("input", "external_input", ""));
  timeline.append(make_event("message", "message", "input"));
  timeline.append(make_event("infer", "inference", "message"));

  const quorix::CausalTrace trace = timeline.build_causal_trace("infer");
  std::cout << quorix::render_trace_json(trace) << '\n';

  // What the input caused: itself at depth 0, the message at 1, the inference at 2.
  const quorix::CausalEffects effects = timeline.build_causal_effects("input");
  std::cout << quorix::render_effects_json(effects) << '\n';

  const std::string snapshot = quorix::write_timeline_snapshot(timeline);
  const quorix::Timeline copy = quorix::read_timeline_snapshot(snapshot);
  std::cout << "read back " << copy.retained_events().size() << " events\n";
  if (argc > 1) {
    std::ofstream file(argv[1], std::ios::binary);
    file << snapshot;
    file.close();
    if (!file) {
      std::cerr << "cannot write " << argv[1] << '\n';
      return 1;
    }
  }

  try {
    quorix::read_timeline_snapshot("not a snapshot\n");
  } catch (const std::invalid_argument& refusal) {
    std::cout << "refused: " << refusal.what() << '\n';
  }
}
