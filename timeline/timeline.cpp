#include <quorix/timeline/timeline.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quorix {
namespace {

constexpr const char kCapacityNotPositive[] = "timeline capacity must be positive";
constexpr const char kIdNotUnique[] = "timeline event id must be unique";
constexpr const char kProvenanceCycle[] = "causal provenance cycle";

}  // namespace

bool Timeline::IdLess::operator()(std::string_view a, std::string_view b) const noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= common; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);  // so that the first byte is the most significant
        y = __builtin_bswap64(y);
      }
      return x < y;
    }
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

Timeline::Timeline(std::uint64_t capacity) : capacity_(capacity) {
  if (capacity_ == 0) throw std::invalid_argument(kCapacityNotPositive);
}

Timeline::Timeline(const Timeline& other)
    : capacity_(other.capacity_),
      next_sequence_(other.next_sequence_),
      retained_(other.retained_),
      provenance_(other.provenance_),
      evicted_count_(other.evicted_count_),
      unknown_parents_(other.unknown_parents_),
      provenance_acyclic_(other.provenance_acyclic_),
      links_acyclic_(other.links_acyclic_) {
  rebuild_index();
}

Timeline& Timeline::operator=(const Timeline& other) {
  if (this != &other) {
    Timeline copy(other);
    swap(copy);
  }
  return *this;
}

// Everything that can fail to allocate happens in the constructor of the
// empty timeline; the exchange that follows cannot fail half-way.
// NOLINTNEXTLINE(performance-noexcept-move-constructor,bugprone-exception-escape)
Timeline::Timeline(Timeline&& other) : Timeline(other.capacity_) { swap(other); }

// NOLINTNEXTLINE(performance-noexcept-move-constructor,bugprone-exception-escape)
Timeline& Timeline::operator=(Timeline&& other) {
  if (this != &other) {
    Timeline moved(std::move(other));
    swap(moved);
  }
  return *this;
}

void Timeline::swap(Timeline& other) noexcept {
  std::swap(capacity_, other.capacity_);
  std::swap(next_sequence_, other.next_sequence_);
  retained_.swap(other.retained_);
  retained_known_.swap(other.retained_known_);
  provenance_.swap(other.provenance_);
  std::swap(evicted_count_, other.evicted_count_);
  duplicates_.swap(other.duplicates_);
  unknown_parents_.swap(other.unknown_parents_);
  std::swap(provenance_acyclic_, other.provenance_acyclic_);
  std::swap(links_acyclic_, other.links_acyclic_);
}

void Timeline::rebuild_index() {
  for (auto& entry : provenance_) entry.second.oldest = nullptr;
  for (const TimelineEvent& record : retained_) {
    Known& known = provenance_.find(record.id)->second;
    retained_known_.push_back(&known);
    if (known.oldest == nullptr) {
      known.oldest = &record;
    } else {
      duplicates_.emplace(std::string_view(record.id), &record);
    }
  }
}

void Timeline::append(TimelineEvent event) {
  // Checks: these only read, so a refusal leaves the timeline as it was.
  auto known = provenance_.lower_bound(event.id);  // also where the id goes
  if (event.id.empty() || (known != provenance_.end() && known->first == event.id)) {
    throw std::invalid_argument(kIdNotUnique);
  }
  if (event.parent == event.id) throw std::invalid_argument(kProvenanceCycle);
  // A new id closes a cycle only if some known event already names it as
  // its parent; with acyclic links, no other id needs the walk.
  const auto named = unknown_parents_.find(event.id);
  const bool was_named = named != unknown_parents_.end();
  if (was_named || !provenance_acyclic_) check_no_cycle(event.id, event.parent);

  // Allocate everything before anything visible changes, so that a failure
  // leaves the timeline exactly as it was.
  auto new_unknown = unknown_parents_.end();
  if (!event.parent.empty() && !is_known_near(known, event.parent)) {
    const auto [it, inserted] = unknown_parents_.insert(event.parent);
    if (inserted) new_unknown = it;
  }
  bool inserted = false;
  bool indexed = false;
  try {
    known = provenance_.emplace_hint(known, event.id, Known{event.parent});
    inserted = true;
    retained_known_.push_back(&known->second);
    indexed = true;
    event.sequence = next_sequence_;
    retained_.push_back(std::move(event));
  } catch (...) {
    if (indexed) retained_known_.pop_back();
    if (inserted) provenance_.erase(known);
    if (new_unknown != unknown_parents_.end()) unknown_parents_.erase(new_unknown);
    throw;
  }

  // Commit: nothing below allocates.
  known->second.oldest = &retained_.back();
  if (was_named) {
    unknown_parents_.erase(named);
    // Provenance stays acyclic (the walk saw to that), but an older record
    // of a restored duplicate may link to this id without provenance showing it.
    links_acyclic_ = false;
  }
  ++next_sequence_;
  while (retained_.size() > capacity_) pop_oldest();
}

