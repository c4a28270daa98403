// What `quorix check` reports about a timeline read from a snapshot or a
// record file, and about several such timelines read together.
#ifndef QUORIX_CLI_CHECK_H_
#define QUORIX_CLI_CHECK_H_

#include <cstdint>
#include <optional>
#include <string>

#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_set.h>

namespace quorix::cli {

// Counts over the retained records of a timeline.
struct SnapshotStats {
  std::uint64_t capacity = 0;
  std::uint64_t next_sequence = 0;
  std::uint64_t records = 0;
  std::uint64_t distinct_ids = 0;
  std::uint64_t duplicate_ids = 0;  // ids held by more than one record
  std::uint64_t roots = 0;          // records with an empty parent
  std::uint64_t orphans = 0;        // records whose non-empty parent is no retained id
  // Set for a timeline read from a record file: the records of its window
  // that were dropped as damaged (RecoveredTimeline::dropped).
  std::optional<std::uint64_t> dropped;
};

// The counts of `timeline`, `dropped` unset. Refuses nothing. Cost:
// O(n log n) for n records, and one view (16 bytes) per record while it runs.
SnapshotStats snapshot_stats(const Timeline& timeline);

// The report: one "key: value" line each for format ("1" for a snapshot,
// "record 1" for a record file: the only versions the readers accept),
// capacity, next_sequence, records, distinct_ids, duplicate_ids, roots,
// orphans and over_capacity ("yes" when the records exceed the capacity,
// else "no"), in this order, then dropped for a record file.
std::string format_stats(const SnapshotStats& stats);

// Counts over the retained records of all the timelines of a set.
struct SetStats {
  std::uint64_t files = 0;    // timelines of the set
  std::uint64_t records = 0;  // retained by any of them
  std::uint64_t orphans = 0;  // records whose non-empty parent no timeline of the set holds
};

// The counts of `set`. Refuses nothing. Cost: TimelineSet::holder for each
// record with a parent, so one hash lookup per record and timeline.
SetStats set_stats(const TimelineSet& set);

// The report: "files", "records" and "orphans" lines, "key: value" each,
// in this order.
std::string format_set_stats(const SetStats& stats);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_CHECK_H_
