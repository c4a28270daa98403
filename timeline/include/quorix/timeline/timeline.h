// A bounded, append-only store of causal events.
//
// A Timeline numbers the events appended to it (1, 2, 3, ...), refuses an
// event whose id is empty or was used before and one whose parent link would
// close a cycle of causes, keeps only the newest `capacity` events, and
// remembers every id it has accepted and every id it has evicted (with its
// sequence number), so that a trace can tell an event that fell out of
// retention from one that never existed.
//
//   quorix::Timeline timeline(4);
//   quorix::TimelineEvent input;
//   input.id = "input";
//   timeline.append(std::move(input));  // gets sequence 1
//   quorix::CausalTrace trace = timeline.build_causal_trace("input");
//
// How it is kept: every id it has seen is stored once in an id table (a
// hash table over an arena of entries), beside what the timeline knows of
// it: whether it is retained (and where its oldest record is) or evicted
// (and with which number), its link for the cycle check, and its child
// links (its first child and its next sibling), which effects follow.
// Each retained event is one encoded record in chunks of memory, oldest
// first: its numbers, the handles of its id and parent in the table, and
// its other four strings' bytes behind their lengths. On the heap that is
// about 40 bytes more than those strings, plus the id's entry (33 bytes
// more than the id, and about 16 of hash table), which stays when the
// record goes. Chunks from a RecordMemory (a record file, that keeps them
// when the process dies) hold self-contained records instead, the id's and
// parent's bytes included, each with a check.
//
// The links of a timeline, every retained record's parent and the parent
// recorded for every id no longer retained, never form a cycle: append
// refuses an event that would close one, and the snapshot reader a text
// that holds one. So every trace ends, and every timeline writes a snapshot
// that reads back to the same records.
//
// Ids are byte strings compared by length and bytes; a zero byte is data.
// Const operations may run on one timeline from several threads at once, as
// long as no thread changes it meanwhile; changes need exclusive access.
#ifndef QUORIX_TIMELINE_TIMELINE_H_
#define QUORIX_TIMELINE_TIMELINE_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/internal/id_table.h>
#include <quorix/timeline/internal/record_ring.h>
#include <quorix/timeline/record_memory.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

// The retained events of a timeline, oldest first, as views of their
// records: a forward range, valid until the timeline next changes. One
// exception: an iterator may still be dereferenced and incremented after
// appends, as long as the records it reaches are still retained; compared
// with end() it then tells only the end of the window it was made from.
class EventWindow {
 public:
  // The names the standard library expects of a range and its iterator.
  // NOLINTBEGIN(readability-identifier-naming)
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = EventView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = EventView;

    const_iterator() = default;
    EventView operator*() const noexcept {
      return internal::decode_record(window_->ring_.at(pos_), window_->ids_);
    }
    const_iterator& operator++() noexcept {
      if (--left_ != 0) pos_ = window_->ring_.next(pos_);
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.left_ == b.left_;
    }

   private:
    friend class EventWindow;
    const_iterator(const EventWindow* window, internal::RecordPos pos, std::size_t left)
        : window_(window), pos_(pos), left_(left) {}
    const EventWindow* window_ = nullptr;
    internal::RecordPos pos_ = 0;
    std::size_t left_ = 0;  // records from here to the end
  };
  using iterator = const_iterator;
  using value_type = EventView;
  using size_type = std::size_t;
  // NOLINTEND(readability-identifier-naming)

  std::size_t size() const noexcept { return ring_.size(); }
  bool empty() const noexcept { return ring_.size() == 0; }
  // The oldest and the newest retained event; the window must not be empty.
  EventView front() const noexcept {
    return internal::decode_record(ring_.at(ring_.front()), ids_);
  }
  EventView back() const noexcept { return internal::decode_record(ring_.at(ring_.back()), ids_); }
  const_iterator begin() const noexcept { return {this, ring_.front(), ring_.size()}; }
  const_iterator end() const noexcept { return {this, 0, 0}; }
  // The same events, field for field, in the same order.
  friend bool operator==(const EventWindow& a, const EventWindow& b);

 private:
  friend class Timeline;
  EventWindow() = default;
  explicit EventWindow(RecordMemory* memory) noexcept : ring_(memory) {}
  EventWindow(const EventWindow&) = default;
  EventWindow& operator=(const EventWindow&) = default;
  EventWindow(EventWindow&&) noexcept = default;
  EventWindow& operator=(EventWindow&&) noexcept = default;
  ~EventWindow() = default;
  internal::RecordRing ring_;
  internal::IdTable ids_;  // every id accepted, restored or named as a parent
};

struct RecoveredTimeline;

class Timeline {
 public:
  // An empty timeline holding at most `capacity` events, its records on the
  // heap; next sequence 1. Refuses 0: std::invalid_argument("timeline
  // capacity must be positive"). Allocates nothing until the first event.
  explicit Timeline(std::uint64_t capacity);

