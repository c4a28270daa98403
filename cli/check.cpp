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

namespace {

void append_line(std::string& text, std::string_view key, std::uint64_t value) {
  text.append(key).append(": ").append(std::to_string(value)).push_back('\n');
}

}  // namespace

std::string format_stats(const SnapshotStats& stats) {
  std::string text = stats.dropped ? "format: record 1\n" : "format: 1\n";
  append_line(text, "capacity", stats.capacity);
  append_line(text, "next_sequence", stats.next_sequence);
  append_line(text, "records", stats.records);
  append_line(text, "distinct_ids", stats.distinct_ids);
  append_line(text, "duplicate_ids", stats.duplicate_ids);
  append_line(text, "roots", stats.roots);
  append_line(text, "orphans", stats.orphans);
  text.append("over_capacity: ")
      .append(stats.records > stats.capacity ? "yes" : "no")
      .push_back('\n');
  if (stats.dropped) append_line(text, "dropped", *stats.dropped);
  return text;
}

SetStats set_stats(const TimelineSet& set) {
  SetStats stats;
  stats.files = set.size();
  for (std::size_t i = 0; i < set.size(); ++i) {
    for (const EventView event : set[i].retained_events()) {
      ++stats.records;
      if (!event.parent.empty() && !set.holder(event.parent)) ++stats.orphans;
    }
  }
  return stats;
}

std::string format_set_stats(const SetStats& stats) {
  std::string text;
  append_line(text, "files", stats.files);
  append_line(text, "records", stats.records);
  append_line(text, "orphans", stats.orphans);
  return text;
}

}  // namespace quorix::cli
