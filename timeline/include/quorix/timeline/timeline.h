// A bounded, append-only store of causal events.
//
// A Timeline numbers the events appended to it (1, 2, 3, ...), refuses an
// event whose id is empty or was used before and one whose parent link would
// close a cycle of causes, keeps only the newest `capacity` events, and
// remembers every id it has accepted (with its parent) and every id it has
// evicted (with its sequence number), so that a trace can tell an event that
// fell out of retention from one that never existed.
//
//   quorix::Timeline timeline(4);
//   quorix::TimelineEvent input;
//   input.id = "input";
//   timeline.append(std::move(input));  // gets sequence 1
//   quorix::CausalTrace trace = timeline.build_causal_trace("input");
//
// Ids are byte strings compared by length and bytes; a zero byte is data.
// A Timeline is used by one thread at a time.
#ifndef QUORIX_TIMELINE_TIMELINE_H_
#define QUORIX_TIMELINE_TIMELINE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

class Timeline {
 public:
  // An empty timeline holding at most `capacity` events; next sequence 1.
  // Refuses 0: std::invalid_argument("timeline capacity must be positive").
  explicit Timeline(std::uint64_t capacity);

  // A timeline is a value: a copy holds copies of every record and answers
  // everything as the original does (cost: linear in its size); a move
  // takes the records over without copying them and leaves `other` empty,
  // with its capacity. A copy or move that fails to allocate changes
  // neither side.
  Timeline(const Timeline& other);
  Timeline& operator=(const Timeline& other);
  // Not noexcept: the emptied source gets fresh containers, which allocate.
  // NOLINTNEXTLINE(performance-noexcept-move-constructor,bugprone-exception-escape)
  Timeline(Timeline&& other);
  // NOLINTNEXTLINE(performance-noexcept-move-constructor,bugprone-exception-escape)
  Timeline& operator=(Timeline&& other);
  ~Timeline() = default;

  // Checks `event`, gives it the next sequence number (whatever the caller
  // put there is overwritten), stores it and evicts the oldest events beyond
  // capacity, recording each evicted id with its sequence number.
  // Refuses, with std::invalid_argument and before changing anything:
  //   - an empty id, or an id accepted or restored before (even if since
  //     evicted): "timeline event id must be unique";
  //   - a parent equal to the id, or a parent whose known chain of parents
  //     leads back to the id, or runs round a ring of restored records:
  //     "causal provenance cycle".
  // A refused event consumes no sequence number. An allocation failure
  // leaves the timeline as it was and propagates as std::bad_alloc.
  // Cost: O(log n), n the ids ever accepted; the chain of ancestors is
  // walked only for an id that some known event named as its parent before
  // it arrived, and after restores that verify_acyclic has not checked.
  void append(TimelineEvent event);

  // The chain of retained events that caused `id`, root-most first: the
  // first retained record with the current id, oldest first, then its parent,
  // until an empty parent (complete) or an id that is not retained
  // (retention_gap, or not_found when that is `id` itself and it was never
  // evicted). The empty id gives an empty, complete trace. Never changes the
  // timeline; `id` need only stay valid during the call.
  // Refuses a chain that finds more records than are retained, which only a
  // ring of restored records can cause: std::invalid_argument("causal
  // provenance cycle").
  // Cost: O(log n) per event on the chain, plus copying the events found.
  CausalTrace build_causal_trace(std::string_view id) const;

  // The most events kept; fixed at construction, never 0.
  std::uint64_t capacity() const noexcept { return capacity_; }

  // The sequence number the next accepted event receives.
  std::uint64_t next_sequence() const noexcept { return next_sequence_; }

  // The retained events, oldest first. Valid until the next change.
  const std::deque<TimelineEvent>& retained_events() const noexcept { return retained_; }

  // The parent recorded for an id that was accepted or restored (the empty
  // view for a root), or nullopt for an id this timeline does not know.
  // Entries are never removed. The view is valid until the next change.
  std::optional<std::string_view> provenance_parent(std::string_view id) const;

