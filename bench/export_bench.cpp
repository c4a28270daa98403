// Benchmarks of the exports of one full timeline, as Chrome trace JSON and as
// OTLP/JSON lines, written to a sink that only counts the bytes: the rate is
// of output bytes, and 10,000 beside 100,000 events shows whether it stays
// linear. Events are those of every benchmark, in 1,000 interleaved chains.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/export/chrome_trace.h>
#include <quorix/export/otlp_json.h>
#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_set.h>
#include "bench_events.h"

namespace {

using quorix::Timeline;

Timeline FilledTimeline(std::int64_t records) {
  Timeline timeline(static_cast<std::uint64_t>(records));
  for (std::int64_t n = 0; n < records; ++n) timeline.append(quorix::bench::MakeEvent(n, 1000));
  return timeline;
}

// Runs `write` (set, names, sink) once per iteration and reports the bytes it
// gave the sink and the events per second.
template <typename Write>
void RunExport(benchmark::State& state, Write write) {
  const Timeline timeline = FilledTimeline(state.range(0));
  const quorix::TimelineSet set({&timeline});
  const std::vector<std::string> names{"bench.snap"};
  std::size_t bytes = 0;
  const quorix::ExportSink sink = [&bytes](std::string_view piece) {
    bytes += piece.size();
    benchmark::DoNotOptimize(piece.data());
  };
  for (auto _ : state) write(set, names, sink);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_ExportChrome(benchmark::State& state) {
  RunExport(state, [](const auto& set, const auto& names, const auto& sink) {
    quorix::write_chrome_trace(set, names, quorix::ChromeProcesses::per_clock_domain, sink);
  });
}
BENCHMARK(BM_ExportChrome)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ExportOtlp(benchmark::State& state) {
  RunExport(state, [](const auto& set, const auto& names, const auto& sink) {
    quorix::write_otlp_json(set, names, sink);
  });
}
BENCHMARK(BM_ExportOtlp)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
