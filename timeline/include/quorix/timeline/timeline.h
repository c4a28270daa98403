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

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/internal/id_table.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

// The retained events of a timeline, oldest first: a read-only view with
// random access, valid until the timeline next changes.
class EventWindow {
 public:
  // The names the standard library expects of a container and its iterator.
  // NOLINTBEGIN(readability-identifier-naming)
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = TimelineEvent;
    using difference_type = std::ptrdiff_t;
    using pointer = const TimelineEvent*;
    using reference = const TimelineEvent&;

    const_iterator() = default;
    reference operator*() const noexcept { return (*window_)[index_]; }
    pointer operator->() const noexcept { return &(*window_)[index_]; }
    reference operator[](difference_type n) const noexcept { return *(*this + n); }
    const_iterator& operator++() noexcept { return *this += 1; }
    const_iterator operator++(int) noexcept { return std::exchange(*this, *this + 1); }
    const_iterator& operator--() noexcept { return *this -= 1; }
    const_iterator operator--(int) noexcept { return std::exchange(*this, *this - 1); }
    const_iterator& operator+=(difference_type n) noexcept {
      index_ = static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
      return *this;
    }
    const_iterator& operator-=(difference_type n) noexcept { return *this += -n; }
    friend const_iterator operator+(const_iterator it, difference_type n) noexcept {
      return it += n;
    }
    friend const_iterator operator+(difference_type n, const_iterator it) noexcept {
      return it += n;
    }
    friend const_iterator operator-(const_iterator it, difference_type n) noexcept {
      return it -= n;
    }
    friend difference_type operator-(const_iterator a, const_iterator b) noexcept {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const_iterator a, const_iterator b) noexcept {
      return a.index_ == b.index_;
    }
    friend auto operator<=>(const_iterator a, const_iterator b) noexcept {
      return a.index_ <=> b.index_;
    }

   private:
    friend class EventWindow;
    const_iterator(const EventWindow* window, std::size_t index) : window_(window), index_(index) {}
    const EventWindow* window_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = const_iterator;
  using value_type = TimelineEvent;
  using size_type = std::size_t;
  // NOLINTEND(readability-identifier-naming)

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // The i-th oldest retained event; i < size().
  const TimelineEvent& operator[](std::size_t i) const noexcept { return slot(i).event; }
  const TimelineEvent& front() const noexcept { return (*this)[0]; }
  const TimelineEvent& back() const noexcept { return (*this)[size_ - 1]; }
  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, size_}; }
  // The same events, field for field, in the same order.
  friend bool operator==(const EventWindow& a, const EventWindow& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  friend class Timeline;
  // A record with the handles of its id and its parent (kNoId for none).
  struct Slot {
    TimelineEvent event;
    internal::IdRef id = internal::kNoId;
    internal::IdRef parent = internal::kNoId;
  };

  EventWindow() = default;
  EventWindow(const EventWindow&) = default;
  EventWindow& operator=(const EventWindow&) = default;
  EventWindow(EventWindow&& other) noexcept;
  EventWindow& operator=(EventWindow&& other) noexcept;
  ~EventWindow() = default;

  const Slot& slot(std::size_t i) const noexcept {
    const std::size_t at = head_ + i;
    return slots_[at < slots_.size() ? at : at - slots_.size()];
  }
  Slot& slot(std::size_t i) noexcept {
    return const_cast<Slot&>(static_cast<const EventWindow&>(*this).slot(i));
  }
  // Each record placed gets the next ordinal, 0 for the first; the oldest
  // retained one has `first_ordinal_`.
  const Slot& at_ordinal(std::uint64_t ordinal) const noexcept {
    return slot(static_cast<std::size_t>(ordinal - first_ordinal_));
  }
  std::uint64_t next_ordinal() const noexcept { return first_ordinal_ + size_; }
  // Makes room for one more record, growing up to `limit` slots at a time
  // if it must. A failed allocation changes nothing.
  void make_room(std::uint64_t limit);
  void reserve(std::size_t records);
  std::size_t room() const noexcept;       // records that fit without allocating
  void push_back(Slot&& record) noexcept;  // after make_room
  void pop_front() noexcept;
  // pop_front then push_back, reusing the slot when the ring is full.
  void replace_oldest(Slot&& record) noexcept;

  std::vector<Slot> slots_;  // a ring: the oldest record at head_
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint64_t first_ordinal_ = 0;
};

class Timeline {
 public:
  // An empty timeline holding at most `capacity` events; next sequence 1.
  // Refuses 0: std::invalid_argument("timeline capacity must be positive").
  // Allocates nothing until the first event.
  explicit Timeline(std::uint64_t capacity);

  // A timeline is a value: a copy holds copies of every record and answers
  // everything as the original does (cost: linear in its size, a failed
  // copy changes nothing); a move takes everything over without copying and
  // leaves `other` empty, with its capacity and next sequence 1.
  Timeline(const Timeline& other) = default;
  Timeline& operator=(const Timeline& other);
  Timeline(Timeline&& other) noexcept;
  Timeline& operator=(Timeline&& other) noexcept;
  ~Timeline() = default;

  // Checks `event`, gives it the next sequence number (whatever the caller
  // put there is overwritten), stores it and evicts the oldest events beyond
  // capacity, recording each evicted id with its sequence number.
  // Refuses, with std::invalid_argument and before changing anything:
  //   - an empty id, or an id accepted or restored before (even if since
  //     evicted): "timeline event id must be unique";
  //   - a parent equal to the id, or a parent whose links lead back to the
  //     id (through any retained record of an id restored more than once):
  //     "causal provenance cycle".
  // A refused event consumes no sequence number. An allocation failure
  // leaves the timeline as it was and propagates as std::bad_alloc.
  // Cost: amortized O(log n) in the worst case and a few steps in practice,
  // whatever order parents and children arrive in, n the ids ever seen;
  // after restores, the first append checks the restored links once, O(n).
  // While ids restored more than once stay retained, an append of an id
  // that a chain from one of their records ends at, under a parent whose
  // chain runs into one, also searches among them: O(their records).
  void append(TimelineEvent event);

