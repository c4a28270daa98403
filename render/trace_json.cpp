#include "render/trace_json.h"

#include <charconv>
#include <cstdint>
#include <string_view>

#include "render/json_text.h"

namespace quorix {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kEventKeys[] = {
    "{\"clock_domain\":"sv, ",\"entity_id\":"sv, ",\"id\":"sv,
    ",\"kind\":"sv,         ",\"message\":"sv,   ",\"model_time\":"sv,
    ",\"parent\":"sv,       ",\"sequence\":"sv,  ",\"wall_time_ns\":"sv,
};
constexpr std::size_t kMaxDecimal = 20;  // digits of 2^64 - 1

// The one number form: decimal digits, no sign, grouping or padding, and no
// locale: to_chars depends on nothing but the value.
void append_decimal(std::string& out, std::uint64_t value) {
  char digits[kMaxDecimal];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

// Bytes of an event object when no string needs escaping; escapes add a few.
std::size_t event_size_hint(const TimelineEvent& e) {
  std::size_t size = 1 + 3 * kMaxDecimal + 6 * 2;  // "}", numbers, quotes
  for (std::string_view key : kEventKeys) size += key.size();
  return size + e.clock_domain.size() + e.entity_id.size() + e.id.size() + e.kind.size() +
         e.message.size() + e.parent.size();
}

void append_event_json(std::string& out, const TimelineEvent& e) {
  out.append(kEventKeys[0]);
  append_json_quoted(out, e.clock_domain);
  out.append(kEventKeys[1]);
  append_json_quoted(out, e.entity_id);
  out.append(kEventKeys[2]);
  append_json_quoted(out, e.id);
  out.append(kEventKeys[3]);
  append_json_quoted(out, e.kind);
  out.append(kEventKeys[4]);
  append_json_quoted(out, e.message);
  out.append(kEventKeys[5]);
  append_decimal(out, e.model_time);
  out.append(kEventKeys[6]);
  append_json_quoted(out, e.parent);
  out.append(kEventKeys[7]);
  append_decimal(out, e.sequence);
  out.append(kEventKeys[8]);
  append_decimal(out, e.wall_time_ns);
  out.push_back('}');
}

}  // namespace

std::string trace_status_name(TraceStatus status) {
  switch (status) {
    case TraceStatus::complete:
      return "complete";
    case TraceStatus::retention_gap:
      return "retention_gap";
    default:  // not_found, and any value outside the enumeration
      return "not_found";
  }
}

std::string render_event_json(const TimelineEvent& event) {
  std::string out;
  out.reserve(event_size_hint(event));
  append_event_json(out, event);
  return out;
}

std::string render_trace_json(const CausalTrace& trace) {
  std::size_t size = 64 + trace.schema.size() + trace.root_id.size();
  for (const TimelineEvent& e : trace.events) size += 1 + event_size_hint(e);
  std::string out;
  out.reserve(size);
  out.append("{\"schema\":"sv);
  append_json_quoted(out, trace.schema);
  out.append(",\"root_id\":"sv);
  append_json_quoted(out, trace.root_id);
  out.append(",\"status\":"sv);
  append_json_quoted(out, trace_status_name(trace.status));  // short: no allocation
  out.append(",\"events\":["sv);
  for (std::size_t i = 0; i < trace.events.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_event_json(out, trace.events[i]);
  }
  out.append("]}"sv);
  return out;
}

}  // namespace quorix