  // The sequence number an evicted id carried, or nullopt if it was never
  // evicted. Entries are never removed.
  std::optional<std::uint64_t> evicted_sequence(std::string_view id) const;

  // How many ids are known (accepted or restored) and how many were evicted.
  std::size_t provenance_size() const noexcept { return provenance_.size(); }
  std::size_t evicted_size() const noexcept { return evicted_count_; }

  // For rebuilding a stored timeline: places `record` at the back of the
  // retained events exactly as given, sequence included, and records its
  // parent (overwriting the parent of an earlier record with the same id).
  // Checks nothing, numbers nothing, evicts nothing: the next append evicts
  // down to capacity.
  void restore_event(TimelineEvent record);

  // For rebuilding a stored timeline: the next accepted event gets `n`.
  void restore_next_sequence(std::uint64_t n) noexcept { next_sequence_ = n; }

  // For checking a rebuilt timeline: refuses retained records whose parent
  // links form a cycle, with std::invalid_argument("causal provenance
  // cycle"). Every record's link counts, so an id restored twice has two,
  // and so do the recorded parents of evicted ids. Remembers a success.
  // Cost: O(1) when no restore since the last check could have closed a
  // cycle (an id restored twice, or after it was named as a parent);
  // otherwise O(n log n) for n links, a search, never exponential.
  void verify_acyclic();

 private:
  // What the timeline knows of an id it has accepted or restored: the
  // parent recorded for it, where its oldest retained record is, and
  // whether (and with which sequence number) a record of it was evicted.
  struct Known {
    std::string parent;
    const TimelineEvent* oldest = nullptr;
    std::uint64_t evicted_sequence = 0;
    bool evicted = false;
  };
  // Byte-wise lexicographic order (on a common prefix the shorter id comes
  // first), eight bytes at a time. Transparent, so that a string_view looks
  // up a key without building a string.
  struct IdLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  using Provenance = std::map<std::string, Known, IdLess>;

  // Throws "causal provenance cycle" if `parent`'s known chain reaches `id`,
  // or runs round a ring of restored records.
  void check_no_cycle(std::string_view id, std::string_view parent) const;

  // Whether `id` is known; `place` is where a lookup should start, near
  // where the id would stand.
  bool is_known_near(Provenance::const_iterator place, std::string_view id) const;

  // Points the index entries at this timeline's own records.
  void rebuild_index();

  // Exchanges every member with `other`'s. Allocates nothing.
  void swap(Timeline& other) noexcept;

  // Evicts the oldest retained record: records its sequence number and
  // moves the index of its id to the next record with that id, if any.
  // Allocates nothing.
  void pop_oldest() noexcept;

  std::uint64_t capacity_;
  std::uint64_t next_sequence_ = 1;
  // Records do not move while others are added at the back or removed at
  // the front, so Known::oldest and the views below stay valid; nor do the
  // entries of a node-based map, so neither do the pointers to them.
  std::deque<TimelineEvent> retained_;
  std::deque<Known*> retained_known_;  // the entry of each retained record's id
  Provenance provenance_;              // every accepted or restored id
  std::size_t evicted_count_ = 0;      // entries with `evicted` set
  // Later retained records of ids restored more than once, oldest first;
  // keyed by views of their own ids. Usually empty.
  std::multimap<std::string_view, const TimelineEvent*> duplicates_;
  // Ids named as a parent while not known. Only such an id can close a
  // cycle when it arrives; usually empty. May hold ids no longer named.
  std::set<std::string, std::less<>> unknown_parents_;
  // Whether the parent links are known to form no cycle: of provenance
  // alone, and of provenance together with every retained record. Only
  // restore_event (and, for the second, an append of an id that was named
  // as a parent before) can break them; verify_acyclic restores both.
  bool provenance_acyclic_ = true;
  bool links_acyclic_ = true;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_H_
