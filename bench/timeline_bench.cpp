// Benchmarks of the store and the trace.
// Ids look like "ev-000123456" and messages are 16 bytes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <quorix/timeline/timeline.h>
#include "bench_events.h"
#ifdef QUORIX_BENCH_M09
#include <sstream>

#include "harness/runner.h"
#endif

namespace {

using quorix::CausalTrace;
using quorix::Timeline;
using quorix::TimelineEvent;

using quorix::bench::FullTimeline;
using quorix::bench::Id;
using quorix::bench::MakeEvent;

std::vector<TimelineEvent> Events(std::int64_t count, std::int64_t chains) {
  std::vector<TimelineEvent> events;
  events.reserve(static_cast<std::size_t>(count));
  for (std::int64_t n = 0; n < count; ++n) events.push_back(MakeEvent(n, chains));
  return events;
}

// The orders events arrive in: one chain parent first; the same chain with
// each adjacent pair swapped (the child before its parent, as a network
// may reorder them); and 1,000 interleaved chains.
enum Order : std::int64_t { kChain, kSwappedPairs, kChains };

void BM_Append(benchmark::State& state) {
  const std::int64_t count = 1000000;
  const auto order = static_cast<Order>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<TimelineEvent> events = Events(count, order == kChains ? 1000 : 1);
    if (order == kSwappedPairs) {
      for (std::size_t i = 0; i + 1 < events.size(); i += 2) std::swap(events[i], events[i + 1]);
    }
    auto* timeline = new Timeline(65536);
    state.ResumeTiming();
    // The marginal cost: the first 30,000 appends against the last 700,000.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::time_point first_30k;
    Clock::time_point last_700k;
    for (std::int64_t n = 0; n < count; ++n) {
      if (n == 30000) first_30k = Clock::now();
      if (n == count - 700000) last_700k = Clock::now();
      timeline->append(std::move(events[static_cast<std::size_t>(n)]));
    }
    const auto end = Clock::now();
    const auto ns = [](Clock::duration d, std::int64_t n) {
      return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) /
             static_cast<double>(n);
    };
    state.counters["first_30k_ns"] = ns(first_30k - start, 30000);
    state.counters["last_700k_ns"] = ns(end - last_700k, 700000);
    state.PauseTiming();
    delete timeline;  // freeing a million entries is not the append's cost
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_Append)
    ->ArgName("order")
    ->Arg(kChain)
    ->Arg(kSwappedPairs)
    ->Arg(kChains)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A trace of a 1,000-event chain in a full window of 65,536: the newest
// events (arg 1: one chain) or spread over the whole window (arg 65: 65
// interleaved chains, so consecutive events of a chain stand 65 apart).
void BM_Trace(benchmark::State& state) {
  const std::int64_t chains = state.range(0);
  const Timeline timeline = FullTimeline(chains);
  const std::int64_t last = 65535;
  // For one chain, its first 64,536 events are cut off: the trace stops at
  // a root placed 1,000 events back.
  Timeline window(65536);
  const Timeline& target = chains == 1 ? window : timeline;
  if (chains == 1) {
    for (std::int64_t n = 0; n < 65536; ++n) {
      TimelineEvent e = MakeEvent(n, 1);
      if (n == 65536 - 1000) e.parent.clear();
      window.append(std::move(e));
    }
  }
  const std::size_t length = target.build_causal_trace(Id(last)).events.size();
  for (auto _ : state) benchmark::DoNotOptimize(target.build_causal_trace(Id(last)));
  state.counters["events"] = static_cast<double>(length);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(length));
}
BENCHMARK(BM_Trace)->ArgName("chains")->Arg(1)->Arg(65)->Unit(benchmark::kMicrosecond);

