#include <quorix/export/otlp_json.h>

#include <quorix/version.h>

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "export/export_text.h"

namespace quorix {
namespace {

using export_detail::EventRows;
using export_detail::id_hash;
using export_detail::json_room;
using export_detail::Text;

// The two halves of a trace id.
using TraceId = std::array<std::uint64_t, 2>;

TraceId trace_id_of(std::string_view origin) {
  return {id_hash(origin, export_detail::kTraceHighSeed),
          id_hash(origin, export_detail::kTraceLowSeed)};
}

// The trace id of every row: that of the origin its chain of held parents
// reaches, each row's found once. No chain is a ring (the set refuses
// those); a ring would end at the row where it closes.
std::vector<TraceId> trace_ids(const EventRows& rows) {
  enum : unsigned char { kUnseen, kOnPath, kDone };
  std::vector<TraceId> ids(rows.size());
  std::vector<unsigned char> state(rows.size(), kUnseen);
  std::vector<std::size_t> path;
  for (std::size_t start = 0; start < rows.size(); ++start) {
    if (state[start] == kDone) continue;
    TraceId id{};
    for (std::size_t row = start;;) {
      if (state[row] == kDone) {
        id = ids[row];
        break;
      }
      if (state[row] == kOnPath) {
        id = trace_id_of(rows[row].id);
        break;
      }
      state[row] = kOnPath;
      path.push_back(row);
      const std::string_view parent = rows[row].parent;
      if (parent.empty()) {
        id = trace_id_of(rows[row].id);
        break;
      }
      const std::size_t cause = rows.cause(row);
      if (cause == EventRows::kNone) {
        id = trace_id_of(parent);
        break;
      }
      row = cause;
    }
    for (const std::size_t row : path) {
      ids[row] = id;
      state[row] = kDone;
    }
    path.clear();
  }
  return ids;
}

// Room for a request's text around its spans and its two strings.
constexpr std::size_t kRequestRoom = 256;

// Room for a span and the comma before it: its strings (the name and six
// attributes), and 1 KiB for keys, ids and numbers.
std::size_t span_room(const EventView& e) {
  return json_room(e.kind.empty() ? e.id : e.kind) + json_room(e.clock_domain) +
         json_room(e.entity_id) + json_room(e.id) + json_room(e.kind) + json_room(e.message) +
         json_room(e.parent) + 1024;
}

void put_string_attribute(Text& text, std::string_view key, std::string_view value) {
  text.put(key);
  if (export_detail::valid_utf8(value)) {
    text.put("\"stringValue\":");
    text.put_json_string(value);
  } else {
    text.put("\"bytesValue\":\"");
    text.put_base64(value);
    text.put('"');
  }
  text.put("}}");
}

void put_number_attribute(Text& text, std::string_view key, std::uint64_t value) {
  constexpr auto kIntMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  text.put(key);
  text.put(value <= kIntMax ? "\"intValue\":\"" : "\"stringValue\":\"");
  text.put_decimal(value);
  text.put("\"}}");
}

// The span of `row`, whose trace is `trace`.
void put_span(Text& text, const TimelineSet& set, const EventRows& rows, std::size_t row,
              const TraceId& trace) {
  const EventView& e = rows[row];
  text.put("{\"traceId\":\"");
  text.put_hex(trace[0]);
  text.put_hex(trace[1]);
  text.put("\",\"spanId\":\"");
  text.put_hex(rows.span_hash(row));
  const std::size_t cause = rows.cause(row);
  if (!e.parent.empty()) {
    text.put("\",\"parentSpanId\":\"");
    text.put_hex(cause != EventRows::kNone ? rows.span_hash(cause)
                                           : id_hash(e.parent, export_detail::kSpanSeed));
  }
  text.put("\",\"name\":");
  text.put_json_string(e.kind.empty() ? e.id : e.kind);
  // Sampled (bit 0), with whether the parent is remote known (bit 8): it
  // is (bit 9) when another timeline holds it, another process's, or when
  // none does and the span's own timeline never knew it either. One that
  // this timeline evicted ran in this process.
  const bool remote =
      !e.parent.empty() && (cause != EventRows::kNone ? rows.timeline(cause) != rows.timeline(row)
                                                      : !set[rows.timeline(row)].knows(e.parent));
  text.put(remote ? ",\"kind\":1,\"flags\":769" : ",\"kind\":1,\"flags\":257");
  text.put(",\"startTimeUnixNano\":\"");
  text.put_decimal(e.wall_time_ns);
  text.put("\",\"endTimeUnixNano\":\"");
  text.put_decimal(e.wall_time_ns);
  text.put("\",\"attributes\":[");
  put_string_attribute(text, "{\"key\":\"quorix.clock_domain\",\"value\":{", e.clock_domain);
  put_string_attribute(text, ",{\"key\":\"quorix.entity_id\",\"value\":{", e.entity_id);
  put_string_attribute(text, ",{\"key\":\"quorix.id\",\"value\":{", e.id);
  put_string_attribute(text, ",{\"key\":\"quorix.kind\",\"value\":{", e.kind);
  put_string_attribute(text, ",{\"key\":\"quorix.message\",\"value\":{", e.message);
  put_number_attribute(text, ",{\"key\":\"quorix.model_time\",\"value\":{", e.model_time);
  put_string_attribute(text, ",{\"key\":\"quorix.parent\",\"value\":{", e.parent);
  put_number_attribute(text, ",{\"key\":\"quorix.sequence\",\"value\":{", e.sequence);
  put_number_attribute(text, ",{\"key\":\"quorix.wall_time_ns\",\"value\":{", e.wall_time_ns);
  text.put("]}");
}

}  // namespace

std::string otlp_span_id(std::string_view event_id) {
  Text text;
  text.reserve(16);
  text.put_hex(id_hash(event_id, export_detail::kSpanSeed));
  return std::string(text.view());
}

std::string otlp_trace_id(std::string_view origin_id) {
  Text text;
  text.reserve(32);
  const TraceId id = trace_id_of(origin_id);
  text.put_hex(id[0]);
  text.put_hex(id[1]);
  return std::string(text.view());
}

void write_otlp_json(const TimelineSet& set, std::span<const std::string> names,
                     const ExportSink& sink, OtlpOptions options) {
  export_detail::check_names(set, names);
  if (options.spans_per_request == 0) {
    throw std::invalid_argument("OTLP request size must be positive");
  }
  if (options.max_request_bytes == 0) {
    throw std::invalid_argument("OTLP request budget must be positive");
  }
  const EventRows rows(set);
  const std::vector<TraceId> traces = trace_ids(rows);
  constexpr std::string_view kClose = "]}]}]}\n";
  Text line;
  for (std::size_t t = 0; t < set.size(); ++t) {
    const std::size_t end = rows.first(t + 1);
    for (std::size_t row = rows.first(t); row < end;) {
      line.clear();
      line.reserve(json_room(names[t]) + json_room(kVersion) + kRequestRoom);
      line.put(
          "{\"resourceSpans\":[{\"resource\":{\"attributes\":[{\"key\":\"service.name\","
          "\"value\":{\"stringValue\":");
      line.put_json_string(names[t]);
      line.put("}}]},\"scopeSpans\":[{\"scope\":{\"name\":\"quorix\",\"version\":");
      line.put_json_string(kVersion);
      line.put("},\"spans\":[");
      // A span that takes the line past its budget is taken back and starts
      // the next line, unless it is the line's first.
      for (std::size_t count = 0; row < end && count < options.spans_per_request; ++count, ++row) {
        const std::size_t before = line.size();
        line.reserve(span_room(rows[row]));
        if (count != 0) line.put(',');
        put_span(line, set, rows, row, traces[row]);
        if (count != 0 && line.size() + kClose.size() > options.max_request_bytes) {
          line.truncate(before);
          break;
        }
      }
      line.reserve(kClose.size());
      line.put(kClose);
      sink(line.view());
    }
  }
}

std::string render_otlp_json(const TimelineSet& set, std::span<const std::string> names,
                             OtlpOptions options) {
  std::string text;
  write_otlp_json(
      set, names, [&text](std::string_view line) { text.append(line); }, options);
  return text;
}

}  // namespace quorix
