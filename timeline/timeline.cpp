#include <quorix/timeline/timeline.h>

#include "refusals.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorix {
namespace {

constexpr const char kCapacityNotPositive[] = "timeline capacity must be positive";
constexpr const char kIdNotUnique[] = "timeline event id must be unique";
constexpr const char kRestoreAfterEviction[] = "timeline restore after eviction";
constexpr const char kSequenceOutOfRange[] = "timeline sequence out of range";

using internal::IdRef;
using internal::kNoId;
using internal::kProvenanceCycle;
using internal::RecordPos;

// What is known of an id, beyond its bytes: the flags in the top byte of
// its `link` word (below them the link itself, see append), and in its
// `where` word the place of its oldest retained record (kRetained) or the
// sequence number of its last evicted one (kEvicted).
enum Flag : std::uint64_t {
  kKnown = std::uint64_t{1} << 56,     // accepted or restored
  kRetained = std::uint64_t{1} << 57,  // a record of it is retained
  kEvicted = std::uint64_t{1} << 58,   // none is retained, and one was evicted
  // Set only while restores_ exists, and read only then: once the last
  // repeated id is evicted it goes for good (nothing is restored after an
  // eviction), and a flag still set is never read again.
  kJunction = std::uint64_t{1} << 59,  // two or more records of it are retained
  kRepeated = std::uint64_t{1} << 60,  // restored more than once: see Restores
  // Some junction's record may have a chain that ends at this id: only such
  // an id can be reached through a junction, so only for such an id does
  // append search behind one.
  kBehindJunction = std::uint64_t{1} << 61,
};

}  // namespace

// An id restored more than once, while a record of it stays retained: its
// records after the oldest retained one, and the sequence of the last of
// its records evicted.
struct Timeline::Restores {
  struct Repeats {
    std::vector<RecordPos> later;  // oldest first, from `next`
    std::size_t next = 0;
    std::optional<std::uint64_t> evicted_sequence;
    std::uint64_t searched = 0;  // the last search that passed this junction
  };
  std::unordered_map<IdRef, Repeats> repeats;
  // Effects find a repeated id's records below their parents here, so that
  // moving them as records are evicted takes no walk along a child list:
  // the records in `later` lists, by parent; and, once verified, the ids
  // themselves, by the parent of their oldest record (before that, an id
  // stands in the child list of its first record's parent).
  std::set<std::pair<IdRef, RecordPos>> hung;
  std::set<std::pair<IdRef, IdRef>> placed;
  std::uint64_t search = 0;    // searches behind junctions so far
  std::vector<IdRef> pending;  // a search's junctions still to visit
};

// How append decides a cycle in near-constant time. Follow the links from
// any id: the recorded parent of each id, or for a retained id its record's
// parent. Since the links form no cycle, every such chain ends: at an empty
// parent, at an id that is not known (named as a parent, not yet accepted),
// or it branches at a junction, an id with several retained records (only
// restores make those). The link words of the id table hold a disjoint-set
// forest that keeps one invariant:
//
//   every known id that is not a junction and has a parent lies in the same
//   tree as that parent; the root of each tree is where the chains of all
//   its members end: an unknown id, a junction, or a known id whose parent
//   is empty.
//
// An id X with parent P closes a cycle exactly when P's chain ends at X
// (X can only be unknown there, as known ids are refused), or passes
// through a junction one of whose records' chains does. Accepting X makes
// X's tree, whose members all ended at X, a subtree of P's root.
struct Timeline::Machinery {
  static internal::RecordRing& ring(Timeline& t) noexcept { return t.retained_.ring_; }
  static const internal::RecordRing& ring(const Timeline& t) noexcept { return t.retained_.ring_; }
  static EventView record(const Timeline& t, RecordPos pos) noexcept {
    return internal::decode_record(ring(t).at(pos), t.retained_.ids_);
  }
  // Heap records name their ids by handle; others hold their bytes.
  static bool compact(const Timeline& t) noexcept { return ring(t).memory() == nullptr; }
  static bool has(const Timeline& t, IdRef ref, std::uint64_t flag) noexcept {
    return (t.retained_.ids_.link(ref) & flag) != 0;
  }
  static void set_flags(Timeline& t, IdRef ref, std::uint64_t set,
                        std::uint64_t clear = 0) noexcept {
    t.retained_.ids_.set_link(ref, (t.retained_.ids_.link(ref) & ~clear) | set);
  }
  static IdRef parent_link(const Timeline& t, IdRef ref) noexcept {
    return t.retained_.ids_.link(ref) & internal::IdTable::kLinkMask;
  }
  static void set_parent_link(Timeline& t, IdRef ref, IdRef to) noexcept {
    t.retained_.ids_.set_link(ref,
                              (t.retained_.ids_.link(ref) & ~internal::IdTable::kLinkMask) | to);
  }
  // The handle of a retained record's parent, kNoId for a root.
  static IdRef parent_of(const Timeline& t, RecordPos pos) noexcept {
    return internal::stored_parent(ring(t).at(pos));
  }

