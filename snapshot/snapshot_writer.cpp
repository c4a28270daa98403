#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <quorix/snapshot/snapshot.h>
#include "snapshot/record_line.h"
#include "timeline/text_form.h"

namespace quorix {
namespace {

using snapshot::for_each_record_field;
using snapshot::kRecordFieldCount;

constexpr std::string_view kHeaderStart = "quorix-timeline 1 ";
constexpr const char kUnrepresentable[] = "timeline field not representable in snapshot";

std::size_t field_size(std::string_view text) { return text.size(); }
std::size_t field_size(std::uint64_t number) { return decimal_size(number); }

// The bytes of the event's record line.
std::size_t record_size(const EventView& e) {
  std::size_t size = kRecordFieldCount;  // the tabs and the line feed
  for_each_record_field([&](auto, auto field) { size += field_size(e.*field); });
  return size;
}

// Writes the record line of `e`, refusing a value it cannot carry as it
// copies it: a line feed anywhere, a tab in a field before the message.
void put_record(TextBuffer& text, const EventView& e) {
  bool unrepresentable = false;
  text.put_sized(record_size(e), [&](Cursor& out) {
    for_each_record_field([&](auto index, auto field) {
      constexpr bool kLast = index + 1 == kRecordFieldCount;
      const auto& value = e.*field;
      if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string_view>) {
        out.put_finding(value, '\n', kLast ? '\n' : '\t', unrepresentable);
      } else {
        out.put_decimal(value);
      }
      out.put(kLast ? '\n' : '\t');
    });
  });
  if (unrepresentable) throw std::invalid_argument(kUnrepresentable);
}

}  // namespace

std::string write_timeline_snapshot(const Timeline& timeline) {
  const EventWindow& retained = timeline.retained_events();
  // Sized by the first records, and grown only if the rest are longer, so
  // that the records are gone through once.
  const std::size_t count = retained.size();
  const std::size_t sampled = std::min<std::size_t>(count, 64);
  std::size_t records_size = 0;
  auto record = retained.begin();
  for (std::size_t i = 0; i < sampled; ++i, ++record) records_size += record_size(*record);
  if (sampled < count) {
    records_size = (records_size + sampled - 1) / sampled * count;
    records_size += records_size / 32;
  }
  TextBuffer out(kHeaderStart.size() + 3 * (kMaxDecimalDigits + 1) + records_size);
  out.put(kHeaderStart);
  out.put_decimal(timeline.capacity());
  out.put(' ');
  out.put_decimal(timeline.next_sequence());
  out.put(' ');
  out.put_decimal(retained.size());
  out.put('\n');
  for (const EventView e : retained) put_record(out, e);
  return std::move(out).take();
}

std::string write_timeline_snapshot(const SharedTimeline& shared) {
  return write_timeline_snapshot(shared.copy_window());
}

}  // namespace quorix
