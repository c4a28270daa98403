#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "snapshot/snapshot.h"

namespace quorix {
namespace {

constexpr std::string_view kHeaderStart = "quorix-timeline 1 ";
constexpr const char kUnrepresentable[] = "timeline field not representable in snapshot";

std::size_t decimal_size(std::uint64_t value) {
  std::size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];  // 2^64 - 1 has twenty digits
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

// The bytes of the event's record line. Refuses a value the line cannot
// carry: a line feed anywhere, a tab in a field before the message.
std::size_t record_size(const TimelineEvent& e) {
  for (const std::string* text : {&e.id, &e.parent, &e.kind, &e.entity_id, &e.clock_domain}) {
    if (text->find_first_of("\t\n") != std::string::npos)
      throw std::invalid_argument(kUnrepresentable);
  }
  if (e.message.find('\n') != std::string::npos) throw std::invalid_argument(kUnrepresentable);
  return e.id.size() + e.parent.size() + e.kind.size() + e.entity_id.size() +
         e.clock_domain.size() + decimal_size(e.wall_time_ns) + decimal_size(e.model_time) +
         decimal_size(e.sequence) + e.message.size() + 9;  // eight tabs, one line feed
}

}  // namespace

std::string write_timeline_snapshot(const Timeline& timeline) {
  const auto& retained = timeline.retained_events();
  std::size_t size = kHeaderStart.size() + decimal_size(timeline.capacity()) + 1 +
                     decimal_size(timeline.next_sequence()) + 1 + decimal_size(retained.size()) + 1;
  for (const TimelineEvent& e : retained) size += record_size(e);

  std::string out;
  out.reserve(size);
  out.append(kHeaderStart);
  append_decimal(out, timeline.capacity());
  out.push_back(' ');
  append_decimal(out, timeline.next_sequence());
  out.push_back(' ');
  append_decimal(out, retained.size());
  out.push_back('\n');
  for (const TimelineEvent& e : retained) {
    for (const std::string* text : {&e.id, &e.parent, &e.kind, &e.entity_id, &e.clock_domain}) {
      out.append(*text);
      out.push_back('\t');
    }
    for (std::uint64_t number : {e.wall_time_ns, e.model_time, e.sequence}) {
      append_decimal(out, number);
      out.push_back('\t');
    }
    out.append(e.message);
    out.push_back('\n');
  }
  return out;
}

}  // namespace quorix
