#include <quorix/export/chrome_trace.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/export_text.h"

namespace quorix {
namespace {

using export_detail::EventRows;
using export_detail::json_room;
using export_detail::Text;

constexpr std::size_t kPieceBytes = std::size_t{64} << 10;
constexpr std::uint64_t kLastSliceNs = 1000;
// The largest integer that every double holds exactly: above it, readers that
// keep JSON numbers as doubles would round, so larger numbers are strings.
constexpr std::uint64_t kLargestExactNumber = std::uint64_t{1} << 53;
// Room for a trace event's keys and numbers, beside its strings.
constexpr std::size_t kEventRoom = 512;

// Where a slice is drawn.
struct Place {
  std::uint64_t pid = 0;
  std::uint64_t tid = 0;
};

class ChromeWriter {
 public:
  ChromeWriter(const TimelineSet& set, std::span<const std::string> names,
               ChromeProcesses processes, const ExportSink& sink)
      : set_(set),
        names_(names),
        processes_(processes),
        rows_(set),
        out_(sink, kPieceBytes),
        text_(out_.text()) {}

  void write() {
    sort_rows();
    origin_ = 0;
    if (rows_.size() != 0) {
      origin_ = rows_[0].wall_time_ns;
      for (std::size_t row = 1; row < rows_.size(); ++row) {
        origin_ = std::min(origin_, rows_[row].wall_time_ns);
      }
      origin_ -= origin_ % 1000;
    }
    text_.reserve(128);
    text_.put("{\"otherData\":{\"wall_time_origin_ns\":\"");
    text_.put_decimal(origin_);
    text_.put("\"},\"traceEvents\":[");
    write_metadata();
    write_slices();
    write_flows();
    text_.reserve(4);
    text_.put("\n]}\n");
    out_.flush();
  }

 private:
  // A thread's process (a timeline's index, or its clock domain) and entity.
  struct Thread {
    std::size_t timeline = 0;
    std::string_view domain;
    std::string_view entity;
    friend bool operator==(const Thread&, const Thread&) = default;
    friend bool operator<(const Thread& a, const Thread& b) noexcept {
      return std::tie(a.timeline, a.domain, a.entity) < std::tie(b.timeline, b.domain, b.entity);
    }
  };
  struct ThreadHash {
    std::size_t operator()(const Thread& t) const noexcept {
      return export_detail::id_hash(t.entity, t.timeline ^ export_detail::id_hash(t.domain, 0));
    }
  };
  // What slices are sorted by; `thread` is the rank of the thread.
  struct SortKey {
    std::uint64_t thread;
    std::uint64_t wall;
    std::uint64_t sequence;
    std::size_t row;  // rows are in timeline, then window order
    friend bool operator<(const SortKey& a, const SortKey& b) noexcept {
      return std::tie(a.thread, a.wall, a.sequence, a.row) <
             std::tie(b.thread, b.wall, b.sequence, b.row);
    }
  };

  Thread thread_of(std::size_t row) const {
    if (processes_ == ChromeProcesses::per_clock_domain) {
      return {0, rows_[row].clock_domain, rows_[row].entity_id};
    }
    return {rows_.timeline(row), {}, rows_[row].entity_id};
  }

