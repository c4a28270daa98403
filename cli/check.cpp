#include "check.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace quorix::cli {

SnapshotStats snapshot_stats(const Timeline& timeline) {
  SnapshotStats stats;
  stats.capacity = timeline.capacity();
  stats.next_sequence = timeline.next_sequence();
  stats.records = timeline.retained_events().size();

  std::vector<std::string_view> ids;
  ids.reserve(timeline.retained_events().size());
  for (const EventView event : timeline.retained_events()) {
    ids.emplace_back(event.id);
    if (event.parent.empty()) ++stats.roots;
  }
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size();) {
    std::size_t end = i + 1;
    while (end < ids.size() && ids[end] == ids[i]) ++end;
    ++stats.distinct_ids;
    if (end - i > 1) ++stats.duplicate_ids;
    i = end;
  }

  for (const EventView event : timeline.retained_events()) {
    if (!event.parent.empty() &&
        !std::binary_search(ids.begin(), ids.end(), std::string_view(event.parent))) {
      ++stats.orphans;
    }
  }
  return stats;
}

std::string format_stats(const SnapshotStats& stats) {
  std::string text = stats.dropped ? "format: record 1\n" : "format: 1\n";
  const auto line = [&text](std::string_view key, std::uint64_t value) {
    text.append(key).append(": ").append(std::to_string(value)).push_back('\n');
  };
  line("capacity", stats.capacity);
  line("next_sequence", stats.next_sequence);
  line("records", stats.records);
  line("distinct_ids", stats.distinct_ids);
  line("duplicate_ids", stats.duplicate_ids);
  line("roots", stats.roots);
  line("orphans", stats.orphans);
  text.append("over_capacity: ")
      .append(stats.records > stats.capacity ? "yes" : "no")
      .push_back('\n');
  if (stats.dropped) line("dropped", *stats.dropped);
  return text;
}

}  // namespace quorix::cli