// The effects of an input in a timeline of 1,000,000 retained events: an
// input whose 100,000 descendants are 1,000 workers it started, each a
// chain of 99 more, spread over the first tenth of the timeline; the rest
// are 1,000 chains of their own. Arg 1: the input, ns per event found;
// arg 0: the newest event, a leaf. Arg 2: the root of one chain of
// 1,000,000 events in a window of 65,536, whose effects are the window,
// found through the 934,464 ids evicted between.
void BM_Effects(benchmark::State& state) {
  constexpr std::int64_t kCount = 1000000;
  constexpr std::int64_t kDescendants = 100000;
  constexpr std::int64_t kWorkers = 1000;
  static const Timeline* const kTimeline = [] {
    auto* t = new Timeline(kCount);
    for (std::int64_t n = 0; n < kCount; ++n) {
      TimelineEvent e = MakeEvent(n, kWorkers);
      if (n == 0) {
        e.parent.clear();
      } else if (n <= kDescendants) {
        e.parent = Id(n <= kWorkers ? 0 : n - kWorkers);
      } else {
        e.parent = n <= kDescendants + kWorkers ? "" : Id(n - kWorkers);
      }
      t->append(std::move(e));
    }
    return t;
  }();
  static const Timeline* const kChain = [] {
    auto* t = new Timeline(65536);
    for (std::int64_t n = 0; n < kCount; ++n) t->append(MakeEvent(n, 1));
    return t;
  }();
  const Timeline& timeline = state.range(0) == 2 ? *kChain : *kTimeline;
  const std::string id = Id(state.range(0) == 0 ? kCount - 1 : 0);
  const std::size_t found = timeline.build_causal_effects(id).events.size();
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (auto _ : state) benchmark::DoNotOptimize(timeline.build_causal_effects(id));
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
  state.counters["events"] = static_cast<double>(found);
  state.counters["ns_per_event"] =
      static_cast<double>(ns.count()) /
      (static_cast<double>(state.iterations()) * static_cast<double>(found));
}
BENCHMARK(BM_Effects)->ArgName("input")->Arg(1)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_TraceHarnessTimeline(benchmark::State& state) {
  Timeline timeline(4);
  for (TimelineEvent& e : Events(3, 1)) timeline.append(std::move(e));
  const std::string last = Id(2);
  for (auto _ : state) benchmark::DoNotOptimize(timeline.build_causal_trace(last));
  state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(BM_TraceHarnessTimeline);

#ifdef QUORIX_BENCH_M09
// Everything m09 does, its report written to memory: what the program adds
// to the start and exit of a process.
void BM_M09Run(benchmark::State& state) {
  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (quorix::m09::run_m09(out, err) != 0) state.SkipWithError("m09 failed");
  }
}
BENCHMARK(BM_M09Run)->Unit(benchmark::kMicrosecond);
#endif

// Heap bytes in use, as the allocator counts them (its overhead included).
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small blocks and mapped ones
}

// Heap per event, 12-byte ids: a window of 65,536 filled, then 1,000,000
// events appended in all. What the full window holds per event is the cost
// of a retained event; what grows after that, per event evicted, the cost of
// remembering an id that is no longer retained.
void BM_MemoryPerEvent(benchmark::State& state) {
  const std::int64_t capacity = 65536;
  const std::int64_t count = 1000000;
  for (auto _ : state) {
    Timeline timeline(capacity);
    // Each event is made just before it is moved in, so its strings count.
    const std::size_t before = HeapInUse();
    for (std::int64_t n = 0; n < capacity; ++n) timeline.append(MakeEvent(n, 1000));
    const std::size_t full = HeapInUse();
    for (std::int64_t n = capacity; n < count; ++n) timeline.append(MakeEvent(n, 1000));
    const std::size_t after = HeapInUse();
    state.counters["bytes_per_retained"] =
        static_cast<double>(full - before) / static_cast<double>(capacity);
    state.counters["bytes_per_evicted"] =
        static_cast<double>(after - full) / static_cast<double>(count - capacity);
  }
}
BENCHMARK(BM_MemoryPerEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
