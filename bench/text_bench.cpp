// Benchmarks of the texts a timeline is written as: the trace document, the
// snapshot written and the snapshot read back, each beside a memcpy of the
// same number of bytes into a fresh buffer, as the yardstick.
// Ids look like "ev-000123456" and messages are 16 bytes.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "bench_events.h"
#include "timeline/text_form.h"

namespace {

using quorix::CausalTrace;
using quorix::Timeline;
using quorix::TimelineEvent;

using quorix::bench::Id;
using quorix::bench::MakeEvent;

// Event n of 1,000 interleaved chains.
TimelineEvent MakeEvent(std::int64_t n) { return quorix::bench::MakeEvent(n, 1000); }

// A full timeline of `records` events.
Timeline FilledTimeline(std::int64_t records) {
  Timeline timeline(static_cast<std::uint64_t>(records));
  for (std::int64_t n = 0; n < records; ++n) timeline.append(MakeEvent(n));
  return timeline;
}

// The trace of the last of a chain of 100 events.
CausalTrace TraceOf100() {
  Timeline timeline(100);
  for (std::int64_t n = 0; n < 100; ++n) {
    TimelineEvent e = MakeEvent(n);
    e.parent = n == 0 ? "" : Id(n - 1);
    timeline.append(std::move(e));
  }
  return timeline.build_causal_trace(Id(99));
}

void BM_RenderTrace(benchmark::State& state) {
  const CausalTrace trace = TraceOf100();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = quorix::render_trace_json(trace);
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.SetItemsProcessed(state.iterations() * 100);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_RenderTrace);

void BM_WriteSnapshot(benchmark::State& state) {
  const Timeline timeline = FilledTimeline(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = quorix::write_timeline_snapshot(timeline);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriteSnapshot)->Arg(100000)->Unit(benchmark::kMillisecond);

// Reading back into a usable timeline; the per-record cost shows whether the
// read stays linear as the text grows.
void BM_ReadSnapshot(benchmark::State& state) {
  const std::string text = quorix::write_timeline_snapshot(FilledTimeline(state.range(0)));
  for (auto _ : state) {
    auto* timeline = new Timeline(quorix::read_timeline_snapshot(text));
    benchmark::DoNotOptimize(timeline);
    state.PauseTiming();
    delete timeline;  // releasing the result is its owner's cost, not the read's
    state.ResumeTiming();
  }
  state.counters["per_record"] = benchmark::Counter(
      static_cast<double>(state.range(0)),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReadSnapshot)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// memcpy into a fresh buffer (as each operation allocates its result) of
// the size of the 100-event document (arg 0) or of the snapshot of that
// many records.
void BM_MemcpyReference(benchmark::State& state) {
  const std::size_t size =
      state.range(0) == 0 ? quorix::render_trace_json(TraceOf100()).size()
                          : quorix::write_timeline_snapshot(FilledTimeline(state.range(0))).size();
  const std::string source(size, 'x');
  for (auto _ : state) {
    std::string copy(size, '\0');
    std::memcpy(copy.data(), source.data(), size);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_MemcpyReference)->Arg(0)->Arg(10000)->Arg(100000)->Arg(1000000);

// Numbers as the texts hold them, 1 to 20 digits: the writer the texts use
// (arg 0) against std::to_chars (arg 1), into one buffer.
void BM_Decimals(benchmark::State& state) {
  std::vector<std::uint64_t> values;
  values.reserve(4096);
  std::uint64_t x = 88172645463325252u;  // xorshift, shifted down by 0 to 63 bits
  for (unsigned i = 0; i < 4096; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    values.push_back(x >> (i % 64));
  }
  std::vector<char> out(values.size() * quorix::kMaxDecimalDigits);
  for (auto _ : state) {
    char* at = out.data();
    for (const std::uint64_t v : values) {
      at = state.range(0) == 0 ? quorix::put_decimal(at, v, quorix::decimal_size(v))
                               : std::to_chars(at, at + quorix::kMaxDecimalDigits, v).ptr;
    }
    benchmark::DoNotOptimize(at);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
BENCHMARK(BM_Decimals)->ArgName("to_chars")->Arg(0)->Arg(1);

}  // namespace
