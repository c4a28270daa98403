// What `quorix check` reports about a timeline read from a snapshot.
#ifndef QUORIX_CLI_CHECK_H_
#define QUORIX_CLI_CHECK_H_

#include <cstdint>
#include <string>

#include <quorix/timeline/timeline.h>

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
};

// The counts of `timeline`. Refuses nothing. Cost: O(n log n) for n records,
// and one view (16 bytes) per record while it runs.
SnapshotStats snapshot_stats(const Timeline& timeline);

// The report: one "key: value" line each for format (always 1, the only
// version the reader accepts), capacity, next_sequence, records,
// distinct_ids, duplicate_ids, roots, orphans and over_capacity ("yes" when
// the records exceed the capacity, else "no"), in this order.
std::string format_stats(const SnapshotStats& stats);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_CHECK_H_
