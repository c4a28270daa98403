// Benchmarks of the store and the trace.
// Ids look like "ev-000123456" and messages are 16 bytes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <quorix/timeline/timeline.h>

namespace {

using quorix::CausalTrace;
using quorix::Timeline;
using quorix::TimelineEvent;

std::string Id(std::int64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "ev-%09lld", static_cast<long long>(n));
  return text;
}

// Event n of `chains` interleaved chains: its parent is event n - chains,
// so each chain is unbroken and the first `chains` events are roots.
TimelineEvent MakeEvent(std::int64_t n, std::int64_t chains) {
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

std::vector<TimelineEvent> Events(std::int64_t count, std::int64_t chains) {
  std::vector<TimelineEvent> events;
  events.reserve(static_cast<std::size_t>(count));
  for (std::int64_t n = 0; n < count; ++n) events.push_back(MakeEvent(n, chains));
  return events;
}

// A full timeline of capacity 65,536 made of chains of `length` events.
Timeline FullTimeline(std::int64_t length) {
  constexpr std::int64_t kCapacity = 65536;
  Timeline timeline(kCapacity);
  std::vector<TimelineEvent> events = Events(kCapacity, 1);
  for (std::int64_t n = 0; n < kCapacity; ++n) {
    TimelineEvent& e = events[static_cast<std::size_t>(n)];
    if (n % length == 0) e.parent.clear();
    timeline.append(std::move(e));
  }
  return timeline;
}

// The last event of the newest complete chain of FullTimeline(length): a
// scan from the oldest record passes nearly the whole window at each step.
std::string NewestChainEnd(std::int64_t length) { return Id(65536 / length * length - 1); }

void BM_AppendChains(benchmark::State& state) {
  const std::int64_t count = 1000000;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<TimelineEvent> events = Events(count, state.range(0));
    auto* timeline = new Timeline(65536);
    state.ResumeTiming();
    for (TimelineEvent& e : events) timeline->append(std::move(e));
    state.PauseTiming();
    delete timeline;  // freeing a million entries is not the append's cost
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AppendChains)->Arg(1)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Trace(benchmark::State& state) {
  const Timeline timeline = FullTimeline(state.range(0));
  const std::string last = NewestChainEnd(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(timeline.build_causal_trace(last));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Trace)->Arg(10)->Arg(1000);

// The walk that scans the retained window from the oldest record at every
// step: the reference the index is measured against.
CausalTrace ScanTrace(const Timeline& timeline, std::string_view id) {
  CausalTrace trace{
      quorix::kCausalTraceSchema, std::string(id), quorix::TraceStatus::not_found, {}};
  const auto& retained = timeline.retained_events();
  std::string_view current = id;
  while (!current.empty()) {
    const auto found = std::find_if(retained.begin(), retained.end(),
                                    [current](const TimelineEvent& e) { return e.id == current; });
    if (found == retained.end()) {
      const bool gap = !trace.events.empty() || timeline.evicted_sequence(current).has_value();
      trace.status = gap ? quorix::TraceStatus::retention_gap : quorix::TraceStatus::not_found;
      break;
    }
    trace.events.push_back(*found);
    current = found->parent;
  }
  if (current.empty()) trace.status = quorix::TraceStatus::complete;
  std::reverse(trace.events.begin(), trace.events.end());
  return trace;
}

void BM_TraceScanReference(benchmark::State& state) {
  const Timeline timeline = FullTimeline(state.range(0));
  const std::string last = NewestChainEnd(state.range(0));
  if (ScanTrace(timeline, last) != timeline.build_causal_trace(last)) {
    state.SkipWithError("the scan and the index disagree");
  }
  for (auto _ : state) benchmark::DoNotOptimize(ScanTrace(timeline, last));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TraceScanReference)->Arg(10)->Arg(1000);

void BM_TraceHarnessTimeline(benchmark::State& state) {
  Timeline timeline(4);
  for (TimelineEvent& e : Events(3, 1)) timeline.append(std::move(e));
  const std::string last = Id(2);
  for (auto _ : state) benchmark::DoNotOptimize(timeline.build_causal_trace(last));
  state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(BM_TraceHarnessTimeline);

// Heap bytes in use, as the allocator counts them (its overhead included).
std::size_t HeapInUse() { return mallinfo2().uordblks; }

void BM_MemoryPerEvent(benchmark::State& state) {
  const std::int64_t capacity = 65536;
  for (auto _ : state) {
    Timeline timeline(capacity);
    // Each event is made just before it is moved in, so its strings count.
    const std::size_t before = HeapInUse();
    for (std::int64_t n = 0; n < capacity; ++n) timeline.append(MakeEvent(n, 1000));
    const std::size_t full = HeapInUse();
    for (std::int64_t n = capacity; n < 4 * capacity; ++n) timeline.append(MakeEvent(n, 1000));
    const std::size_t after = HeapInUse();
    state.counters["bytes_per_retained"] =
        static_cast<double>(full - before) / static_cast<double>(capacity);
    state.counters["bytes_per_evicted"] =
        static_cast<double>(after - full) / static_cast<double>(3 * capacity);
  }
}
BENCHMARK(BM_MemoryPerEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