  // Numbers the processes and threads, and orders the rows by thread, then
  // by time. Threads (usually few) are told apart by a hash table and sorted
  // once, so that the rows are sorted by small keys of numbers alone.
  void sort_rows() {
    std::unordered_map<Thread, std::size_t, ThreadHash> numbers;
    std::vector<Thread> threads;
    std::vector<std::size_t> thread_numbers(rows_.size());
    for (std::size_t row = 0; row < rows_.size(); ++row) {
      const Thread thread = thread_of(row);
      if (row > 0 && thread == threads[thread_numbers[row - 1]]) {
        thread_numbers[row] = thread_numbers[row - 1];
        continue;
      }
      const auto [at, added] = numbers.try_emplace(thread, threads.size());
      if (added) threads.push_back(thread);
      thread_numbers[row] = at->second;
    }
    std::vector<std::size_t> by_rank(threads.size());
    std::iota(by_rank.begin(), by_rank.end(), std::size_t{0});
    std::sort(by_rank.begin(), by_rank.end(),
              [&](std::size_t a, std::size_t b) { return threads[a] < threads[b]; });
    std::vector<std::size_t> ranks(threads.size());
    places_.resize(threads.size());
    Place current;
    for (std::size_t rank = 0; rank < by_rank.size(); ++rank) {
      const Thread& thread = threads[by_rank[rank]];
      ranks[by_rank[rank]] = rank;
      const bool same_process = rank > 0 &&
                                thread.timeline == threads[by_rank[rank - 1]].timeline &&
                                thread.domain == threads[by_rank[rank - 1]].domain;
      const std::uint64_t pid = processes_ == ChromeProcesses::per_timeline
                                    ? thread.timeline + 1
                                    : current.pid + (same_process ? 0 : 1);
      current = same_process ? Place{pid, current.tid + 1} : Place{pid, 1};
      places_[rank] = current;
    }
    keys_.resize(rows_.size());
    for (std::size_t row = 0; row < rows_.size(); ++row) {
      thread_numbers[row] = ranks[thread_numbers[row]];
      keys_[row] = {thread_numbers[row], rows_[row].wall_time_ns, rows_[row].sequence, row};
    }
    thread_of_row_ = std::move(thread_numbers);
    std::sort(keys_.begin(), keys_.end());
  }

  const Place& place(std::size_t row) const noexcept { return places_[thread_of_row_[row]]; }

  // Starts a trace event that takes at most `room` bytes.
  void begin_event(std::size_t room) {
    out_.maybe_flush();
    text_.reserve(room + 2);
    text_.put(first_ ? "\n" : ",\n");
    first_ = false;
  }

  void put_place(const Place& place) {
    text_.put(",\"pid\":");
    text_.put_decimal(place.pid);
    text_.put(",\"tid\":");
    text_.put_decimal(place.tid);
  }

  void put_metadata(const Place& place, std::string_view what, std::string_view name) {
    begin_event(json_room(name) + kEventRoom);
    text_.put("{\"ph\":\"M\"");
    put_place(place);
    text_.put(",\"name\":\"");
    text_.put(what);
    text_.put("\",\"args\":{\"name\":");
    text_.put_json_string(name);
    text_.put("}}");
  }

  // The process of each timeline before `end` that has not been written,
  // with no thread: per_timeline lists empty timelines too.
  void put_empty_processes(std::size_t& next_timeline, std::size_t end) {
    for (; next_timeline < end; ++next_timeline) {
      put_metadata({next_timeline + 1, 0}, "process_name", names_[next_timeline]);
    }
  }

  void write_metadata() {
    const bool by_timeline = processes_ == ChromeProcesses::per_timeline;
    std::size_t next_timeline = 0;
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      if (k > 0 && keys_[k].thread == keys_[k - 1].thread) continue;
      const std::size_t row = keys_[k].row;
      const Place& here = place(row);
      if (k == 0 || place(keys_[k - 1].row).pid != here.pid) {
        if (by_timeline) {
          put_empty_processes(next_timeline, rows_.timeline(row));
          ++next_timeline;
        }
        put_metadata(
            {here.pid, 0}, "process_name",
            by_timeline ? std::string_view(names_[rows_.timeline(row)]) : rows_[row].clock_domain);
      }
      put_metadata(here, "thread_name", rows_[row].entity_id);
    }
    if (by_timeline) put_empty_processes(next_timeline, set_.size());
  }

