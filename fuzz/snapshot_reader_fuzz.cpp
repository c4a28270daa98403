// Any text either is refused with one of the reader's documented exceptions
// and messages, or reads into a timeline on which every retained id traces
// to an end and whose snapshot is a fixed point of write, read, write.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "fuzz/fuzz_check.h"

namespace {

using namespace std::string_view_literals;

bool is_reader_refusal(std::string_view message) {
  for (std::string_view known :
       {"invalid timeline snapshot"sv, "timeline capacity must be positive"sv,
        "truncated timeline snapshot"sv, "invalid timeline record"sv, "invalid stoull argument"sv,
        "causal provenance cycle"sv}) {
    if (message == known) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;  // longer texts find nothing new, only take longer
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<quorix::Timeline> timeline;
  try {
    timeline.emplace(quorix::read_timeline_snapshot(text));
  } catch (const std::out_of_range& e) {
    FUZZ_CHECK(e.what() == "stoull argument out of range"sv);
    return 0;
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(is_reader_refusal(e.what()));
    return 0;
  }

  for (const quorix::TimelineEvent& event : timeline->retained_events()) {
    const quorix::CausalTrace trace = timeline->build_causal_trace(event.id);
    FUZZ_CHECK(trace.root_id == event.id);
    if (event.id.empty()) {  // the empty id names no event: nothing to walk
      FUZZ_CHECK(trace.status == quorix::TraceStatus::complete && trace.events.empty());
      continue;
    }
    FUZZ_CHECK(trace.status != quorix::TraceStatus::not_found);
    FUZZ_CHECK(!trace.events.empty() && trace.events.back().id == event.id);
  }

  std::string first;
  try {
    first = quorix::write_timeline_snapshot(*timeline);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(e.what() == "timeline field not representable in snapshot"sv);
    return 0;
  }
  const quorix::Timeline again = quorix::read_timeline_snapshot(first);
  FUZZ_CHECK(again.retained_events() == timeline->retained_events());
  FUZZ_CHECK(again.capacity() == timeline->capacity());
  FUZZ_CHECK(again.next_sequence() == timeline->next_sequence());
  FUZZ_CHECK(quorix::write_timeline_snapshot(again) == first);
  return 0;
}
