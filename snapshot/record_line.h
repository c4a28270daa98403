// Internal to the snapshot, not installed: the one list of the fields of a
// record line, which the writer writes and the reader reads.
#ifndef QUORIX_SNAPSHOT_RECORD_LINE_H_
#define QUORIX_SNAPSHOT_RECORD_LINE_H_

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include <quorix/timeline/timeline_event.h>

namespace quorix::snapshot {

// The fields in the order they stand in a record line, a tab after each but
// the last and a line feed after that. Strings are written as they are and
// numbers in decimal; the last field, the message, may hold tabs.
constexpr std::tuple kRecordFields{
    &EventView::id,         &EventView::parent,       &EventView::kind,
    &EventView::entity_id,  &EventView::clock_domain, &EventView::wall_time_ns,
    &EventView::model_time, &EventView::sequence,     &EventView::message,
};
constexpr std::size_t kRecordFieldCount = std::tuple_size_v<decltype(kRecordFields)>;

// Calls `f(index, field)` for each field, in line order.
template <typename F>
void for_each_record_field(F f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::integral_constant<std::size_t, I>{}, std::get<I>(kRecordFields)), ...);
  }
  (std::make_index_sequence<kRecordFieldCount>{});
}

}  // namespace quorix::snapshot

#endif  // QUORIX_SNAPSHOT_RECORD_LINE_H_