  static IdRef find_end(Timeline& t, IdRef ref) noexcept {
    // Path halving: every other id on the way skips to its grandparent.
    for (;;) {
      const IdRef up = parent_link(t, ref);
      if (up == ref) return ref;
      const IdRef next = parent_link(t, up);
      if (next == up) return up;  // the usual case: `ref` links to the end
      set_parent_link(t, ref, next);
      ref = next;
    }
  }

  static void link_up(Timeline& t, IdRef ref, IdRef parent) noexcept {
    assert(parent_link(t, ref) == ref);  // only a root gains a link
    if (parent != kNoId) set_parent_link(t, ref, find_end(t, parent));
  }

  // The child links: each id heads the list of ids whose place is below
  // it, newest first, threaded through their `sibling` words. An id takes
  // its place below its parent when its first record arrives and keeps it
  // once evicted; an id restored more than once leaves the list when
  // verified, for Restores::placed, and joins it again once evicted.
  static void adopt(Timeline& t, IdRef parent, IdRef id) noexcept {
    internal::IdTable& ids = t.retained_.ids_;
    ids.set_sibling(id, ids.child(parent));
    ids.set_child(parent, id);
  }
  static void mark_behind_junction(Timeline& t, IdRef end) noexcept {
    if (!has(t, end, kJunction)) set_flags(t, end, kBehindJunction);
  }

  // Whether a chain that ends at `from_end` can reach `target`.
  static bool reaches(Timeline& t, IdRef from_end, IdRef target) {
    if (from_end == target) return true;
    // Only an id that some junction's chains end at can be behind one.
    if (!t.restores_ || !has(t, from_end, kJunction) || !has(t, target, kBehindJunction)) {
      return false;
    }
    Restores& r = *t.restores_;
    // Search the junctions behind `from_end`: each record of one leads on.
    ++r.search;
    r.pending.assign(1, from_end);
    r.repeats.at(from_end).searched = r.search;
    while (!r.pending.empty()) {
      const IdRef junction = r.pending.back();
      r.pending.pop_back();
      const Restores::Repeats& repeats = r.repeats.at(junction);
      const auto visit = [&](RecordPos pos) {
        const IdRef parent = parent_of(t, pos);
        if (parent == kNoId) return false;
        const IdRef end = find_end(t, parent);
        if (end == target) return true;
        if (has(t, end, kJunction)) {
          Restores::Repeats& next = r.repeats.at(end);
          if (next.searched != r.search) {
            next.searched = r.search;
            r.pending.push_back(end);
          }
        }
        return false;
      };
      if (visit(t.retained_.ids_.where(junction))) return true;
      for (std::size_t i = repeats.next; i < repeats.later.size(); ++i) {
        if (visit(repeats.later[i])) return true;
      }
    }
    return false;
  }

  // The entry of the record kDepth after the oldest, asked for early.
  static void look_ahead(Timeline& t) noexcept {
    const internal::RecordRing& window = ring(t);
    Ahead& a = t.ahead_;
    if (window.size() <= Ahead::kDepth) {
      *a.valid = false;
      return;
    }
    if (a.valid) {
      a.pos = window.next(a.pos);
    } else {
      a.pos = window.front();
      for (std::size_t i = 0; i < Ahead::kDepth; ++i) a.pos = window.next(a.pos);
      *a.valid = true;
    }
    t.retained_.ids_.prefetch_entry(internal::stored_id(window.at(a.pos)));
  }

  // Records the eviction of the oldest retained record, then drops it.
  static void evict_oldest(Timeline& t) noexcept {
    const std::byte* oldest = ring(t).at(ring(t).front());
    const IdRef id = internal::stored_id(oldest);
    const std::uint64_t sequence = internal::stored_sequence(oldest);
    if (t.restores_ && has(t, id, kRepeated)) {
      evict_repeated(t, id, sequence, internal::stored_parent(oldest));
    } else {
      ++*t.evicted_;
      set_flags(t, id, kEvicted, kRetained);
      t.retained_.ids_.set_where(id, sequence);
    }
    ring(t).pop_front();
    look_ahead(t);
  }

