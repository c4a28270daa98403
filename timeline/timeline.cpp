#include <quorix/timeline/timeline.h>

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <utility>

namespace quorix {
namespace {

constexpr const char kCapacityNotPositive[] = "timeline capacity must be positive";
constexpr const char kIdNotUnique[] = "timeline event id must be unique";
constexpr const char kProvenanceCycle[] = "causal provenance cycle";
constexpr const char kRestoreAfterEviction[] = "timeline restore after eviction";

}  // namespace

// ---- EventWindow ----------------------------------------------------------

EventWindow::EventWindow(EventWindow&& other) noexcept
    : slots_(std::move(other.slots_)),
      head_(std::exchange(other.head_, 0)),
      size_(std::exchange(other.size_, 0)),
      first_ordinal_(std::exchange(other.first_ordinal_, 0)) {
  other.slots_.clear();
}

EventWindow& EventWindow::operator=(EventWindow&& other) noexcept {
  if (this != &other) {
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    head_ = std::exchange(other.head_, 0);
    size_ = std::exchange(other.size_, 0);
    first_ordinal_ = std::exchange(other.first_ordinal_, 0);
  }
  return *this;
}

// The ring's slots are slots_[0, slots_.size()); beyond them, while the ring
// has not wrapped (head_ 0), the vector's spare capacity lets it grow in
// place, one slot constructed at a time.
std::size_t EventWindow::room() const noexcept {
  return slots_.size() - size_ + (head_ == 0 ? slots_.capacity() - slots_.size() : 0);
}

void EventWindow::reserve(std::size_t records) {
  if (records <= room()) return;
  std::vector<Slot> grown;
  grown.reserve(size_ + records);
  for (std::size_t i = 0; i < size_; ++i) grown.push_back(std::move(slot(i)));
  slots_.swap(grown);
  head_ = 0;
}

void EventWindow::make_room(std::uint64_t limit) {
  if (room() != 0 || size_ >= limit) return;  // a free slot, or one freed by eviction
  const std::uint64_t doubled = std::max<std::uint64_t>(2 * slots_.size(), 1);
  reserve(static_cast<std::size_t>(std::min(doubled, limit)) - size_);
}

void EventWindow::push_back(Slot&& record) noexcept {
  assert(room() != 0);  // make_room came first
  if (size_ == slots_.size()) {
    slots_.push_back(std::move(record));  // within capacity: does not allocate
  } else {
    slot(size_) = std::move(record);
  }
  ++size_;
}

void EventWindow::replace_oldest(Slot&& record) noexcept {
  if (size_ < slots_.size()) {  // the ring has room: the new record goes at the back
    pop_front();
    push_back(std::move(record));
    return;
  }
  slots_[head_] = std::move(record);  // the oldest slot becomes the newest
  head_ = head_ + 1 == slots_.size() ? 0 : head_ + 1;
  ++first_ordinal_;
}

void EventWindow::pop_front() noexcept {
  slots_[head_] = Slot{};  // releases the record's strings
  head_ = head_ + 1 == slots_.size() ? 0 : head_ + 1;
  --size_;
  ++first_ordinal_;
}

// ---- Timeline -------------------------------------------------------------
//
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

Timeline::Timeline(std::uint64_t capacity) : capacity_(capacity) {
  if (capacity_ == 0) throw std::invalid_argument(kCapacityNotPositive);
}

Timeline& Timeline::operator=(const Timeline& other) {
  if (this != &other) *this = Timeline(other);
  return *this;
}

Timeline::Timeline(Timeline&& other) noexcept
    : capacity_(other.capacity_),
      next_sequence_(std::exchange(other.next_sequence_, 1)),
      retained_(std::move(other.retained_)),
      ids_(std::move(other.ids_)),
      known_(std::exchange(other.known_, 0)),
      evicted_(std::exchange(other.evicted_, 0)),
      repeats_(std::move(other.repeats_)),
      unverified_(std::exchange(other.unverified_, false)),
      linked_(std::exchange(other.linked_, false)),
      search_(other.search_) {
  other.repeats_.clear();
}

Timeline& Timeline::operator=(Timeline&& other) noexcept {
  if (this != &other) {
    capacity_ = other.capacity_;
    next_sequence_ = std::exchange(other.next_sequence_, 1);
    retained_ = std::move(other.retained_);
    ids_ = std::move(other.ids_);
    known_ = std::exchange(other.known_, 0);
    evicted_ = std::exchange(other.evicted_, 0);
    repeats_ = std::move(other.repeats_);
    other.repeats_.clear();
    unverified_ = std::exchange(other.unverified_, false);
    linked_ = std::exchange(other.linked_, false);
    search_ = other.search_;
  }
  return *this;
}

Timeline::IdRef Timeline::find_end(IdRef ref) noexcept {
  // Path halving: every other id on the way skips to its grandparent.
  for (;;) {
    const IdRef up = parent_link(ref);
    if (up == ref) return ref;
    const IdRef next = parent_link(up);
    set_parent_link(ref, next);
    ref = next;
  }
}

void Timeline::mark_behind_junction(IdRef end) noexcept {
  if (!has(end, kJunction)) set_flags(end, kBehindJunction);
}

void Timeline::link_up(IdRef ref, IdRef parent) noexcept {
  assert(parent_link(ref) == ref);  // only a root gains a link
  if (parent == internal::kNoId) return;
  set_parent_link(ref, find_end(parent));
  linked_ = true;
}

bool Timeline::reaches(IdRef from_end, IdRef target) {
  if (from_end == target) return true;
  // Only an id that some junction's chains end at can be behind one.
  if (!has(from_end, kJunction) || !has(target, kBehindJunction)) return false;
  // Search the junctions behind `from_end`: each record of one leads on.
  ++search_;
  pending_.assign(1, from_end);
  repeats_.at(from_end).searched = search_;
  while (!pending_.empty()) {
    const IdRef junction = pending_.back();
    pending_.pop_back();
    const Repeats& repeats = repeats_.at(junction);
    const auto visit = [&](std::uint64_t ordinal) {
      const IdRef parent = retained_.at_ordinal(ordinal).parent;
      if (parent == internal::kNoId) return false;
      const IdRef end = find_end(parent);
      if (end == target) return true;
      if (has(end, kJunction)) {
        Repeats& next = repeats_.at(end);
        if (next.searched != search_) {
          next.searched = search_;
          pending_.push_back(end);
        }
      }
      return false;
    };
    if (visit(ids_.where(junction))) return true;
    for (std::size_t i = repeats.next; i < repeats.later.size(); ++i) {
      if (visit(repeats.later[i])) return true;
    }
  }
  return false;
}

void Timeline::append(TimelineEvent event) {
  if (unverified_) verify_acyclic();
  // Checks: a refusal changes nothing (find_end only shortens paths).
  // Both lookups are cache misses in a large table: start them together.
  const std::uint64_t id_hash = ids_.hash(event.id);
  const std::uint64_t parent_hash = ids_.hash(event.parent);
  ids_.prefetch_slot(id_hash);
  ids_.prefetch_slot(parent_hash);
  IdRef id = ids_.find(event.id, id_hash);
  if (event.id.empty() || (id != internal::kNoId && has(id, kKnown))) {
    throw std::invalid_argument(kIdNotUnique);
  }
  if (event.parent == event.id) throw std::invalid_argument(kProvenanceCycle);
  IdRef parent = event.parent.empty() ? internal::kNoId : ids_.find(event.parent, parent_hash);
  // Only an id already named as a parent can close a cycle.
  if (id != internal::kNoId && parent != internal::kNoId && reaches(find_end(parent), id)) {
    throw std::invalid_argument(kProvenanceCycle);
  }

  // Allocate, undoing it all if any step fails.
  retained_.make_room(capacity_);
  const bool new_id = id == internal::kNoId;
  const bool new_parent = parent == internal::kNoId && !event.parent.empty();
  if (new_id) id = ids_.insert(event.id, id_hash);
  if (new_parent) {  // never the same as the id: refused above
    try {
      parent = ids_.insert(event.parent, parent_hash);
    } catch (...) {
      if (new_id) ids_.unwind(id);
      throw;
    }
  }

  // Commit: nothing below allocates.
  link_up(id, parent);
  if (has(id, kBehindJunction) && parent != internal::kNoId) mark_behind_junction(find_end(id));
  set_flags(id, kKnown | kRetained);
  ++known_;
  event.sequence = next_sequence_++;
  while (retained_.size() > capacity_) pop_oldest();  // only after restores
  ids_.set_where(id, retained_.next_ordinal());
  if (retained_.size() == capacity_) {  // the usual case once full: one in, one out
    forget_oldest();
    retained_.replace_oldest({std::move(event), id, parent});
  } else {
    retained_.push_back({std::move(event), id, parent});
  }
}

void Timeline::pop_oldest() noexcept {
  forget_oldest();
  retained_.pop_front();
}

void Timeline::forget_oldest() noexcept {
  // The entries of the records that leave soon were touched long ago.
  constexpr std::size_t kAhead = 8;
  if (retained_.size() > kAhead) ids_.prefetch_entry(retained_.slot(kAhead).id);
  const EventWindow::Slot& oldest = retained_.slot(0);
  const IdRef id = oldest.id;
  const std::uint64_t sequence = oldest.event.sequence;
  if (has(id, kRepeated)) {
    Repeats& repeats = repeats_.find(id)->second;
    if (!repeats.evicted_sequence) ++evicted_;
    repeats.evicted_sequence = sequence;
    if (repeats.next < repeats.later.size()) {  // a later record of it stays
      const std::uint64_t later = repeats.later[repeats.next++];
      ids_.set_where(id, later);
      if (repeats.next == repeats.later.size()) {  // its only one: a junction no more
        set_flags(id, 0, kJunction);
        link_up(id, retained_.at_ordinal(later).parent);
      }
      return;
    }
    repeats_.erase(id);
  } else {
    ++evicted_;
  }
  set_flags(id, kEvicted, kRetained | kRepeated);
  ids_.set_where(id, sequence);
}

CausalTrace Timeline::build_causal_trace(std::string_view id) const {
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::complete, {}};
  if (id.empty()) return trace;
  IdRef current = ids_.find(id);
  for (;;) {
    if (current == internal::kNoId || !has(current, kRetained)) {
      const bool gap =
          !trace.events.empty() || (current != internal::kNoId && has(current, kEvicted));
      trace.status = gap ? TraceStatus::retention_gap : TraceStatus::not_found;
      break;
    }
    // A chain without a ring finds each retained record at most once.
    if (trace.events.size() == retained_.size()) throw std::invalid_argument(kProvenanceCycle);
    const EventWindow::Slot& found = retained_.at_ordinal(ids_.where(current));
    trace.events.push_back(found.event);
    if (found.parent == internal::kNoId) break;  // a root: complete
    current = found.parent;
  }
  std::reverse(trace.events.begin(), trace.events.end());
  return trace;
}

