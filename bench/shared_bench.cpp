// Benchmarks of SharedTimeline: appends from 1 to 8 producer threads, one
// by one and through Producers, beside Timeline::append of the same events, the latency of an
// append while another thread writes snapshots of the full window, and a trace while other threads
// append. Ids look like "ev-000123456" and messages are 16 bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <latch>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/shared_timeline.h>
#include <quorix/timeline/timeline.h>
#include "bench_events.h"

namespace {

using quorix::CausalTrace;
using quorix::SharedTimeline;
using quorix::Timeline;
using quorix::TimelineEvent;

using quorix::bench::FullTimeline;
using quorix::bench::Id;
using quorix::bench::MakeEvent;

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCapacity = 65536;

// Events appended per run by all producers together: as many as
// BM_Append's, and a multiple of every thread count measured.
constexpr std::int64_t kAppends = 1000000;

// Producer `p` of `producers`: its share of kAppends, one chain of its own,
// numbered p, p + producers, p + 2 * producers, ...
std::vector<TimelineEvent> ProducerEvents(std::int64_t p, std::int64_t producers) {
  const std::int64_t count = kAppends / producers;
  std::vector<TimelineEvent> events;
  events.reserve(static_cast<std::size_t>(count));
  for (std::int64_t n = 0; n < count; ++n)
    events.push_back(MakeEvent(n * producers + p, producers));
  return events;
}

// `producers` threads each make their events, then all append them to one
// fresh `Store` of kCapacity at once, each with `append_all(store, events)`.
// Only the appends are timed, from the moment the producers are let go
// until the last has appended its last.
template <class Store, class AppendAll>
void RunProducers(benchmark::State& state, std::int64_t producers, AppendAll append_all) {
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<Store>(kCapacity);
    std::latch made(producers + 1);
    std::latch go(1);
    std::latch done(producers + 1);
    std::vector<std::thread> threads;
    for (std::int64_t p = 0; p < producers; ++p) {
      threads.emplace_back([&, p] {
        std::vector<TimelineEvent> events = ProducerEvents(p, producers);
        made.count_down();
        go.wait();
        append_all(*store, events);
        done.count_down();  // freeing the moved-from events is not timed
      });
    }
    made.arrive_and_wait();
    state.ResumeTiming();
    go.count_down();
    done.arrive_and_wait();
    state.PauseTiming();
    for (std::thread& t : threads) t.join();
    store.reset();  // nor is freeing the timeline
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
}

// Appends each event on its own.
template <class Store>
void AppendEach(Store& store, std::vector<TimelineEvent>& events) {
  for (TimelineEvent& e : events) store.append(std::move(e));
}

// 1 to 8 producers, one run each of all their events.
void ProducerThreads(benchmark::internal::Benchmark* b) {
  b->ArgName("threads")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->UseRealTime();
  b->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
}

// Total appends per second through the shared front, 1 to 8 producers.
void BM_SharedAppend(benchmark::State& state) {
  RunProducers<SharedTimeline>(state, state.range(0), AppendEach<SharedTimeline>);
}
BENCHMARK(BM_SharedAppend)->Apply(ProducerThreads);

// The same through a Producer per thread, 64 events per turn of the lock.
void BM_ProducerAppend(benchmark::State& state) {
  RunProducers<SharedTimeline>(state, state.range(0),
                               [](SharedTimeline& shared, std::vector<TimelineEvent>& events) {
                                 SharedTimeline::Producer producer(
                                     shared, [](const SharedTimeline::Refusal&) { std::abort(); });
                                 for (TimelineEvent& e : events) producer.append(std::move(e));
                                 producer.flush();
                               });
}
BENCHMARK(BM_ProducerAppend)->Apply(ProducerThreads);

// The yardstick of threads:1: the same events, made the same way, appended
// by one producer to a Timeline without the front.
void BM_TimelineAppendSameEvents(benchmark::State& state) {
  RunProducers<Timeline>(state, 1, AppendEach<Timeline>);
}
BENCHMARK(BM_TimelineAppendSameEvents)
    ->Iterations(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// Sorted `samples`' value at quantile q, by nearest rank.
double Quantile(const std::vector<std::int64_t>& samples, double q) {
  const auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
  return static_cast<double>(samples[std::min(rank, samples.size() - 1)]);
}

// Appends to a full window of 65,536 (1,000 chains) on a fixed schedule,
// one every 4 us, while another thread writes one snapshot of the window
// after another (writer:1); while nothing else runs (writer:0, the
// yardstick); or while another thread does the same work on a timeline of
// its own, a copy made beforehand, never taking the lock (writer:2: what
// the machine charges for another thread's copying and writing).
// Each append's latency counts from the moment it was due, so an append
// held up also delays the ones due behind it, and each of those counts the
// wait: a stall is not one sample, however long. call_* counts the time of
// the call alone; copy_* only the appends due while the window was being
// copied. The id table has room for every id beforehand, so that its
// doubling (a stall of its own, which `reserve` avoids) is not counted.
void BM_AppendLatencyDuringSnapshot(benchmark::State& state) {
  constexpr std::int64_t kChains = 1000;
  constexpr auto kEvery = std::chrono::microseconds(4);
  Timeline full = FullTimeline(kChains);
  full.reserve(static_cast<std::size_t>(state.max_iterations));
  SharedTimeline shared(std::move(full));
  std::atomic<bool> stop{false};
  std::atomic<bool> copying{false};
  std::atomic<std::int64_t> snapshots{0};
  const Timeline own = shared.copy_window();
  std::thread writer([&] {
    while (state.range(0) != 0 && !stop.load(std::memory_order_relaxed)) {
      copying.store(true, std::memory_order_relaxed);
      const Timeline copy = state.range(0) == 1 ? shared.copy_window() : own;
      copying.store(false, std::memory_order_relaxed);
      const std::string text = quorix::write_timeline_snapshot(copy);
      benchmark::DoNotOptimize(text.data());
      snapshots.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::vector<TimelineEvent> events;
  events.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto n = static_cast<std::int64_t>(kCapacity); events.size() < events.capacity(); ++n)
    events.push_back(MakeEvent(n, kChains));
  std::vector<std::int64_t> all;
  std::vector<std::int64_t> in_copy;
  std::vector<std::int64_t> call;
  all.reserve(events.size());
  in_copy.reserve(events.size());
  call.reserve(events.size());
  auto next = events.begin();
  auto due = Clock::now();
  for (auto _ : state) {
    due += kEvery;
    while (Clock::now() < due) {
    }
    const bool copy_running = copying.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    shared.append(std::move(*next++));
    const auto end = Clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - due);
    all.push_back(ns.count());
    if (copy_running) in_copy.push_back(ns.count());
    call.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
  }
  const std::int64_t written = snapshots.load(std::memory_order_relaxed);
  stop.store(true, std::memory_order_relaxed);
  writer.join();
  std::sort(all.begin(), all.end());
  std::sort(in_copy.begin(), in_copy.end());
  std::sort(call.begin(), call.end());
  state.counters["call_p99_ns"] = Quantile(call, 0.99);
  state.counters["call_max_ns"] = static_cast<double>(call.back());
  state.counters["p50_ns"] = Quantile(all, 0.5);
  state.counters["p99_ns"] = Quantile(all, 0.99);
  state.counters["p999_ns"] = Quantile(all, 0.999);
  state.counters["max_ns"] = static_cast<double>(all.back());
  if (!in_copy.empty()) {
    state.counters["copy_p99_ns"] = Quantile(in_copy, 0.99);
    state.counters["copy_max_ns"] = static_cast<double>(in_copy.back());
  }
  state.counters["copy_samples"] = static_cast<double>(in_copy.size());
  state.counters["snapshots"] = static_cast<double>(written);
}
BENCHMARK(BM_AppendLatencyDuringSnapshot)
    ->ArgName("writer")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(500000)
    ->UseRealTime()
    ->Unit(benchmark::kNanosecond);

// What the machine charges for the first write to a page of fresh memory
// (64 MiB of it, a page at a time): the cost behind most of the latency
// above, since a growing timeline, a copy and a snapshot's text each write
// to fresh memory.
void BM_FirstTouchPerPage(benchmark::State& state) {
  constexpr std::size_t kBytes = std::size_t{64} << 20;
  constexpr std::size_t kPage = 4096;
  constexpr std::size_t kPages = kBytes / kPage;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<char[]> memory(new char[kBytes]);
    state.ResumeTiming();
    for (std::size_t at = 0; at < kBytes; at += kPage) memory[at] = 1;
    benchmark::DoNotOptimize(memory.get());
    state.PauseTiming();
    memory.reset();  // nor is giving it back
    state.ResumeTiming();
  }
  state.counters["per_page"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(kPages),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FirstTouchPerPage)->Iterations(3)->Unit(benchmark::kMillisecond);

// The trace of BM_Trace/chains:65, a chain of about 1,000 events spread
// over a full window of 65,536, through the shared front while 0 or 2
// other threads append. Appenders go on with the 65 chains, taking every
// other number each, so the window keeps its shape and parents are often
// the other appender's; each iteration traces the newest event below which
// every number has been appended. A quiet timeline's iterations trace the
// 65 chains' last events in turn: as with appenders, each trace walks a
// chain the trace before it did not, so neither case finds its records
// warm in the cache from the iteration before (BM_Trace, which repeats one
// trace, does).
void BM_TraceWhileAppending(benchmark::State& state) {
  constexpr std::int64_t kChains = 65;
  constexpr auto kLast = static_cast<std::int64_t>(kCapacity) - 1;
  const std::int64_t appenders = state.range(0);
  SharedTimeline shared(FullTimeline(kChains));
  // done[a]: the last number appender a appended; it appends them in order.
  std::vector<std::atomic<std::int64_t>> done(static_cast<std::size_t>(appenders));
  for (std::atomic<std::int64_t>& d : done) d.store(kLast);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (std::int64_t a = 0; a < appenders; ++a) {
    threads.emplace_back([&, a] {
      std::atomic<std::int64_t>& mine = done[static_cast<std::size_t>(a)];
      for (std::int64_t n = kLast + 1 + a; !stop.load(std::memory_order_relaxed); n += appenders) {
        shared.append(MakeEvent(n, kChains));
        mine.store(n, std::memory_order_release);
      }
    });
  }
  std::int64_t turn = 0;
  std::size_t events = 0;
  std::int64_t first = kLast;
  const auto settled = [&] {
    std::int64_t n =
        appenders == 0 ? kLast - turn++ % kChains : std::numeric_limits<std::int64_t>::max();
    for (const std::atomic<std::int64_t>& d : done)
      n = std::min(n, d.load(std::memory_order_acquire));
    return n;
  };
  if (appenders != 0) first = settled();
  for (auto _ : state) {
    const CausalTrace trace = shared.build_causal_trace(Id(settled()));
    events += trace.events.size();
    benchmark::DoNotOptimize(trace.events.data());
  }
  const std::int64_t appended = appenders == 0 ? 0 : settled() - first;
  stop.store(true, std::memory_order_relaxed);
  for (std::thread& t : threads) t.join();
  const auto traces = static_cast<double>(state.iterations());
  state.counters["events"] = static_cast<double>(events) / traces;
  // Appenders that run unevenly leave the traced chain shorter: compare
  // the time per event found.
  state.counters["per_event"] = benchmark::Counter(
      static_cast<double>(events), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["appends_per_trace"] = static_cast<double>(appended) / traces;
}
BENCHMARK(BM_TraceWhileAppending)
    ->ArgName("appenders")
    ->Arg(0)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