  static void evict_repeated(Timeline& t, IdRef id, std::uint64_t sequence, IdRef parent) noexcept {
    auto found = t.restores_->repeats.find(id);
    Restores::Repeats& repeats = found->second;
    if (!repeats.evicted_sequence) ++*t.evicted_;
    repeats.evicted_sequence = sequence;
    if (repeats.next < repeats.later.size()) {  // a later record of it stays
      const RecordPos later = repeats.later[repeats.next++];
      t.retained_.ids_.set_where(id, later);
      // The later record now places the id: its entry moves, allocating nothing.
      const IdRef later_parent = parent_of(t, later);
      t.restores_->hung.erase({later_parent, later});
      if (later_parent != parent) {
        auto node = t.restores_->placed.extract({parent, id});
        assert(!node.empty());  // appends, hence evictions, come after a verify
        node.value().first = later_parent;
        t.restores_->placed.insert(std::move(node));
      }
      if (repeats.next == repeats.later.size()) {  // its only one: a junction no more
        set_flags(t, id, 0, kJunction);
        link_up(t, id, parent_of(t, later));
      }
      return;
    }
    t.restores_->repeats.erase(found);
    t.restores_->placed.erase({parent, id});
    if (parent != kNoId) adopt(t, parent, id);
    set_flags(t, id, kEvicted, kRetained | kRepeated);
    t.retained_.ids_.set_where(id, sequence);
    if (t.restores_->repeats.empty()) {
      // Each later record left `hung` as it became the oldest, each id `placed` as it went.
      assert(t.restores_->hung.empty() && t.restores_->placed.empty());
      t.restores_.reset();
    }
  }

  // Enters the record at `pos`, which the window holds or is about to hold
  // as its newest, into the id table, as restore_event does, and stores the
  // handles of its id and parent in its bytes at `stored`.
  static void index_restored(Timeline& t, RecordPos pos, const EventView& record,
                             std::uint64_t id_hash, std::uint64_t parent_hash, std::byte* stored) {
    IdRef id = t.retained_.ids_.find(record.id, id_hash);
    const bool new_id = id == kNoId;
    const bool repeat = !new_id && has(t, id, kRetained);
    if (new_id) id = t.retained_.ids_.insert(record.id, id_hash);
    IdRef parent = kNoId;
    bool new_parent = false;
    bool new_restores = false;
    bool new_repeats = false;
    try {
      if (record.parent.empty()) {
        parent = kNoId;  // a root, even where the id is empty too
      } else if (internal::same_bytes(record.parent, record.id)) {
        parent = id;  // a ring of one, for verify_acyclic to refuse
      } else {
        parent = t.retained_.ids_.find(record.parent, parent_hash);
        new_parent = parent == kNoId;
        if (new_parent) parent = t.retained_.ids_.insert(record.parent, parent_hash);
      }
      if (repeat) {
        new_restores = !t.restores_;
        if (new_restores) t.restores_.emplace();
        const auto [entry, added] = t.restores_->repeats.try_emplace(id);
        new_repeats = added;
        entry->second.later.push_back(pos);
        try {
          t.restores_->hung.emplace(parent, pos);
        } catch (...) {
          entry->second.later.pop_back();
          throw;
        }
      }
    } catch (...) {
      if (new_repeats) t.restores_->repeats.erase(id);
      if (new_restores) t.restores_.reset();
      if (new_parent && parent != kNoId) t.retained_.ids_.unwind(parent);
      if (new_id) t.retained_.ids_.unwind(id);
      throw;
    }

    // Commit: nothing below allocates.
    *t.unverified_ = true;
    internal::set_stored_handles(stored, id, parent);
    if (repeat) {
      set_flags(t, id, kRepeated | kJunction);
      return;
    }
    set_flags(t, id, kKnown | kRetained);
    t.retained_.ids_.set_where(id, pos);
    ++*t.known_;
    if (parent == kNoId) return;
    adopt(t, parent, id);
    // Linked as append would, unless that closes a ring: then the forest
    // stays a forest and verify_acyclic refuses.
    if (find_end(t, parent) == id) {
      *t.cyclic_ = true;
    } else {
      link_up(t, id, parent);
    }
  }

  static void restore_hashed(Timeline& t, const EventView& record, std::uint64_t id_hash,
                             std::uint64_t parent_hash) {
    if (t.evicted_ != 0) throw std::logic_error(kRestoreAfterEviction);
    const std::size_t size = internal::record_size(record, record.sequence, compact(t));
    internal::RecordRing& window = ring(t);
    const RecordPos pos = window.prepare(size);
    // Written beyond the newest record, so that a failure leaves it unseen;
    // written before it is indexed, since `record` may view its chunk.
    internal::encode_record(record, record.sequence, kNoId, kNoId, compact(t), window.at(pos),
                            size);
    index_restored(t, pos, record, id_hash, parent_hash, window.at(pos));
    window.push(pos, size);
  }

  // The forest rebuilt from the retained records, which hold every link
  // while nothing was evicted since the first restore, and a search over
  // the junctions for a cycle that the forest does not show.
  static RecoveredTimeline recover(std::uint64_t capacity, std::optional<std::uint64_t> published,
                                   std::span<const std::span<std::byte>> chunks,
                                   RecordMemory* memory);

