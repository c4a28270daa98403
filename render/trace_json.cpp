#include <quorix/render/trace_json.h>

#include <cstdint>
#include <string_view>
#include <tuple>

#include "render/json_writer.h"

namespace quorix {
namespace {

// A member of an event object: its key with the punctuation before it, and
// the field it shows.
template <typename Field>
struct Member {
  std::string_view key;
  Field TimelineEvent::*field;
};

// The members of an event object, keys in ascending byte order: the one
// list by which an event is both sized and written.
constexpr std::tuple kEventMembers{
    Member<std::string>{"{\"clock_domain\":", &TimelineEvent::clock_domain},
    Member<std::string>{",\"entity_id\":", &TimelineEvent::entity_id},
    Member<std::string>{",\"id\":", &TimelineEvent::id},
    Member<std::string>{",\"kind\":", &TimelineEvent::kind},
    Member<std::string>{",\"message\":", &TimelineEvent::message},
    Member<std::uint64_t>{",\"model_time\":", &TimelineEvent::model_time},
    Member<std::string>{",\"parent\":", &TimelineEvent::parent},
    Member<std::uint64_t>{",\"sequence\":", &TimelineEvent::sequence},
    Member<std::uint64_t>{",\"wall_time_ns\":", &TimelineEvent::wall_time_ns},
};
constexpr char kEventEnd = '}';

constexpr std::string_view kSchema = "{\"schema\":";
constexpr std::string_view kRootId = ",\"root_id\":";
constexpr std::string_view kStatus = ",\"status\":";
constexpr std::string_view kEvents = ",\"events\":[";
constexpr std::string_view kEnd = "]}";

std::size_t value_size(const std::string& text) { return json::plain_quoted_size(text); }
std::size_t value_size(std::uint64_t number) { return decimal_size(number); }
void put_value(TextBuffer& out, const std::string& text) { json::put_quoted(out, text); }
void put_value(TextBuffer& out, std::uint64_t number) { out.put_decimal(number); }

// The bytes of the event's object, exact unless a string holds a byte to
// escape.
std::size_t event_size(const TimelineEvent& e) {
  return std::apply(
      [&e](const auto&... member) {
        return (1 + ... + (member.key.size() + value_size(e.*member.field)));
      },
      kEventMembers);
}

void put_event(TextBuffer& out, const TimelineEvent& e) {
  std::apply(
      [&](const auto&... member) { ((out.put(member.key), put_value(out, e.*member.field)), ...); },
      kEventMembers);
  out.put(kEventEnd);
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
  TextBuffer out(event_size(event));
  put_event(out, event);
  return std::move(out).take();
}

std::string render_trace_json(const CausalTrace& trace) {
  const std::string status = trace_status_name(trace.status);  // short: no allocation
  std::size_t size = kSchema.size() + value_size(trace.schema) + kRootId.size() +
                     value_size(trace.root_id) + kStatus.size() + value_size(status) +
                     kEvents.size() + trace.events.size() + kEnd.size();  // a comma per event
  for (const TimelineEvent& e : trace.events) size += event_size(e);
  TextBuffer out(size);
  out.put(kSchema);
  put_value(out, trace.schema);
  out.put(kRootId);
  put_value(out, trace.root_id);
  out.put(kStatus);
  put_value(out, status);
  out.put(kEvents);
  for (std::size_t i = 0; i < trace.events.size(); ++i) {
    if (i != 0) out.put(',');
    put_event(out, trace.events[i]);
  }
  out.put(kEnd);
  return std::move(out).take();
}

}  // namespace quorix