bool Timeline::knows(std::string_view id) const noexcept {
  const IdRef ref = ids_.find(id);
  return ref != internal::kNoId && has(ref, kKnown);
}

std::optional<std::uint64_t> Timeline::evicted_sequence(std::string_view id) const {
  const IdRef ref = ids_.find(id);
  if (ref == internal::kNoId) return std::nullopt;
  if (has(ref, kEvicted)) return ids_.where(ref);
  if (has(ref, kRepeated)) return repeats_.at(ref).evicted_sequence;
  return std::nullopt;
}

void Timeline::reserve(std::size_t records) {
  retained_.reserve(records);
  ids_.reserve(records);  // a parent is most often the id of another record
}

void Timeline::restore_event(TimelineEvent record) {
  const std::uint64_t id_hash = ids_.hash(record.id);
  const std::uint64_t parent_hash = ids_.hash(record.parent);
  restore_hashed(std::move(record), id_hash, parent_hash);
}

void Timeline::restore_hashed(TimelineEvent&& record, std::uint64_t id_hash,
                              std::uint64_t parent_hash) {
  if (evicted_ != 0) throw std::logic_error(kRestoreAfterEviction);
  retained_.make_room(UINT64_MAX);
  IdRef id = ids_.find(record.id, id_hash);
  const bool new_id = id == internal::kNoId;
  const bool repeat = !new_id && has(id, kRetained);
  if (new_id) id = ids_.insert(record.id, id_hash);
  IdRef parent = internal::kNoId;
  bool new_parent = false;
  bool new_repeats = false;
  try {
    if (record.parent.empty()) {
      parent = internal::kNoId;  // a root, even where the id is empty too
    } else if (record.parent == record.id) {
      parent = id;  // a ring of one, for verify_acyclic to refuse
    } else {
      parent = ids_.find(record.parent, parent_hash);
      new_parent = parent == internal::kNoId;
      if (new_parent) parent = ids_.insert(record.parent, parent_hash);
    }
    if (repeat) {
      const auto [entry, added] = repeats_.try_emplace(id);
      new_repeats = added;
      entry->second.later.push_back(retained_.next_ordinal());
    }
  } catch (...) {
    if (new_repeats) repeats_.erase(id);
    if (new_parent && parent != internal::kNoId) ids_.unwind(parent);
    if (new_id) ids_.unwind(id);
    throw;
  }

  // Commit: nothing below allocates.
  if (repeat) {
    set_flags(id, kRepeated | kJunction);
  } else {
    set_flags(id, kKnown | kRetained);
    ids_.set_where(id, retained_.next_ordinal());
    ++known_;
  }
  unverified_ = true;
  retained_.push_back({std::move(record), id, parent});
}