  static void verify_all(Timeline& t) {
    t.retained_.ids_.for_each([&t](IdRef ref, std::string_view) { set_parent_link(t, ref, ref); });
    const internal::RecordRing& window = ring(t);
    RecordPos at = window.front();
    for (std::size_t i = 0; i < window.size(); ++i, at = window.next(at)) {
      const IdRef id = internal::stored_id(window.at(at));
      const IdRef parent = parent_of(t, at);
      if (has(t, id, kJunction) || parent == kNoId) continue;
      // Until its own link is added, an id is the end of its tree.
      if (find_end(t, parent) == id) throw std::invalid_argument(kProvenanceCycle);
      link_up(t, id, parent);
    }
    // A depth-first search over the junctions, where each record of a
    // junction leads to the end of its parent's tree, finds a cycle through
    // them as a way back onto its own path.
    enum : unsigned char { kOnPath = 1, kDone = 2 };
    std::unordered_map<IdRef, unsigned char> state;
    std::vector<std::pair<IdRef, std::size_t>> path;  // junction, records tried
    for (const auto& [start, unused] : t.restores_->repeats) {
      if (!has(t, start, kJunction) || state[start] != 0) continue;
      state[start] = kOnPath;
      path.emplace_back(start, 0);
      while (!path.empty()) {
        auto& [junction, tried] = path.back();
        const Restores::Repeats& repeats = t.restores_->repeats.at(junction);
        const std::size_t records = 1 + repeats.later.size() - repeats.next;
        if (tried == records) {
          state[junction] = kDone;
          path.pop_back();
          continue;
        }
        const RecordPos pos =
            tried == 0 ? t.retained_.ids_.where(junction) : repeats.later[repeats.next + tried - 1];
        ++tried;
        const IdRef parent = parent_of(t, pos);
        if (parent == kNoId) continue;
        const IdRef end = find_end(t, parent);
        if (!has(t, end, kJunction)) {
          mark_behind_junction(t, end);
          continue;
        }
        unsigned char& seen = state[end];
        if (seen == kOnPath) throw std::invalid_argument(kProvenanceCycle);
        if (seen == 0) {
          seen = kOnPath;
          path.emplace_back(end, 0);
        }
      }
    }
    place_repeated(t);
  }

  // Rebuilds the child links from the window, which holds every record
  // while nothing was evicted, with each id restored more than once in
  // Restores::placed instead of a list. Allocates before it changes
  // anything. Cost: linear in the ids and the window, plus O(r log r) for
  // the r records of repeated ids.
  static void place_repeated(Timeline& t) {
    std::set<std::pair<IdRef, RecordPos>> hung;
    std::set<std::pair<IdRef, IdRef>> placed;
    const internal::RecordRing& window = ring(t);
    internal::IdTable& ids = t.retained_.ids_;
    RecordPos at = window.front();
    for (std::size_t i = 0; i < window.size(); ++i, at = window.next(at)) {
      const IdRef id = internal::stored_id(window.at(at));
      if (!has(t, id, kRepeated)) continue;
      if (ids.where(id) == at) {
        placed.emplace(parent_of(t, at), id);
      } else {
        hung.emplace(parent_of(t, at), at);
      }
    }
    // Nothing below allocates.
    ids.for_each([&ids](IdRef ref, std::string_view) { ids.set_child(ref, kNoId); });
    at = window.front();
    for (std::size_t i = 0; i < window.size(); ++i, at = window.next(at)) {
      const IdRef id = internal::stored_id(window.at(at));
      const IdRef parent = parent_of(t, at);
      if (!has(t, id, kRepeated) && parent != kNoId) adopt(t, parent, id);
    }
    t.restores_->hung.swap(hung);
    t.restores_->placed.swap(placed);
  }
};

Timeline::Timeline(const Timeline& other) = default;
// Member by member, a copy failing halfway would leave a mixed timeline.
Timeline& Timeline::operator=(const Timeline& other) {
  if (this != &other) *this = Timeline(other);
  return *this;
}
Timeline::Timeline(Timeline&& other) noexcept = default;
Timeline& Timeline::operator=(Timeline&& other) noexcept = default;
Timeline::~Timeline() = default;

