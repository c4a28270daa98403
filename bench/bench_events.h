// The events every benchmark is made of: ids like "ev-000123456", 16-byte
// messages, and chains interleaved so that event n's parent is n - chains;
// and the full window the traces are measured in.
#ifndef QUORIX_BENCH_BENCH_EVENTS_H_
#define QUORIX_BENCH_BENCH_EVENTS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix::bench {

inline std::string Id(std::int64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "ev-%09lld", static_cast<long long>(n));
  return text;
}

// Event n of `chains` interleaved chains: each chain is unbroken and the
// first `chains` events are roots.
inline TimelineEvent MakeEvent(std::int64_t n, std::int64_t chains) {
  TimelineEvent e;
  e.id = Id(n);
  e.parent = n < chains ? "" : Id(n - chains);
  e.kind = "message";
  e.entity_id = "bus";
  e.clock_domain = "orchestrator";
  e.message = "routed to worker";  // 16 bytes
  e.wall_time_ns = 1700000000000000000u + static_cast<std::uint64_t>(n) * 1000;
  e.model_time = static_cast<std::uint64_t>(n % 977);
  return e;
}

// A full timeline of capacity 65,536 made of `chains` interleaved chains.
inline Timeline FullTimeline(std::int64_t chains) {
  constexpr std::int64_t kCapacity = 65536;
  Timeline timeline(kCapacity);
  for (std::int64_t n = 0; n < kCapacity; ++n) timeline.append(MakeEvent(n, chains));
  return timeline;
}

}  // namespace quorix::bench

#endif  // QUORIX_BENCH_BENCH_EVENTS_H_
