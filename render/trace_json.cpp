#include <quorix/render/trace_json.h>

#include <quorix/render/effects_json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

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

// A number member that an effects document adds to each event object. Its
// key sorts right after the first member's, so it is written after that.
using ExtraMember = std::optional<std::uint64_t>;
constexpr std::string_view kDepth = ",\"depth\":";
static_assert(std::string_view("clock_domain") < "depth" &&
              std::string_view("depth") < "entity_id");

std::size_t extra_size(ExtraMember extra) {
  return extra ? kDepth.size() + decimal_size(*extra) : 0;
}

constexpr std::string_view kSchema = "{\"schema\":";
constexpr std::string_view kRootId = ",\"root_id\":";
constexpr std::string_view kStatus = ",\"status\":";
constexpr std::string_view kEvents = ",\"events\":[";
constexpr std::string_view kEnd = "]}";

std::size_t plain_size(const std::string& text) { return json::plain_quoted_size(text); }
std::size_t plain_size(std::uint64_t number) { return decimal_size(number); }
std::size_t most_size(const std::string& text) { return json::plain_quoted_size(text); }
std::size_t most_size(std::uint64_t) { return kMaxDecimalDigits; }
std::size_t value_size(const std::string& text) { return json::quoted_size(text); }
std::size_t value_size(std::uint64_t number) { return decimal_size(number); }

// The bytes of the event's object by `size` of each value: exact with
// value_size; as if no string held a byte to escape with plain_size; and
// with most_size, that and room for the longest numbers. The extra member
// is always counted exactly.
template <typename Size>
std::size_t event_size(const TimelineEvent& e, ExtraMember extra, Size size) {
  return std::apply(
      [&](const auto&... member) {
        return ((1 + extra_size(extra)) + ... + (member.key.size() + size(e.*member.field)));
      },
      kEventMembers);
}
// Room beyond plain_size that most_size may ask for.
constexpr std::size_t kEventSlack = 3 * kMaxDecimalDigits;

// Writes the event's object, with the extra member when it is set. Strings
// are first copied as they are, which also tells whether one needs
// escaping; as few do, the object is written again with escapes only then.
void put_event(TextBuffer& text, const TimelineEvent& e, ExtraMember extra) {
  const std::size_t start = text.size();
  bool escapes = false;
  const auto write = [&e, extra](Cursor& out, auto put_string) {
    std::apply(
        [&](const auto& first, const auto&... member) {
          const auto put_value = [&](const auto& value) {
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
              put_string(value);
            } else {
              out.put_decimal(value);
            }
          };
          out.put(first.key);
          put_value(e.*first.field);
          if (extra) {
            out.put(kDepth);
            out.put_decimal(*extra);
          }
          ((out.put(member.key), put_value(e.*member.field)), ...);
        },
        kEventMembers);
    out.put(kEventEnd);
  };
  text.put_sized(event_size(e, extra, [](const auto& value) { return most_size(value); }),
                 [&](Cursor& out) {
                   write(out, [&](const std::string& value) {
                     char* at = out.take(value.size() + 2);
                     *at = '"';
                     at = put_bytes_finding(at + 1, value, '"', '\\', escapes);
                     *at = '"';
                   });
                 });
  if (!escapes) return;
  text.truncate(start);
  text.put_sized(event_size(e, extra, [](const auto& value) { return value_size(value); }),
                 [&](Cursor& out) {
                   write(out, [&](const std::string& value) { json::put_quoted(out, value); });
                 });
}

void put_quoted(TextBuffer& text, std::string_view bytes) {
  text.put_sized(json::quoted_size(bytes), [bytes](Cursor& out) { json::put_quoted(out, bytes); });
}

const TimelineEvent& event_of(const TimelineEvent& event) { return event; }
const TimelineEvent& event_of(const EffectEvent& effect) { return effect.event; }
ExtraMember extra_of(const TimelineEvent&) { return std::nullopt; }
ExtraMember extra_of(const EffectEvent& effect) { return effect.depth; }

// A document of either kind: the schema, root id and status, then the event
// objects, each with the extra member its item gives.
template <typename Item>
std::string render_document(const std::string& schema, const std::string& root_id,
                            TraceStatus status, const std::vector<Item>& events) {
  const std::string status_name = trace_status_name(status);  // short: no allocation
  std::size_t size = kSchema.size() + plain_size(schema) + kRootId.size() + plain_size(root_id) +
                     kStatus.size() + plain_size(status_name) + kEvents.size() + events.size() +
                     kEnd.size();  // a comma per event
  for (const Item& item : events) {
    size += event_size(event_of(item), extra_of(item),
                       [](const auto& value) { return plain_size(value); });
  }
  size += kEventSlack;
  TextBuffer out(size);
  out.put(kSchema);
  put_quoted(out, schema);
  out.put(kRootId);
  put_quoted(out, root_id);
  out.put(kStatus);
  put_quoted(out, status_name);
  out.put(kEvents);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (i != 0) out.put(',');
    put_event(out, event_of(events[i]), extra_of(events[i]));
  }
  out.put(kEnd);
  return std::move(out).take();
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
  TextBuffer out(
      event_size(event, std::nullopt, [](const auto& value) { return plain_size(value); }) +
      kEventSlack);
  put_event(out, event, std::nullopt);
  return std::move(out).take();
}

std::string render_trace_json(const CausalTrace& trace) {
  return render_document(trace.schema, trace.root_id, trace.status, trace.events);
}

std::string render_effects_json(const CausalEffects& effects) {
  return render_document(effects.schema, effects.root_id, effects.status, effects.events);
}

}  // namespace quorix