void Timeline::restore_events(std::span<TimelineEvent> records) {
  // Hash a group of records and ask for their places in the table before
  // restoring any, so that the lookups' cache misses overlap.
  constexpr std::size_t kGroup = 16;
  std::uint64_t hashes[2 * kGroup];
  for (std::size_t first = 0; first < records.size(); first += kGroup) {
    const std::size_t count = std::min(kGroup, records.size() - first);
    for (std::size_t i = 0; i < count; ++i) {
      const TimelineEvent& record = records[first + i];
      hashes[2 * i] = ids_.hash(record.id);
      hashes[2 * i + 1] = ids_.hash(record.parent);
      ids_.prefetch_slot(hashes[2 * i]);
      ids_.prefetch_slot(hashes[2 * i + 1]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      restore_hashed(std::move(records[first + i]), hashes[2 * i], hashes[2 * i + 1]);
    }
  }
}

void Timeline::verify_acyclic() {
  if (!unverified_) return;
  // Rebuild the forest from the retained records, which hold every link:
  // nothing was evicted since the first restore.
  if (linked_) ids_.for_each([this](IdRef ref, std::string_view) { set_parent_link(ref, ref); });
  for (std::size_t i = 0; i < retained_.size(); ++i) {
    const EventWindow::Slot& record = retained_.slot(i);
    if (has(record.id, kJunction) || record.parent == internal::kNoId) continue;
    // Until its own link is added, an id is the end of its tree.
    if (find_end(record.parent) == record.id) throw std::invalid_argument(kProvenanceCycle);
    link_up(record.id, record.parent);
  }
  // A cycle that the forest does not show passes through junctions: a
  // depth-first search over them, where each record of a junction leads to
  // the end of its parent's tree, finds it as a way back onto its own path.
  enum : unsigned char { kOnPath = 1, kDone = 2 };
  std::unordered_map<IdRef, unsigned char> state;
  std::vector<std::pair<IdRef, std::size_t>> path;  // junction, records tried
  for (const auto& [start, unused] : repeats_) {
    if (!has(start, kJunction) || state[start] != 0) continue;
    state[start] = kOnPath;
    path.emplace_back(start, 0);
    while (!path.empty()) {
      auto& [junction, tried] = path.back();
      const Repeats& repeats = repeats_.at(junction);
      const std::size_t records = 1 + repeats.later.size() - repeats.next;
      if (tried == records) {
        state[junction] = kDone;
        path.pop_back();
        continue;
      }
      const std::uint64_t ordinal =
          tried == 0 ? ids_.where(junction) : repeats.later[repeats.next + tried - 1];
      ++tried;
      const IdRef parent = retained_.at_ordinal(ordinal).parent;
      if (parent == internal::kNoId) continue;
      const IdRef end = find_end(parent);
      if (!has(end, kJunction)) {
        mark_behind_junction(end);
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
  unverified_ = false;
}

}  // namespace quorix