  // The chain of retained events that caused `id`, root-most first: the
  // oldest retained record with the current id, then its parent, until an
  // empty parent (complete) or an id that is not retained (retention_gap,
  // or not_found when that is `id` itself and it was never evicted). The
  // empty id gives an empty, complete trace. Never changes the timeline;
  // `id` need only stay valid during the call.
  // Never refuses on a timeline built by append and the snapshot reader.
  // Records restored by hand whose links form a ring, not yet refused by
  // verify_acyclic, make it throw std::invalid_argument("causal provenance
  // cycle") instead of running forever.
  // Cost: one hash lookup, then O(1) per event on the chain, plus copying
  // the events found.
  CausalTrace build_causal_trace(std::string_view id) const;

  // The most events kept; fixed at construction, never 0.
  std::uint64_t capacity() const noexcept { return capacity_; }

  // The sequence number the next accepted event receives.
  std::uint64_t next_sequence() const noexcept { return next_sequence_; }

  // The retained events, oldest first. Valid until the next change.
  const EventWindow& retained_events() const noexcept { return retained_; }

  // Whether `id` was accepted or restored; such an id is never forgotten.
  bool knows(std::string_view id) const noexcept;

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
  void restore_event(TimelineEvent record);

  // For rebuilding a stored timeline: restore_event for each of `records`
  // in order, moving them in, with the id lookups of the next records
  // started early. On a failure the records before the failing one stay
  // restored. Cost: as many restore_event calls, with less waiting.
  void restore_events(std::span<TimelineEvent> records);

  // For rebuilding a stored timeline: room for `records` more restored
  // records in the window and for as many ids in the id table's index (the
  // ids' bytes are still stored as they come).
  void reserve(std::size_t records);

  // For rebuilding a stored timeline: the next accepted event gets `n`.
  void restore_next_sequence(std::uint64_t n) noexcept { next_sequence_ = n; }

  // Refuses restored records whose links form a cycle, with
  // std::invalid_argument("causal provenance cycle"), and otherwise makes
  // them ready for append. Cost: O(1) when nothing was restored since the
  // last check, else O(n) for n retained records (plus a search among the
  // ids restored more than once).
  void verify_acyclic();

 private:
  using IdRef = internal::IdRef;

  // What is known of an id, beyond its bytes: the flags in the top byte of
  // its `link` word (below them the link itself, see append), and in its
  // `where` word the ordinal of its oldest retained record (kRetained) or
  // the sequence number of its last evicted one (kEvicted).
  enum Flag : std::uint64_t {
    kKnown = std::uint64_t{1} << 56,     // accepted or restored
    kRetained = std::uint64_t{1} << 57,  // a record of it is retained
    kEvicted = std::uint64_t{1} << 58,   // none is retained, and one was evicted
    kJunction = std::uint64_t{1} << 59,  // two or more records of it are retained
    kRepeated = std::uint64_t{1} << 60,  // restored more than once: see `repeats_`
    // Some junction's record may have a chain that ends at this id: only
    // such an id can be reached through a junction, so only for such an id
    // does append search behind one.
    kBehindJunction = std::uint64_t{1} << 61,
  };
  // An id restored more than once: its records after the oldest retained
  // one, and the sequence of the last of its records evicted.
  struct Repeats {
    std::vector<std::uint64_t> later;  // ordinals, oldest first, from `next`
    std::size_t next = 0;
    std::optional<std::uint64_t> evicted_sequence;
    std::uint64_t searched = 0;  // the last search that passed this junction
  };

  bool has(IdRef ref, std::uint64_t flag) const noexcept { return (ids_.link(ref) & flag) != 0; }
  void set_flags(IdRef ref, std::uint64_t set, std::uint64_t clear = 0) noexcept {
    ids_.set_link(ref, (ids_.link(ref) & ~clear) | set);
  }
  IdRef parent_link(IdRef ref) const noexcept {
    return ids_.link(ref) & internal::IdTable::kLinkMask;
  }
  void set_parent_link(IdRef ref, IdRef to) noexcept {
    ids_.set_link(ref, (ids_.link(ref) & ~internal::IdTable::kLinkMask) | to);
  }
  IdRef find_end(IdRef ref) noexcept;
  void mark_behind_junction(IdRef end) noexcept;
  bool reaches(IdRef from_end, IdRef target);
  void link_up(IdRef ref, IdRef parent) noexcept;
  // restore_event, with the hashes of the record's id and parent.
  void restore_hashed(TimelineEvent&& record, std::uint64_t id_hash, std::uint64_t parent_hash);
  // Records the eviction of the oldest retained record, which stays in place.
  void forget_oldest() noexcept;
  void pop_oldest() noexcept;

  std::uint64_t capacity_;
  std::uint64_t next_sequence_ = 1;
  EventWindow retained_;
  internal::IdTable ids_;  // every id accepted, restored or named as a parent
  std::uint64_t known_ = 0;
  std::uint64_t evicted_ = 0;
  std::unordered_map<IdRef, Repeats> repeats_;  // usually empty
  bool unverified_ = false;                     // restored since the last check
  bool linked_ = false;                         // some id's link leads to another
  std::uint64_t search_ = 0;                    // searches behind junctions so far
  std::vector<IdRef> pending_;                  // a search's junctions still to visit
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_H_
