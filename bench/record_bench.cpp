// Benchmarks of the record file: appends whose records go to a file mapped
// into memory (beside BM_Append, which keeps them on the heap), with and
// without syncing each one to the device, and recovering a file.
// Ids look like "ev-000123456" and messages are 16 bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <quorix/record/record_file.h>
#include "bench_events.h"

namespace {

using quorix::RecordFile;
using quorix::TimelineEvent;
using quorix::bench::MakeEvent;

// A fresh path in the temporary directory, removed when it goes.
class ScratchFile {
 public:
  ScratchFile() : path_(std::filesystem::temp_directory_path() / "quorix-bench.records") {
    std::filesystem::remove(path_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// One chain of `count` events into a new record file of capacity 65,536,
// parent first, as BM_Append/order:0 appends them to the heap; arg 1 syncs
// each append to the device, over fewer events.
void BM_AppendRecordFile(benchmark::State& state) {
  const bool sync = state.range(0) != 0;
  const std::int64_t count = sync ? 2000 : 1000000;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<TimelineEvent> events;
    events.reserve(static_cast<std::size_t>(count));
    for (std::int64_t n = 0; n < count; ++n) events.push_back(MakeEvent(n, 1));
    const ScratchFile file;
    auto* recorder = new RecordFile(file.path(), 65536, {.sync = sync});
    state.ResumeTiming();
    for (TimelineEvent& e : events) recorder->append(std::move(e));
    state.PauseTiming();
    delete recorder;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AppendRecordFile)
    ->ArgName("sync")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Reopening a record file whose window of 65,536 records is full (after
// 200,000 appends): what a process pays to continue it after a crash; and
// reading a copy from its bytes, as the quorix command does.
void BM_RecoverRecordFile(benchmark::State& state) {
  const ScratchFile file;
  {
    RecordFile recorder(file.path(), 65536);
    for (std::int64_t n = 0; n < 200000; ++n) recorder.append(MakeEvent(n, 1000));
  }
  std::ifstream in(file.path(), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  for (auto _ : state) {
    if (state.range(0) == 0) {
      const RecordFile recorder(file.path(), 65536);
      benchmark::DoNotOptimize(recorder.timeline().next_sequence());
    } else {
      benchmark::DoNotOptimize(quorix::read_record_file(bytes).dropped);
    }
  }
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
  state.SetItemsProcessed(state.iterations() * 65536);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_RecoverRecordFile)->ArgName("copy")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
