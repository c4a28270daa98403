#include <quorix/export/otlp_json.h>

#include <quorix/version.h>

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "export/export_text.h"

namespace quorix {
namespace {

using export_detail::append_base64;
using export_detail::append_decimal;
using export_detail::append_hex;
using export_detail::append_json_string;
using export_detail::EventRows;
using export_detail::id_hash;

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
      const std::size_t cause = rows.find(parent, id_hash(parent, export_detail::kSpanSeed));
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

void put_string_attribute(std::string& text, std::string_view key, std::string_view value) {
  text.append(key);
  if (export_detail::valid_utf8(value)) {
    text.append("\"stringValue\":");
    append_json_string(text, value);
  } else {
    text.append("\"bytesValue\":\"");
    append_base64(text, value);
    text.push_back('"');
  }
  text.append("}}");
}

void put_number_attribute(std::string& text, std::string_view key, std::uint64_t value) {
  constexpr auto kIntMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  text.append(key);
  text.append(value <= kIntMax ? "\"intValue\":\"" : "\"stringValue\":\"");
  append_decimal(text, value);
  text.append("\"}}");
}

void put_span(std::string& text, const EventView& e, std::uint64_t span, const TraceId& trace) {
  text.append("{\"traceId\":\"");
  append_hex(text, trace[0]);
  append_hex(text, trace[1]);
  text.append("\",\"spanId\":\"");
  append_hex(text, span);
  if (!e.parent.empty()) {
    text.append("\",\"parentSpanId\":\"");
    append_hex(text, id_hash(e.parent, export_detail::kSpanSeed));
  }
  text.append("\",\"name\":");
  append_json_string(text, e.kind.empty() ? e.id : e.kind);
  text.append(",\"kind\":1,\"startTimeUnixNano\":\"");
  append_decimal(text, e.wall_time_ns);
  text.append("\",\"endTimeUnixNano\":\"");
  append_decimal(text, e.wall_time_ns);
  text.append("\",\"attributes\":[");
  put_string_attribute(text, "{\"key\":\"quorix.clock_domain\",\"value\":{", e.clock_domain);
  put_string_attribute(text, ",{\"key\":\"quorix.entity_id\",\"value\":{", e.entity_id);
  put_string_attribute(text, ",{\"key\":\"quorix.id\",\"value\":{", e.id);
  put_string_attribute(text, ",{\"key\":\"quorix.kind\",\"value\":{", e.kind);
  put_string_attribute(text, ",{\"key\":\"quorix.message\",\"value\":{", e.message);
  put_number_attribute(text, ",{\"key\":\"quorix.model_time\",\"value\":{", e.model_time);
  put_string_attribute(text, ",{\"key\":\"quorix.parent\",\"value\":{", e.parent);
  put_number_attribute(text, ",{\"key\":\"quorix.sequence\",\"value\":{", e.sequence);
  put_number_attribute(text, ",{\"key\":\"quorix.wall_time_ns\",\"value\":{", e.wall_time_ns);
  text.append("]}");
}

}  // namespace

std::string otlp_span_id(std::string_view event_id) {
  std::string text;
  append_hex(text, id_hash(event_id, export_detail::kSpanSeed));
  return text;
}

std::string otlp_trace_id(std::string_view origin_id) {
  std::string text;
  const TraceId id = trace_id_of(origin_id);
  append_hex(text, id[0]);
  append_hex(text, id[1]);
  return text;
}

void write_otlp_json(const TimelineSet& set, std::span<const std::string> names,
                     const ExportSink& sink, OtlpOptions options) {
  export_detail::check_names(set, names);
  if (options.spans_per_request == 0) {
    throw std::invalid_argument("OTLP request size must be positive");
  }
  const EventRows rows(set);
  const std::vector<TraceId> traces = trace_ids(rows);
  std::string line;
  for (std::size_t t = 0; t < set.size(); ++t) {
    const std::size_t end = rows.first(t + 1);
    for (std::size_t row = rows.first(t); row < end;) {
      const std::size_t stop =
          end - row > options.spans_per_request ? row + options.spans_per_request : end;
      line.clear();
      line.append(
          "{\"resourceSpans\":[{\"resource\":{\"attributes\":[{\"key\":\"service.name\","
          "\"value\":{\"stringValue\":");
      append_json_string(line, names[t]);
      line.append("}}]},\"scopeSpans\":[{\"scope\":{\"name\":\"quorix\",\"version\":");
      append_json_string(line, kVersion);
      line.append("},\"spans\":[");
      for (const std::size_t first = row; row < stop; ++row) {
        if (row != first) line.push_back(',');
        put_span(line, rows[row], rows.id_hash(row), traces[row]);
      }
      line.append("]}]}]}\n");
      sink(line);
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
