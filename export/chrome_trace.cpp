#include <quorix/export/chrome_trace.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "export/export_text.h"

namespace quorix {
namespace {

using export_detail::append_decimal;
using export_detail::append_json_string;
using export_detail::append_micros;
using export_detail::EventRows;

constexpr std::size_t kPieceBytes = std::size_t{64} << 10;
constexpr std::uint64_t kLastSliceNs = 1000;

// Where a slice is drawn.
struct Place {
  std::uint64_t pid = 0;
  std::uint64_t tid = 0;
  friend bool operator==(const Place&, const Place&) = default;
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
    text_.append("{\"displayTimeUnit\":\"ns\",\"traceEvents\":[");
    write_metadata();
    write_slices();
    write_flows();
    text_.append("\n]}\n");
    out_.flush();
  }

 private:
  // Orders the rows by thread, then by time, and numbers processes and
  // threads.
  void sort_rows() {
    order_.resize(rows_.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    const bool by_domain = processes_ == ChromeProcesses::per_clock_domain;
    std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
      const EventView& x = rows_[a];
      const EventView& y = rows_[b];
      if (by_domain) {
        if (x.clock_domain != y.clock_domain) return x.clock_domain < y.clock_domain;
      } else if (rows_.timeline(a) != rows_.timeline(b)) {
        return rows_.timeline(a) < rows_.timeline(b);
      }
      if (x.entity_id != y.entity_id) return x.entity_id < y.entity_id;
      if (x.wall_time_ns != y.wall_time_ns) return x.wall_time_ns < y.wall_time_ns;
      if (x.sequence != y.sequence) return x.sequence < y.sequence;
      return a < b;  // rows are in timeline, then window order
    });
    places_.resize(rows_.size());
    Place place;
    for (std::size_t p = 0; p < order_.size(); ++p) {
      const std::size_t row = order_[p];
      const std::size_t before = p == 0 ? row : order_[p - 1];
      const std::uint64_t pid =
          by_domain ? place.pid + (p == 0 || rows_[row].clock_domain != rows_[before].clock_domain)
                    : rows_.timeline(row) + 1;
      if (pid != place.pid) {
        place = {pid, 1};
      } else if (rows_[row].entity_id != rows_[before].entity_id) {
        ++place.tid;
      }
      places_[row] = place;
    }
  }

  void begin_event() {
    out_.maybe_flush();
    text_.append(first_ ? "\n" : ",\n");
    first_ = false;
  }

  void put_place(const Place& place) {
    text_.append(",\"pid\":");
    append_decimal(text_, place.pid);
    text_.append(",\"tid\":");
    append_decimal(text_, place.tid);
  }

  void put_metadata(const Place& place, std::string_view what, std::string_view name) {
    begin_event();
    text_.append("{\"ph\":\"M\"");
    put_place(place);
    text_.append(",\"name\":\"");
    text_.append(what);
    text_.append("\",\"args\":{\"name\":");
    append_json_string(text_, name);
    text_.append("}}");
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
    for (std::size_t p = 0; p < order_.size(); ++p) {
      const std::size_t row = order_[p];
      const Place& place = places_[row];
      const bool new_process = p == 0 || places_[order_[p - 1]].pid != place.pid;
      if (new_process) {
        if (by_timeline) {
          put_empty_processes(next_timeline, rows_.timeline(row));
          ++next_timeline;
        }
        put_metadata(
            {place.pid, 0}, "process_name",
            by_timeline ? std::string_view(names_[rows_.timeline(row)]) : rows_[row].clock_domain);
      }
      if (new_process || places_[order_[p - 1]].tid != place.tid) {
        put_metadata(place, "thread_name", rows_[row].entity_id);
      }
    }
    if (by_timeline) put_empty_processes(next_timeline, set_.size());
  }

  void write_slices() {
    for (std::size_t p = 0; p < order_.size(); ++p) {
      const std::size_t row = order_[p];
      const EventView& e = rows_[row];
      std::uint64_t duration = kLastSliceNs;
      if (p + 1 < order_.size() && places_[order_[p + 1]] == places_[row]) {
        const std::uint64_t gap = rows_[order_[p + 1]].wall_time_ns - e.wall_time_ns;
        duration = gap > 1 ? gap - 1 : 0;
      }
      begin_event();
      text_.append("{\"ph\":\"X\"");
      put_place(places_[row]);
      text_.append(",\"ts\":");
      append_micros(text_, e.wall_time_ns);
      text_.append(",\"dur\":");
      append_micros(text_, duration);
      text_.append(",\"name\":");
      append_json_string(text_, e.kind.empty() ? e.id : e.kind);
      text_.append(",\"cat\":\"quorix\",\"args\":{\"clock_domain\":");
      append_json_string(text_, e.clock_domain);
      text_.append(",\"entity_id\":");
      append_json_string(text_, e.entity_id);
      text_.append(",\"id\":");
      append_json_string(text_, e.id);
      text_.append(",\"kind\":");
      append_json_string(text_, e.kind);
      text_.append(",\"message\":");
      append_json_string(text_, e.message);
      text_.append(",\"model_time\":");
      append_decimal(text_, e.model_time);
      text_.append(",\"parent\":");
      append_json_string(text_, e.parent);
      text_.append(",\"sequence\":");
      append_decimal(text_, e.sequence);
      text_.append(",\"wall_time_ns\":");
      append_decimal(text_, e.wall_time_ns);
      text_.append("}}");
    }
  }

  void put_flow(std::string_view start, std::uint64_t id, std::size_t row) {
    begin_event();
    text_.append(start);
    append_decimal(text_, id);
    put_place(places_[row]);
    text_.append(",\"ts\":");
    append_micros(text_, rows_[row].wall_time_ns);
    text_.append(",\"name\":\"cause\",\"cat\":\"quorix\"}");
  }

  void write_flows() {
    std::uint64_t flow = 0;
    for (const std::size_t row : order_) {
      const std::string_view parent = rows_[row].parent;
      if (parent.empty()) continue;
      const std::size_t cause =
          rows_.find(parent, export_detail::id_hash(parent, export_detail::kSpanSeed));
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
  std::vector<std::size_t> order_;  // rows in slice order
  std::vector<Place> places_;       // by row
  export_detail::PieceWriter out_;
  std::string& text_;
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