bool Timeline::is_known_near(Provenance::const_iterator place, std::string_view id) const {
  // A parent is most often the id just before the new one: look there first.
  if (place != provenance_.begin() && std::prev(place)->first == id) return true;
  if (place != provenance_.end() && place->first == id) return true;
  return provenance_.find(id) != provenance_.end();
}

void Timeline::pop_oldest() noexcept {
  // The entries of the records that leave next were touched long ago; ask
  // for them now so that a later eviction does not wait for memory.
  constexpr std::size_t kAhead = 8;
  if (retained_known_.size() > kAhead) __builtin_prefetch(retained_known_[kAhead], 1);
  const TimelineEvent& oldest = retained_.front();
  Known& known = *retained_known_.front();
  assert(known.oldest == &oldest);  // the index always names the oldest record
  if (!known.evicted) ++evicted_count_;
  known.evicted = true;
  known.evicted_sequence = oldest.sequence;  // a later duplicate overwrites an earlier one
  // The first of the equal keys: they stand in the order they were restored.
  const auto later = duplicates_.lower_bound(std::string_view(oldest.id));
  if (later == duplicates_.end() || later->first != oldest.id) {
    known.oldest = nullptr;
  } else {
    known.oldest = later->second;
    duplicates_.erase(later);
  }
  retained_.pop_front();
  retained_known_.pop_front();
}

void Timeline::check_no_cycle(std::string_view id, std::string_view parent) const {
  // An acyclic chain passes each known id at most once. More steps than
  // known ids means the chain runs round a ring that restore_event let in.
  std::size_t steps = 0;
  std::string_view current = parent;
  while (!current.empty()) {
    if (current == id) throw std::invalid_argument(kProvenanceCycle);
    const auto it = provenance_.find(current);
    if (it == provenance_.end()) return;  // the chain leaves the known ids
    if (++steps > provenance_.size()) throw std::invalid_argument(kProvenanceCycle);
    current = it->second.parent;
  }
}

CausalTrace Timeline::build_causal_trace(std::string_view id) const {
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::not_found, {}};
  std::string_view current = id;  // views the argument, then retained parents
  while (!current.empty()) {
    const auto known = provenance_.find(current);
    const TimelineEvent* found = known == provenance_.end() ? nullptr : known->second.oldest;
    if (found == nullptr) {
      const bool gap =
          !trace.events.empty() || (known != provenance_.end() && known->second.evicted);
      trace.status = gap ? TraceStatus::retention_gap : TraceStatus::not_found;
      std::reverse(trace.events.begin(), trace.events.end());
      return trace;
    }
    // An acyclic chain finds each retained record at most once.
    if (trace.events.size() == retained_.size()) throw std::invalid_argument(kProvenanceCycle);
    trace.events.push_back(*found);
    current = found->parent;
  }
  trace.status = TraceStatus::complete;
  std::reverse(trace.events.begin(), trace.events.end());
  return trace;
}

std::optional<std::string_view> Timeline::provenance_parent(std::string_view id) const {
  const auto it = provenance_.find(id);
  if (it == provenance_.end()) return std::nullopt;
  return std::string_view(it->second.parent);
}

std::optional<std::uint64_t> Timeline::evicted_sequence(std::string_view id) const {
  const auto it = provenance_.find(id);
  if (it == provenance_.end() || !it->second.evicted) return std::nullopt;
  return it->second.evicted_sequence;
}