  // The same, its records in chunks from `memory`, which must outlive the
  // timeline; after each accepted append, `memory` learns its sequence
  // number once the record is complete.
  Timeline(std::uint64_t capacity, RecordMemory& memory);

  // A timeline is a value: a copy holds copies of every record, on the heap,
  // and answers everything as the original does (cost: linear in its size;
  // a failed copy changes nothing); a move takes everything over without
  // copying, its memory included, and leaves `other` as a new timeline of
  // its capacity on the heap.
  Timeline(const Timeline& other);
  Timeline& operator=(const Timeline& other);
  Timeline(Timeline&& other) noexcept;
  Timeline& operator=(Timeline&& other) noexcept;
  ~Timeline();

  // Checks `event`, gives it the next sequence number (whatever the caller
  // put there is overwritten), stores it and evicts the oldest events beyond
  // capacity, recording each evicted id with its sequence number.
  // Refuses, with std::invalid_argument and before changing anything:
  //   - an empty id, or an id accepted or restored before (even if since
  //     evicted): "timeline event id must be unique";
  //   - a parent equal to the id, or a parent whose links lead back to the
  //     id (through any retained record of an id restored more than once):
  //     "causal provenance cycle";
  //   - any event once the next sequence number is 2^64 - 1, which no
  //     number could follow, or above the last its RecordMemory can
  //     publish: "timeline sequence out of range";
  // and an event too large for a record (strings of about 2 GiB in all):
  // std::length_error("timeline event too large to store"). A refused event
  // consumes no sequence number. An allocation failure (or the refusal of a
  // RecordMemory) leaves the timeline as it was and propagates.
  // Cost: amortized O(1) hash lookups, whatever order parents and children
  // arrive in, plus copying the event's bytes once; after restores, the
  // first append checks the restored links once. While ids restored more
  // than once stay retained, an append may also search among their records.
  void append(TimelineEvent event);

  // The chain of retained events that caused `id`, root-most first: the
  // oldest retained record with the current id, then its parent, until an
  // empty parent (complete) or an id that is not retained (retention_gap,
  // or not_found when that is `id` itself and it was never evicted). The
  // empty id gives an empty, complete trace. Never changes the timeline;
  // `id` need only stay valid during the call; the trace owns copies.
  // Never refuses on a timeline built by append and the readers. Records
  // restored by hand whose links form a ring, not yet refused by
  // verify_acyclic, make it throw std::invalid_argument("causal provenance
  // cycle") instead of running forever.
  // Cost: one hash lookup per event on the chain, plus copying the events.
  CausalTrace build_causal_trace(std::string_view id) const;

  // The retained events whose chain of parents leads to `id`, however many
  // of the ids between are no longer retained, with `id`'s oldest retained
  // record first at depth 0 (see CausalEffects for the order and the
  // status). An id's chain is the one its trace follows: the parent of its
  // oldest retained record, or, for an id no longer retained, of its last
  // record; a later record of an id restored more than once is listed below
  // its own parent. The empty id gives an empty result, not_found. Never
  // changes the timeline; `id` need only stay valid during the call; the
  // result owns copies. Records restored by hand whose places form a ring
  // through `id`, not yet refused by verify_acyclic, make it throw
  // std::invalid_argument("causal provenance cycle") instead of running
  // forever; a later record of a repeated id that closes one is listed
  // like any other.
  // Cost: linear in the ids that descend from `id`, evicted ones included,
  // plus sorting and copying the events found, and after restores of an id
  // more than once a lookup of O(log r) per id for r such records; never a
  // scan of the window.
  CausalEffects build_causal_effects(std::string_view id) const;

  // The most events kept; fixed at construction, never 0.
  std::uint64_t capacity() const noexcept { return capacity_; }

  // The sequence number the next accepted event receives.
  std::uint64_t next_sequence() const noexcept { return next_sequence_; }

  // The retained events, oldest first. Valid until the next change.
  const EventWindow& retained_events() const noexcept { return retained_; }

  // Whether `id` was accepted or restored; such an id is never forgotten.
  bool knows(std::string_view id) const noexcept;

  // The oldest retained record of `id` (the one its trace starts from), or
  // nullopt when none is retained. Valid until the timeline next changes.
  // Cost: one hash lookup.
  std::optional<EventView> oldest_retained(std::string_view id) const noexcept;

  // The sequence number of the last evicted record of `id`, or nullopt if
  // none was evicted. Entries are never removed.
  std::optional<std::uint64_t> evicted_sequence(std::string_view id) const;

  // How many ids were accepted or restored, and how many were evicted.
  std::uint64_t known_ids() const noexcept { return known_; }
  std::uint64_t evicted_ids() const noexcept { return evicted_; }