bool operator==(const EventWindow& a, const EventWindow& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

Timeline::Timeline(std::uint64_t capacity) : capacity_(capacity) {
  if (capacity_ == 0) throw std::invalid_argument(kCapacityNotPositive);
}

Timeline::Timeline(std::uint64_t capacity, RecordMemory& memory)
    : capacity_(capacity), retained_(&memory) {
  if (capacity_ == 0) throw std::invalid_argument(kCapacityNotPositive);
}

// By value, as the caller gives the event up; the record copies its bytes.
void Timeline::append(TimelineEvent event) {  // NOLINT(performance-unnecessary-value-param)
  append_event(event);
}

void Timeline::append_event(const TimelineEvent& event) {
  using M = Machinery;
  if (unverified_) verify_acyclic();
  // Checks: a refusal changes nothing (find_end only shortens paths).
  // Both lookups are cache misses in a large table: start them together.
  const std::uint64_t id_hash = retained_.ids_.hash(event.id);
  const std::uint64_t parent_hash = retained_.ids_.hash(event.parent);
  retained_.ids_.prefetch_slot(id_hash);
  retained_.ids_.prefetch_slot(parent_hash);
  IdRef id = retained_.ids_.find(event.id, id_hash);
  if (event.id.empty() || (id != kNoId && M::has(*this, id, kKnown))) {
    throw std::invalid_argument(kIdNotUnique);
  }
  if (internal::same_bytes(event.parent, event.id)) throw std::invalid_argument(kProvenanceCycle);
  IdRef parent = event.parent.empty() ? kNoId : retained_.ids_.find(event.parent, parent_hash);
  // Only an id already named as a parent can close a cycle.
  if (id != kNoId && parent != kNoId && M::reaches(*this, M::find_end(*this, parent), id)) {
    throw std::invalid_argument(kProvenanceCycle);
  }

  // The last number has no next to follow it, and a memory may publish
  // fewer numbers than there are.
  internal::RecordRing& window = M::ring(*this);
  const RecordMemory* memory = window.memory();
  if (next_sequence_ == UINT64_MAX ||
      (memory != nullptr && next_sequence_ > memory->last_sequence())) {
    throw std::invalid_argument(kSequenceOutOfRange);
  }

  // Allocate, undoing it all if any step fails.
  const std::size_t size = internal::record_size(event, next_sequence_, M::compact(*this));
  const RecordPos pos = window.prepare(size);
  const bool new_id = id == kNoId;
  const bool new_parent = parent == kNoId && !event.parent.empty();
  if (new_id) id = retained_.ids_.insert(event.id, id_hash);
  if (new_parent) {  // never the same as the id: refused above
    try {
      parent = retained_.ids_.insert(event.parent, parent_hash);
    } catch (...) {
      if (new_id) retained_.ids_.unwind(id);
      throw;
    }
  }

  // Commit: nothing below allocates. The record is complete before it is
  // published, and the window shrinks only after that.
  const std::uint64_t sequence = (*next_sequence_)++;
  internal::encode_record(event, sequence, id, parent, M::compact(*this), window.at(pos), size);
  window.push(pos, size);
  M::link_up(*this, id, parent);
  if (parent != kNoId) M::adopt(*this, parent, id);
  if (restores_ && M::has(*this, id, kBehindJunction) && parent != kNoId) {
    M::mark_behind_junction(*this, M::find_end(*this, id));
  }
  M::set_flags(*this, id, kKnown | kRetained);
  retained_.ids_.set_where(id, pos);
  ++*known_;
  window.publish(sequence);
  while (window.size() > capacity_) M::evict_oldest(*this);
}

CausalTrace Timeline::build_causal_trace(std::string_view id) const {
  using M = Machinery;
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::complete, {}};
  if (id.empty()) return trace;
  // The chain's records first, then their copies, root-most first, into
  // room for exactly them.
  std::vector<const std::byte*> chain;
  IdRef current = retained_.ids_.find(id);
  for (;;) {
    if (current == kNoId || !M::has(*this, current, kRetained)) {
      const bool gap = !chain.empty() || (current != kNoId && M::has(*this, current, kEvicted));
      trace.status = gap ? TraceStatus::retention_gap : TraceStatus::not_found;
      break;
    }
    // A chain without a ring finds each retained record at most once.
    if (chain.size() == retained_.size()) throw std::invalid_argument(kProvenanceCycle);
    const std::byte* at = M::ring(*this).at(retained_.ids_.where(current));
    chain.push_back(at);
    current = internal::stored_parent(at);
    if (current == kNoId) break;  // a root: complete
  }
  // Copied into events made in place from an empty one (cheaper than
  // value-initialising them, which zeroes each whole first): short strings
  // then cost no allocation and no event is moved.
  trace.events.resize(chain.size(), TimelineEvent());
  auto record = chain.rbegin();
  for (TimelineEvent& event : trace.events) {
    internal::decode_record(*record++, retained_.ids_).copy_to(event);
  }
  return trace;
}

