#include <cassert>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <quorix/snapshot/snapshot.h>
#include "timeline/text_form.h"

namespace quorix {
namespace {

constexpr std::string_view kHeaderStart = "quorix-timeline 1 ";
constexpr const char kUnrepresentable[] = "timeline field not representable in snapshot";

// The bytes of the event's record line. Refuses a value the line cannot
// carry: a line feed anywhere, a tab in a field before the message.
std::size_t record_size(const TimelineEvent& e) {
  std::size_t size = 9;  // eight tabs and a line feed
  for (const std::string* text : {&e.id, &e.parent, &e.kind, &e.entity_id, &e.clock_domain}) {
    if (holds_either(*text, '\t', '\n')) throw std::invalid_argument(kUnrepresentable);
    size += text->size();
  }
  if (holds_either(e.message, '\n', '\n')) throw std::invalid_argument(kUnrepresentable);
  return size + e.message.size() + decimal_size(e.wall_time_ns) + decimal_size(e.model_time) +
         decimal_size(e.sequence);
}

}  // namespace

std::string write_timeline_snapshot(const Timeline& timeline) {
  const auto& retained = timeline.retained_events();
  std::size_t size = kHeaderStart.size() + decimal_size(timeline.capacity()) + 1 +
                     decimal_size(timeline.next_sequence()) + 1 + decimal_size(retained.size()) + 1;
  for (const TimelineEvent& e : retained) size += record_size(e);

  // One buffer of exact size, written through a pointer.
  std::string text(size, '\0');
  char* out = put_bytes(text.data(), kHeaderStart);
  out = put_decimal(out, timeline.capacity());
  *out++ = ' ';
  out = put_decimal(out, timeline.next_sequence());
  *out++ = ' ';
  out = put_decimal(out, retained.size());
  *out++ = '\n';
  for (const TimelineEvent& e : retained) {
    for (const std::string* field : {&e.id, &e.parent, &e.kind, &e.entity_id, &e.clock_domain}) {
      out = put_bytes(out, *field);
      *out++ = '\t';
    }
    for (const std::uint64_t number : {e.wall_time_ns, e.model_time, e.sequence}) {
      out = put_decimal(out, number);
      *out++ = '\t';
    }
    out = put_bytes(out, e.message);
    *out++ = '\n';
  }
  assert(out == text.data() + text.size() && "the sizing pass and the writing pass agree");
  return text;
}

}  // namespace quorix
