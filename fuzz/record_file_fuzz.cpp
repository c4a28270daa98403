// Reads any bytes as a record file: read_record_file either refuses them with
// one of its documented messages or returns a timeline that keeps a
// recovered timeline's promises: no more records than its capacity, their
// numbers consecutive up to the last one given out, those and the dropped
// ones together within the capacity, a snapshot that reads back to itself,
// and traces that end.
//
// The seeds in corpus/record_file are record files that RecordFile wrote,
// with chunks of 4,096 bytes, each event's parent the one before: none
// appended (capacity 4); 3 events (capacity 4); 40 events of 300-byte
// messages (capacity 3: two chunks, one reused many times); 30 events of
// 1,000-byte messages (capacity 8: four chunks, one holding evicted ones).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <quorix/record/record_file.h>
#include <quorix/snapshot/snapshot.h>
#include "fuzz/fuzz_check.h"

namespace {

bool documented(std::string_view message) {
  for (const char* m : {"invalid record file", "record file version not supported",
                        "timeline capacity must be positive", "causal provenance cycle"}) {
    if (message == m) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 65536) return 0;
  std::optional<quorix::RecoveredTimeline> read;
  try {
    read.emplace(quorix::read_record_file({reinterpret_cast<const char*>(data), size}));
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(documented(e.what()));
    return 0;
  }
  const quorix::Timeline& t = read->timeline;
  const quorix::EventWindow& window = t.retained_events();
  // The window and what it lacks fill no more than the capacity, and at
  // least the numbers up to the last one given out; numbers go on from the
  // newest record.
  const std::uint64_t last = t.next_sequence() - 1;
  FUZZ_CHECK(window.size() + read->dropped <= t.capacity());
  FUZZ_CHECK(window.size() + read->dropped >= std::min(t.capacity(), last));
  std::uint64_t next = window.empty() ? 0 : window.front().sequence;
  for (const quorix::EventView& e : window) FUZZ_CHECK(e.sequence == next++);
  FUZZ_CHECK(window.empty() || window.back().sequence == last);

  std::string snapshot;
  try {
    snapshot = quorix::write_timeline_snapshot(t);
  } catch (const std::invalid_argument& e) {  // a line feed or tab in a record
    FUZZ_CHECK(e.what() == std::string_view("timeline field not representable in snapshot"));
  }
  if (!snapshot.empty()) {
    FUZZ_CHECK(quorix::write_timeline_snapshot(quorix::read_timeline_snapshot(snapshot)) ==
               snapshot);
  }
  for (const quorix::EventView& e : window) {
    const quorix::CausalTrace trace = t.build_causal_trace(e.id);
    FUZZ_CHECK(!trace.events.empty() && trace.events.size() <= window.size());
    FUZZ_CHECK(trace.events.back().id == e.id);
  }
  return 0;
}