CausalEffects Timeline::build_causal_effects(std::string_view id) const {
  using M = Machinery;
  CausalEffects effects{kCausalEffectsSchema, std::string(id), TraceStatus::not_found, {}};
  const internal::IdTable& ids = retained_.ids_;
  const IdRef root = id.empty() ? kNoId : ids.find(id);
  if (root == kNoId) return effects;
  constexpr std::size_t kNone = SIZE_MAX;
  // A record found, and the index of the nearest record found above it.
  struct Found {
    std::uint64_t sequence;
    std::uint64_t rank;  // the place in the window: orders equal sequences
    RecordPos pos;
    std::size_t cause;
  };
  // An id whose children are still to be visited: the nearest record found
  // on its way up, and whether an id that is not retained lies between the
  // root and its children.
  struct Open {
    IdRef id;
    std::size_t cause;
    bool gap;
  };
  std::vector<Found> found;
  std::vector<std::size_t> level_start;  // where each depth's records begin in `found`
  const RecordPos front = M::ring(*this).front();
  const auto add = [&](RecordPos pos, std::size_t cause) {
    // Chunk serials count on modulo 2^32 from the oldest record's.
    const std::uint64_t rank =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>((pos >> 32) - (front >> 32)))
         << 32) |
        (pos & 0xFFFFFFFFu);
    found.push_back({internal::stored_sequence(M::ring(*this).at(pos)), rank, pos, cause});
    return found.size() - 1;
  };
  const bool root_retained = M::has(*this, root, kRetained);
  level_start.push_back(0);
  if (root_retained) add(ids.where(root), kNone);
  std::vector<Open> level{{root, root_retained ? 0 : kNone, false}};
  std::vector<Open> next;
  std::vector<IdRef> children;
  bool gap = !root_retained;
  std::uint64_t visited = 0;
  while (!level.empty()) {
    level_start.push_back(found.size());
    for (const Open& at : level) {
      children.clear();
      if (restores_) {  // the records and ids of ids restored more than once
        for (auto hung = restores_->hung.lower_bound({at.id, 0});
             hung != restores_->hung.end() && hung->first == at.id; ++hung) {
          add(hung->second, at.cause);
          gap = gap || at.gap;
        }
        for (auto placed = restores_->placed.lower_bound({at.id, kNoId});
             placed != restores_->placed.end() && placed->first == at.id; ++placed) {
          children.push_back(placed->second);
        }
      }
      // Oldest first, as the list is newest first.
      const std::size_t listed = children.size();
      for (IdRef c = ids.child(at.id); c != kNoId; c = ids.sibling(c)) {
        // An acyclic forest visits each id once at most.
        if (++visited > ids.size()) throw std::invalid_argument(kProvenanceCycle);
        children.push_back(c);
      }
      std::reverse(children.begin() + static_cast<std::ptrdiff_t>(listed), children.end());
      for (const IdRef c : children) {
        if (!M::has(*this, c, kRetained)) {
          next.push_back({c, at.cause, true});
          continue;
        }
        gap = gap || at.gap;
        next.push_back({c, add(ids.where(c), at.cause), at.gap});
      }
    }
    level.swap(next);
    next.clear();
  }
  level_start.push_back(found.size());  // the end of the last depth

  // In order of depth, then sequence; causes renumbered to match.
  std::vector<std::size_t> order(found.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t d = 0; d + 1 < level_start.size(); ++d) {
    const auto begin = order.begin() + static_cast<std::ptrdiff_t>(level_start[d]);
    const auto end = order.begin() + static_cast<std::ptrdiff_t>(level_start[d + 1]);
    const auto by_sequence = [&found](std::size_t a, std::size_t b) {
      return std::pair(found[a].sequence, found[a].rank) <
             std::pair(found[b].sequence, found[b].rank);
    };
    if (!std::is_sorted(begin, end, by_sequence)) std::sort(begin, end, by_sequence);
  }
  std::vector<std::size_t> place(found.size());
  for (std::size_t i = 0; i < order.size(); ++i) place[order[i]] = i;
  effects.events.resize(found.size(), EffectEvent());  // as for a trace
  std::size_t d = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    while (level_start[d + 1] <= i) ++d;
    const Found& f = found[order[i]];
    EffectEvent& e = effects.events[i];
    internal::decode_record(M::ring(*this).at(f.pos), ids).copy_to(e.event);
    e.depth = d;
    if (f.cause != kNone) e.cause = place[f.cause];
  }
  if (!found.empty() || M::has(*this, root, kKnown)) {
    effects.status = gap ? TraceStatus::retention_gap : TraceStatus::complete;
  }
  return effects;
}

bool Timeline::knows(std::string_view id) const noexcept {
  const IdRef ref = retained_.ids_.find(id);
  return ref != kNoId && Machinery::has(*this, ref, kKnown);
}

std::optional<EventView> Timeline::oldest_retained(std::string_view id) const noexcept {
  const IdRef ref = retained_.ids_.find(id);
  if (ref == kNoId || !Machinery::has(*this, ref, kRetained)) return std::nullopt;
  return Machinery::record(*this, retained_.ids_.where(ref));
}

std::optional<std::uint64_t> Timeline::evicted_sequence(std::string_view id) const {
  const IdRef ref = retained_.ids_.find(id);
  if (ref == kNoId) return std::nullopt;
  if (Machinery::has(*this, ref, kEvicted)) return retained_.ids_.where(ref);
  if (restores_ && Machinery::has(*this, ref, kRepeated)) {
    return restores_->repeats.at(ref).evicted_sequence;
  }
  return std::nullopt;
}

