#include "timeline/timeline.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quorix {
namespace {

constexpr const char kCapacityNotPositive[] = "timeline capacity must be positive";
constexpr const char kIdNotUnique[] = "timeline event id must be unique";
constexpr const char kProvenanceCycle[] = "causal provenance cycle";

}  // namespace

Timeline::Timeline(std::uint64_t capacity) : capacity_(capacity) {
  if (capacity_ == 0) throw std::invalid_argument(kCapacityNotPositive);
}

void Timeline::append(TimelineEvent event) {
  // Checks: these only read, so a refusal leaves the timeline as it was.
  if (event.id.empty() || provenance_.find(event.id) != provenance_.end()) {
    throw std::invalid_argument(kIdNotUnique);
  }
  if (event.parent == event.id) throw std::invalid_argument(kProvenanceCycle);
  check_no_cycle(event.id, event.parent);

  // Allocate everything the append needs before anything visible changes, so
  // that an allocation failure leaves the timeline exactly as it was: the
  // entries for the ids that leave the window are built in a map of their
  // own and spliced in once nothing can fail any more.
  const std::uint64_t held = retained_.size();
  const std::uint64_t excess = held >= capacity_ ? held + 1 - capacity_ : 0;
  Evicted leaving;
  for (std::uint64_t i = 0; i < excess; ++i) {
    const TimelineEvent& oldest = retained_[static_cast<std::size_t>(i)];
    leaving.insert_or_assign(oldest.id, oldest.sequence);  // a later duplicate wins
  }
  const auto known = provenance_.try_emplace(event.id, event.parent).first;
  event.sequence = next_sequence_;
  try {
    retained_.push_back(std::move(event));
  } catch (...) {
    provenance_.erase(known);
    throw;
  }

  // Commit: nothing below allocates.
  ++next_sequence_;
  for (std::uint64_t i = 0; i < excess; ++i) retained_.pop_front();
  evicted_.merge(leaving);
  // What merge left behind are ids evicted before: they take the new number.
  for (auto& [id, sequence] : leaving) evicted_.find(id)->second = sequence;
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
    current = it->second;
  }
}

CausalTrace Timeline::build_causal_trace(std::string_view id) const {
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::not_found, {}};
  std::string_view current = id;  // views the argument, then retained parents
  while (!current.empty()) {
    const auto found = std::find_if(retained_.begin(), retained_.end(),
                                    [current](const TimelineEvent& e) { return e.id == current; });
    if (found == retained_.end()) {
      const bool gap = !trace.events.empty() || evicted_.find(current) != evicted_.end();
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

void Timeline::verify_acyclic() const {
  // The links as a graph: one edge from each record's id to its parent,
  // grouped by id so that the edges of an id are one run of `links`.
  struct Link {
    std::string_view id;
    std::string_view parent;
  };
  std::vector<Link> links;
  links.reserve(retained_.size());
  for (const TimelineEvent& e : retained_) links.push_back({e.id, e.parent});
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
}

std::optional<std::string_view> Timeline::provenance_parent(std::string_view id) const {
  const auto it = provenance_.find(id);
  if (it == provenance_.end()) return std::nullopt;
  return std::string_view(it->second);
}

std::optional<std::uint64_t> Timeline::evicted_sequence(std::string_view id) const {
  const auto it = evicted_.find(id);
  if (it == evicted_.end()) return std::nullopt;
  return it->second;
}

void Timeline::restore_event(TimelineEvent record) {
  retained_.push_back(std::move(record));
  const TimelineEvent& placed = retained_.back();
  try {
    provenance_.insert_or_assign(placed.id, placed.parent);
  } catch (...) {
    retained_.pop_back();  // string assignment and map insertion have no effect when they throw
    throw;
  }
}

}  // namespace quorix