  void write_slices() {
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      const std::size_t row = keys_[k].row;
      const EventView& e = rows_[row];
      std::uint64_t duration = kLastSliceNs;
      if (k + 1 < keys_.size() && keys_[k + 1].thread == keys_[k].thread) {
        const std::uint64_t gap = keys_[k + 1].wall - keys_[k].wall;
        duration = gap > 1 ? gap - 1 : 0;
      }
      begin_event(json_room(e.kind.empty() ? e.id : e.kind) + json_room(e.clock_domain) +
                  json_room(e.entity_id) + json_room(e.id) + json_room(e.kind) +
                  json_room(e.message) + json_room(e.parent) + kEventRoom);
      text_.put("{\"ph\":\"X\"");
      put_place(place(row));
      text_.put(",\"ts\":");
      text_.put_micros(e.wall_time_ns - origin_);
      text_.put(",\"dur\":");
      text_.put_micros(duration);
      text_.put(",\"name\":");
      text_.put_json_string(e.kind.empty() ? e.id : e.kind);
      text_.put(",\"cat\":\"quorix\",\"args\":{\"clock_domain\":");
      text_.put_json_string(e.clock_domain);
      text_.put(",\"entity_id\":");
      text_.put_json_string(e.entity_id);
      text_.put(",\"id\":");
      text_.put_json_string(e.id);
      text_.put(",\"kind\":");
      text_.put_json_string(e.kind);
      text_.put(",\"message\":");
      text_.put_json_string(e.message);
      text_.put(",\"model_time\":");
      put_arg_number(e.model_time);
      text_.put(",\"parent\":");
      text_.put_json_string(e.parent);
      text_.put(",\"sequence\":");
      put_arg_number(e.sequence);
      text_.put(",\"wall_time_ns\":");
      put_arg_number(e.wall_time_ns);
      text_.put("}}");
    }
  }

  // A number of the args: a JSON number when every double holds it, else a
  // string of its digits.
  void put_arg_number(std::uint64_t value) {
    const bool exact = value <= kLargestExactNumber;
    if (!exact) text_.put('"');
    text_.put_decimal(value);
    if (!exact) text_.put('"');
  }

  void put_flow(std::string_view start, std::uint64_t id, std::size_t row) {
    begin_event(kEventRoom);
    text_.put(start);
    text_.put_decimal(id);
    put_place(place(row));
    text_.put(",\"ts\":");
    text_.put_micros(rows_[row].wall_time_ns - origin_);
    text_.put(",\"name\":\"cause\",\"cat\":\"quorix\"}");
  }

  void write_flows() {
    std::uint64_t flow = 0;
    for (const SortKey& key : keys_) {
      const std::size_t row = key.row;
      const std::size_t cause = rows_.cause(row);
      if (cause == EventRows::kNone) continue;
      ++flow;
      put_flow("{\"ph\":\"s\",\"id\":", flow, cause);
      put_flow("{\"ph\":\"f\",\"bp\":\"e\",\"id\":", flow, row);
    }
  }

  const TimelineSet& set_;
  std::span<const std::string> names_;
  ChromeProcesses processes_;
  EventRows rows_;
  std::vector<SortKey> keys_;               // in slice order
  std::vector<std::size_t> thread_of_row_;  // the thread's rank, by row
  std::vector<Place> places_;               // by the thread's rank
  export_detail::PieceWriter out_;
  Text& text_;
  std::uint64_t origin_ = 0;  // what ts counts from: see the header
  bool first_ = true;
};

}  // namespace

void write_chrome_trace(const TimelineSet& set, std::span<const std::string> names,
                        ChromeProcesses processes, const ExportSink& sink) {
  export_detail::check_names(set, names);
  ChromeWriter(set, names, processes, sink).write();
}

std::string render_chrome_trace(const TimelineSet& set, std::span<const std::string> names,
                                ChromeProcesses processes) {
  std::string text;
  write_chrome_trace(set, names, processes,
                     [&text](std::string_view piece) { text.append(piece); });
  return text;
}

}  // namespace quorix