void Timeline::reserve(std::size_t records) {
  retained_.ids_.reserve(records);  // a parent is most often the id of another record
}

void Timeline::restore_event(const EventView& record) {
  Machinery::restore_hashed(*this, record, retained_.ids_.hash(record.id),
                            retained_.ids_.hash(record.parent));
}

void Timeline::restore_events(std::span<const EventView> records) {
  // Hash a group of records and ask for their places in the table before
  // restoring any, so that the lookups' cache misses overlap.
  constexpr std::size_t kGroup = 16;
  std::uint64_t hashes[2 * kGroup];
  for (std::size_t first = 0; first < records.size(); first += kGroup) {
    const std::size_t count = std::min(kGroup, records.size() - first);
    for (std::size_t i = 0; i < count; ++i) {
      const EventView& record = records[first + i];
      hashes[2 * i] = retained_.ids_.hash(record.id);
      hashes[2 * i + 1] = retained_.ids_.hash(record.parent);
      retained_.ids_.prefetch_slot(hashes[2 * i]);
      retained_.ids_.prefetch_slot(hashes[2 * i + 1]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      Machinery::restore_hashed(*this, records[first + i], hashes[2 * i], hashes[2 * i + 1]);
    }
  }
}

void Timeline::verify_acyclic() {
  if (!unverified_) return;
  if (restores_) {
    Machinery::verify_all(*this);  // the forest does not show a junction's records
  } else if (cyclic_) {
    throw std::invalid_argument(kProvenanceCycle);
  }
  *cyclic_ = false;
  *unverified_ = false;
}

RecoveredTimeline Timeline::recover(std::uint64_t capacity, std::optional<std::uint64_t> published,
                                    std::span<const std::span<const std::byte>> chunks) {
  std::vector<std::span<std::byte>> view;  // only read: no memory to adopt them
  view.reserve(chunks.size());
  for (const std::span<const std::byte> chunk : chunks) {
    view.emplace_back(const_cast<std::byte*>(chunk.data()), chunk.size());
  }
  return Machinery::recover(capacity, published, view, nullptr);
}

RecoveredTimeline Timeline::recover_in_place(std::uint64_t capacity,
                                             std::optional<std::uint64_t> published,
                                             std::span<const std::span<std::byte>> chunks,
                                             RecordMemory& memory) {
  return Machinery::recover(capacity, published, chunks, &memory);
}

RecoveredTimeline Timeline::Machinery::recover(std::uint64_t capacity,
                                               std::optional<std::uint64_t> published,
                                               std::span<const std::span<std::byte>> chunks,
                                               RecordMemory* memory) {
  RecoveredTimeline result{memory != nullptr ? Timeline(capacity, *memory) : Timeline(capacity), 0};
  Timeline& t = result.timeline;
  struct Found {
    std::uint64_t sequence;
    std::size_t chunk;
    std::size_t offset;
    std::size_t size;
  };
  std::vector<Found> found;  // every intact record, newest first
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::span<std::byte> chunk = chunks[c];
    std::size_t offset = 0;
    // A chunk is written front to back. A record that is not intact is
    // stepped over if its size still fits the chunk, so that damage inside
    // one record costs the records after it nothing; a size that cannot be
    // one (zeros where nothing was written yet) ends what the chunk holds.
    while (chunk.size() - offset >= internal::kSmallestRecord) {
      const std::byte* at = chunk.data() + offset;
      const std::size_t size = internal::stored_size(at);
      if (size < internal::kSmallestRecord || size > chunk.size() - offset) break;
      if (const std::optional<EventView> record =
              internal::check_record(at, chunk.size() - offset)) {
        found.push_back({record->sequence, c, offset, size});
      }
      offset += size;
    }
  }
  // Newest first; records of one number (only damage makes them) in place
  // order, so that every reader makes the same of them.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.sequence != b.sequence) return a.sequence > b.sequence;
    return a.chunk != b.chunk ? a.chunk < b.chunk : a.offset < b.offset;
  });

  // The newest number that counts: the published one, unless the records
  // contradict it (one newer than the record a writer may have written and
  // not published, or none in its window while there are some), when it
  // was damaged or is older than they are; then the newest record's.
  const auto lowest_of = [&](std::uint64_t top) {
    return top >= capacity ? top - capacity + 1 : 1;
  };
  const auto first_at_most = [&](std::uint64_t top) {
    return std::partition_point(found.begin(), found.end(),
                                [&](const Found& f) { return f.sequence > top; });
  };
  const std::uint64_t newest = found.empty() ? 0 : found.front().sequence;
  std::uint64_t top = newest;
  if (published) {
    const auto in_window = first_at_most(*published);
    const bool borne_out =
        found.empty() || ((newest <= *published || newest - *published == 1) &&
                          in_window != found.end() && in_window->sequence >= lowest_of(*published));
    if (borne_out) top = *published;
  }
  const std::uint64_t lowest = lowest_of(top);
  const std::vector<Found> intact = memory != nullptr ? found : std::vector<Found>();
  found.erase(found.begin(), first_at_most(top));
  // The run back from the newest: each record one number before the next
  // and where the writer would have put it, right before the next in its
  // chunk or at the end of another chunk (the next starting a chunk).
  std::size_t run = !found.empty() && found[0].sequence >= lowest ? 1 : 0;
  std::vector<std::size_t> chunk_order;  // newest first
  std::vector<bool> in_run(chunks.size(), false);
  if (run != 0) {
    chunk_order.push_back(found[0].chunk);
    in_run[found[0].chunk] = true;
  }
  for (; run < found.size(); ++run) {
    const Found& older = found[run];
    const Found& newer = found[run - 1];
    if (older.sequence + 1 != newer.sequence || older.sequence < lowest) break;
    if (older.chunk == newer.chunk) {
      if (older.offset + older.size != newer.offset) break;
    } else {
      if (newer.offset != 0 || in_run[older.chunk]) break;
      chunk_order.push_back(older.chunk);
      in_run[older.chunk] = true;
    }
  }
  result.dropped = top == 0 ? 0 : top - lowest + 1 - run;
  // Numbers go on from the newest record, so that those of the window stay
  // consecutive: numbers of records lost from the top are given out again.
  const std::uint64_t last = run != 0 ? found[0].sequence : top;
  if (last == UINT64_MAX) throw std::invalid_argument(kSequenceOutOfRange);
  found.resize(run);
  std::reverse(found.begin(), found.end());
  std::reverse(chunk_order.begin(), chunk_order.end());

  if (memory == nullptr) {
    for (const Found& f : found) {
      t.restore_event(*internal::check_record(chunks[f.chunk].data() + f.offset, f.size));
    }
  } else {
    // The records stay where they are: the window is set over them, and
    // every other chunk goes back to the memory. A chunk's serial is its
    // place in the run; its used bytes end with its last record there.
    constexpr std::size_t kUnused = SIZE_MAX;
    std::vector<std::size_t> serial(chunks.size(), kUnused);
    std::vector<std::size_t> start(chunks.size(), SIZE_MAX);
    std::vector<std::size_t> end(chunks.size(), 0);
    for (std::size_t s = 0; s < chunk_order.size(); ++s) serial[chunk_order[s]] = s;
    for (const Found& f : found) {
      start[f.chunk] = std::min(start[f.chunk], f.offset);
      end[f.chunk] = f.offset + f.size;
    }
    internal::RecordRing& window = ring(t);
    for (const std::size_t c : chunk_order) window.adopt(chunks[c], end[c]);
    const auto pos_of = [&](const Found& f) {
      return (RecordPos{serial[f.chunk]} << 32) | f.offset;
    };
    if (!found.empty())
      window.set_window(pos_of(found.front()), pos_of(found.back()), found.size());
    t.retained_.ids_.reserve(found.size());
    for (const Found& f : found) {
      std::byte* at = chunks[f.chunk].data() + f.offset;
      const EventView record = *internal::check_record(at, f.size);
      index_restored(t, pos_of(f), record, t.retained_.ids_.hash(record.id),
                     t.retained_.ids_.hash(record.parent), at);
    }
    // Only once nothing can refuse the chunks is a byte of them other than
    // a handle changed.
    t.verify_acyclic();
    // What the chunks hold beyond the window must never join a later
    // recovery's run: records numbered above the newest one taken (damaged,
    // or written and not published by a writer that died), whose numbers
    // appends give out again, and records evicted before, which a window
    // with fewer records than the capacity would reach back to. So intact
    // records outside the window fail their check from now on, and every
    // chunk given back, and the newest one after its newest record, has the
    // size where a record would begin cleared.
    for (const Found& f : intact) {
      if (serial[f.chunk] == kUnused || f.offset < start[f.chunk] || f.offset >= end[f.chunk]) {
        internal::spoil_record(chunks[f.chunk].data() + f.offset);
      }
    }
    const auto clear = [](std::span<std::byte> chunk, std::size_t at) {
      if (chunk.size() - at >= 4) std::memset(chunk.data() + at, 0, 4);
    };
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      if (serial[c] != kUnused) continue;
      if (!chunks[c].empty()) clear(chunks[c], 0);
      memory->release(chunks[c]);
    }
    if (!chunk_order.empty()) clear(chunks[chunk_order.back()], end[chunk_order.back()]);
  }
  t.verify_acyclic();
  t.restore_next_sequence(last + 1);
  return result;
}

}  // namespace quorix
