#include <quorix/render/trace_json.h>

#include <string_view>

#include "render/json_writer.h"

namespace quorix {
namespace {

using namespace std::string_view_literals;
using json::quoted_size;

// The members of an event object, keys in ascending byte order.
constexpr std::string_view kClockDomain = "{\"clock_domain\":";
constexpr std::string_view kEntityId = ",\"entity_id\":";
constexpr std::string_view kId = ",\"id\":";
constexpr std::string_view kKind = ",\"kind\":";
constexpr std::string_view kMessage = ",\"message\":";
constexpr std::string_view kModelTime = ",\"model_time\":";
constexpr std::string_view kParent = ",\"parent\":";
constexpr std::string_view kSequence = ",\"sequence\":";
constexpr std::string_view kWallTimeNs = ",\"wall_time_ns\":";
constexpr std::size_t kEventKeysSize = kClockDomain.size() + kEntityId.size() + kId.size() +
                                       kKind.size() + kMessage.size() + kModelTime.size() +
                                       kParent.size() + kSequence.size() + kWallTimeNs.size();

constexpr std::string_view kSchema = "{\"schema\":";
constexpr std::string_view kRootId = ",\"root_id\":";
constexpr std::string_view kStatus = ",\"status\":";
constexpr std::string_view kEvents = ",\"events\":[";
constexpr std::string_view kEnd = "]}";

std::size_t event_size(const TimelineEvent& e) {
  return kEventKeysSize + quoted_size(e.clock_domain) + quoted_size(e.entity_id) +
         quoted_size(e.id) + quoted_size(e.kind) + quoted_size(e.message) +
         decimal_size(e.model_time) + quoted_size(e.parent) + decimal_size(e.sequence) +
         decimal_size(e.wall_time_ns) + 1;
}

void put_event(json::Cursor& out, const TimelineEvent& e) {
  out.put(kClockDomain);
  out.put_quoted(e.clock_domain);
  out.put(kEntityId);
  out.put_quoted(e.entity_id);
  out.put(kId);
  out.put_quoted(e.id);
  out.put(kKind);
  out.put_quoted(e.kind);
  out.put(kMessage);
  out.put_quoted(e.message);
  out.put(kModelTime);
  out.put_decimal(e.model_time);
  out.put(kParent);
  out.put_quoted(e.parent);
  out.put(kSequence);
  out.put_decimal(e.sequence);
  out.put(kWallTimeNs);
  out.put_decimal(e.wall_time_ns);
  out.put('}');
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
  return json::build(event_size(event), [&event](json::Cursor& out) { put_event(out, event); });
}

std::string render_trace_json(const CausalTrace& trace) {
  const std::string status = trace_status_name(trace.status);  // short: no allocation
  std::size_t size = kSchema.size() + quoted_size(trace.schema) + kRootId.size() +
                     quoted_size(trace.root_id) + kStatus.size() + quoted_size(status) +
                     kEvents.size() + kEnd.size();
  for (const TimelineEvent& e : trace.events) size += event_size(e);
  if (!trace.events.empty()) size += trace.events.size() - 1;  // the commas between events
  return json::build(size, [&](json::Cursor& out) {
    out.put(kSchema);
    out.put_quoted(trace.schema);
    out.put(kRootId);
    out.put_quoted(trace.root_id);
    out.put(kStatus);
    out.put_quoted(status);
    out.put(kEvents);
    for (std::size_t i = 0; i < trace.events.size(); ++i) {
      if (i != 0) out.put(',');
      put_event(out, trace.events[i]);
    }
    out.put(kEnd);
  });
}

}  // namespace quorix