void Timeline::restore_event(TimelineEvent record) {
  retained_.push_back(std::move(record));  // has no effect if it throws
  TimelineEvent& placed = retained_.back();
  auto known = provenance_.lower_bound(placed.id);  // also where a new id goes
  const bool was_known = known != provenance_.end() && known->first == placed.id;
  const auto named = unknown_parents_.find(placed.id);
  // Only a record that gives a known id another link, or arrives after a
  // known event named it as a parent, can close a cycle.
  const bool may_close_cycle =
      was_known || named != unknown_parents_.end() || placed.parent == placed.id;

  auto new_unknown = unknown_parents_.end();
  auto new_duplicate = duplicates_.end();
  bool inserted = false;
  bool indexed = false;
  try {
    if (!placed.parent.empty() && placed.parent != placed.id &&
        !is_known_near(known, placed.parent)) {
      const auto [it, added] = unknown_parents_.insert(placed.parent);
      if (added) new_unknown = it;
    }
    if (!was_known) {
      known = provenance_.emplace_hint(known, placed.id, Known{placed.parent});
      inserted = true;
    }
    retained_known_.push_back(&known->second);
    indexed = true;
    if (!inserted && known->second.oldest != nullptr) {
      new_duplicate = duplicates_.emplace(std::string_view(placed.id), &placed);
    }
    if (!inserted) known->second.parent = placed.parent;  // the later record's parent wins
  } catch (...) {
    if (new_duplicate != duplicates_.end()) duplicates_.erase(new_duplicate);
    if (indexed) retained_known_.pop_back();
    if (inserted) provenance_.erase(known);
    if (new_unknown != unknown_parents_.end()) unknown_parents_.erase(new_unknown);
    retained_.pop_back();
    throw;
  }

  // Commit: nothing below allocates.
  if (known->second.oldest == nullptr) known->second.oldest = &placed;
  if (named != unknown_parents_.end()) unknown_parents_.erase(named);
  if (may_close_cycle) provenance_acyclic_ = links_acyclic_ = false;
}

void Timeline::verify_acyclic() {
  if (links_acyclic_) return;
  // The links as a graph: one edge from each record's id to its parent, and
  // one for each id no longer retained, grouped by id so that the edges of
  // an id are one run of `links`.
  struct Link {
    std::string_view id;
    std::string_view parent;
  };
  std::vector<Link> links;
  links.reserve(retained_.size());
  for (const TimelineEvent& e : retained_) links.push_back({e.id, e.parent});
  for (const auto& [id, known] : provenance_) {
    if (known.oldest == nullptr) links.push_back({id, known.parent});
  }
  std::sort(links.begin(), links.end(), [](const Link& a, const Link& b) { return a.id < b.id; });
  // An id stands for the first link of its run; `run_end` marks where it ends.
  std::vector<std::size_t> run_end(links.size());
  for (std::size_t i = links.size(); i-- > 0;) {
    const bool last = i + 1 == links.size() || links[i + 1].id != links[i].id;
    run_end[i] = last ? i + 1 : run_end[i + 1];
  }
  const auto node_of = [&links](std::string_view id) {
    const auto it = std::lower_bound(links.begin(), links.end(), id,
                                     [](const Link& l, std::string_view v) { return l.id < v; });
    return it != links.end() && it->id == id ? static_cast<std::size_t>(it - links.begin())
                                             : links.size();
  };

  // Depth-first search without recursion: a link back to an id still on the
  // path closes a cycle.
  enum : unsigned char { kUnseen, kOnPath, kDone };
  std::vector<unsigned char> state(links.size(), kUnseen);
  std::vector<std::pair<std::size_t, std::size_t>> path;  // node, next edge
  for (std::size_t start = 0; start < links.size(); start = run_end[start]) {
    if (state[start] != kUnseen) continue;
    state[start] = kOnPath;
    path.emplace_back(start, start);
    while (!path.empty()) {
      auto& [node, edge] = path.back();
      if (edge == run_end[node]) {
        state[node] = kDone;
        path.pop_back();
        continue;
      }
      const std::string_view parent = links[edge++].parent;
      if (parent.empty()) continue;  // a root, even where a record has the empty id
      const std::size_t next = node_of(parent);
      if (next == links.size()) continue;  // an unknown parent ends the chain
      if (state[next] == kOnPath) throw std::invalid_argument(kProvenanceCycle);
      if (state[next] == kUnseen) {
        state[next] = kOnPath;
        path.emplace_back(next, next);
      }
    }
  }
  provenance_acyclic_ = links_acyclic_ = true;
}

}  // namespace quorix