  // For rebuilding a stored timeline, before anything is evicted: places
  // `record` at the back of the retained events exactly as given, sequence
  // included, and records its parent (the later record's parent wins for an
  // id restored twice). Checks nothing, numbers nothing, evicts nothing: the
  // next append evicts down to capacity, after checking the restored links
  // as verify_acyclic does. On a timeline that has evicted a record it
  // throws std::logic_error("timeline restore after eviction"), since the
  // links of evicted ids are not kept in a form it could recheck.
  // A failed allocation changes nothing. Cost: amortized O(1).
  void restore_event(const EventView& record);

  // restore_event for each of `records` in order, with the id lookups of
  // the next records started early. On a failure the records before the
  // failing one stay restored.
  void restore_events(std::span<const EventView> records);

  // For rebuilding a stored timeline: room for `records` more ids in the id
  // table's index.
  void reserve(std::size_t records);

  // For rebuilding a stored timeline: the next accepted event gets `n`.
  void restore_next_sequence(std::uint64_t n) noexcept { *next_sequence_ = n; }

  // Refuses restored records whose links form a cycle, with
  // std::invalid_argument("causal provenance cycle"), and otherwise makes
  // them ready for append. Cost: O(1) when no id was restored twice, else
  // O(n) for n ids and retained records, plus a search among the repeated
  // ids and O(r log r) to place their r records.
  void verify_acyclic();

  // A timeline holding the records found in `chunks` (the chunks of a
  // RecordMemory, in any order) whose newest published number is
  // `published` (nullopt: not known). The newest number that counts is
  // `published` if the records bear it out: none intact is numbered above
  // published + 1 (a record written and not yet published), and one is in
  // the window of the newest `capacity` numbers up to it, or there are none
  // at all. Otherwise (a damaged number, or a header older than the records)
  // it is the newest intact record's, so that a number that the records
  // contradict costs none of them. The timeline holds the longest run of intact
  // self-contained records, consecutive in sequence and in place, that ends
  // at the newest one numbered that or below and lies within that window. A
  // damaged, torn or cut record ends the run; `dropped` counts the window's
  // numbers that it lacks. The timeline knows only those records (nothing
  // was evicted), its next sequence follows its newest record (or the
  // number that counts, when it holds none), so that the numbers of its
  // window stay consecutive, and it keeps its records on the heap.
  // Nothing in the chunks is trusted: every length is checked against its
  // chunk and every record against its check. Refuses capacity 0 as the
  // constructor does, a next number past 2^64 - 1 with
  // std::invalid_argument("timeline sequence out of range"), and records whose
  // parents form a cycle with std::invalid_argument("causal provenance
  // cycle"). Cost: linear in the chunks' bytes, plus sorting the records.
  static RecoveredTimeline recover(std::uint64_t capacity, std::optional<std::uint64_t> published,
                                   std::span<const std::span<const std::byte>> chunks);

  // The same, the records left where they are: the timeline takes the
  // chunks it uses from `memory`, which owns all of `chunks`, must outlive
  // it and gets every other chunk back through release; appends go on
  // after the newest record. The records' handles are rewritten in place
  // (they mean something only to the timeline that holds the records, and
  // no reader of the chunks takes them); the chunks' other bytes change only
  // once nothing is refused, so that no record outside the window can join
  // a later recovery's run (one numbered above its newest, whose number
  // appends give out again, or one evicted before it): intact records
  // outside the window are made to fail their check, and the size words at
  // the start of every chunk given back and after the newest record are
  // cleared.
  static RecoveredTimeline recover_in_place(std::uint64_t capacity,
                                            std::optional<std::uint64_t> published,
                                            std::span<const std::span<std::byte>> chunks,
                                            RecordMemory& memory);

 private:
  friend class SharedTimeline;  // appends batches, handing refused events back
  // append, reading `event` only, so a refused event stays the caller's.
  void append_event(const TimelineEvent& event);

  struct Machinery;  // the operations' helpers, in timeline.cpp
  struct Restores;   // ids restored more than once, while they stay retained
  // The record kDepth after the oldest, whose id's entry is fetched early,
  // before its eviction writes to it.
  struct Ahead {
    static constexpr std::size_t kDepth = 8;
    internal::Resetting<bool> valid;
    internal::RecordPos pos = 0;
  };

  std::uint64_t capacity_;
  internal::Resetting<std::uint64_t, 1> next_sequence_;
  EventWindow retained_;
  internal::Resetting<std::uint64_t> known_;
  internal::Resetting<std::uint64_t> evicted_;
  internal::Resetting<bool> unverified_;  // restored since the last check
  internal::Resetting<bool> cyclic_;      // a restored link closed a ring of the forest
  internal::Boxed<Restores> restores_;    // none, but after restoring an id twice
  Ahead ahead_;
};

// What Timeline::recover found.
struct RecoveredTimeline {
  Timeline timeline;
  std::uint64_t dropped = 0;  // numbers of the window it lacks (see recover)
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_H_
