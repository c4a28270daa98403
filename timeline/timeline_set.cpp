#include <quorix/timeline/timeline_set.h>

#include <algorithm>
#include <deque>
#include <map>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "refusals.h"

namespace quorix {
namespace {

constexpr const char kConflict[] = "timeline id held by two timelines";
constexpr const char kNullTimeline[] = "timeline set member is null";

// Refuses the first id (in the order of the timelines and their windows)
// that a later timeline also retains.
void refuse_conflicts(const std::vector<const Timeline*>& timelines) {
  for (std::size_t i = 0; i + 1 < timelines.size(); ++i) {
    for (const EventView record : timelines[i]->retained_events()) {
      if (record.id.empty()) continue;  // no parent names it, and no trace reaches it
      for (std::size_t j = i + 1; j < timelines.size(); ++j) {
        if (timelines[j]->oldest_retained(record.id)) {
          throw TimelineConflict(std::string(record.id), i, j);
        }
      }
    }
  }
}

}  // namespace

TimelineConflict::TimelineConflict(std::string id, std::size_t first, std::size_t second)
    : std::invalid_argument(kConflict), id_(std::move(id)), first_(first), second_(second) {}

TimelineSet::TimelineSet(std::vector<const Timeline*> timelines)
    : timelines_(std::move(timelines)) {
  if (std::find(timelines_.begin(), timelines_.end(), nullptr) != timelines_.end()) {
    throw std::invalid_argument(kNullTimeline);
  }
  if (timelines_.size() < 2) return;  // one timeline holds no ring of causes
  refuse_conflicts(timelines_);
  // A ring of causes through several timelines leaves one of them at a
  // record whose parent another holds. From each such record the chain is
  // walked up until it reaches a root, an id nobody holds, or a record an
  // earlier walk passed (whose chain is known to end); meeting the current
  // walk's own path again is a ring. Each record is walked at most once.
  std::unordered_set<std::string_view> ended;
  std::unordered_set<std::string_view> path;
  for (const Timeline* timeline : timelines_) {
    for (const EventView start : timeline->retained_events()) {
      if (start.parent.empty() || timeline->oldest_retained(start.parent)) continue;
      std::optional<EventView> at = start;
      while (at && !ended.contains(at->id)) {
        if (!path.insert(at->id).second) throw std::invalid_argument(internal::kProvenanceCycle);
        const std::optional<std::size_t> next = holder(at->parent);
        at = next ? timelines_[*next]->oldest_retained(at->parent) : std::nullopt;
      }
      ended.merge(path);
      path.clear();
    }
  }
}

std::optional<std::size_t> TimelineSet::holder(std::string_view id) const noexcept {
  if (id.empty()) return std::nullopt;
  for (std::size_t i = 0; i < timelines_.size(); ++i) {
    if (timelines_[i]->oldest_retained(id)) return i;
  }
  return std::nullopt;
}

CausalTrace TimelineSet::build_causal_trace(std::string_view id) const {
  if (timelines_.size() == 1) return timelines_[0]->build_causal_trace(id);
  CausalTrace trace{kCausalTraceSchema, std::string(id), TraceStatus::complete, {}};
  if (id.empty()) return trace;
  // The parts of the chain, the requested id's first: each is one
  // timeline's trace, ending where that timeline lacks the parent.
  std::vector<std::vector<TimelineEvent>> parts;
  std::size_t found = 0;
  const std::size_t retained = std::accumulate(
      timelines_.begin(), timelines_.end(), std::size_t{0},
      [](std::size_t n, const Timeline* t) { return n + t->retained_events().size(); });
  std::string current(id);
  for (;;) {
    const std::optional<std::size_t> at = holder(current);
    if (!at) {
      const bool evicted =
          std::any_of(timelines_.begin(), timelines_.end(),
                      [&](const Timeline* t) { return t->evicted_sequence(current).has_value(); });
      trace.status = found != 0 || evicted ? TraceStatus::retention_gap : TraceStatus::not_found;
      break;
    }
    CausalTrace part = timelines_[*at]->build_causal_trace(current);
    found += part.events.size();
    // Timelines changed behind the set's back could hold a ring.
    if (found > retained) throw std::invalid_argument(internal::kProvenanceCycle);
    parts.push_back(std::move(part.events));
    if (part.status == TraceStatus::complete) break;
    current = parts.back().front().parent;
  }
  trace.events.reserve(found);
  std::for_each(parts.rbegin(), parts.rend(), [&trace](std::vector<TimelineEvent>& part) {
    std::move(part.begin(), part.end(), std::back_inserter(trace.events));
  });
  return trace;
}

CausalEffects TimelineSet::build_causal_effects(std::string_view id) const {
  if (timelines_.size() == 1) return timelines_[0]->build_causal_effects(id);
  CausalEffects effects{kCausalEffectsSchema, std::string(id), TraceStatus::not_found, {}};
  if (id.empty()) return effects;

  // An event found, where, and in what order it was found.
  struct Found {
    EffectEvent effect;
    std::size_t timeline;
  };
  std::deque<Found> found;  // stable: `seen` holds views of its ids
  std::map<std::tuple<std::size_t, std::uint64_t, std::string_view>, std::size_t> seen;
  // The ids whose descendants in the other timelines are still to be
  // asked for: a found event (its index), or the requested id itself.
  struct Query {
    std::string_view id;
    std::uint64_t depth;
    std::optional<std::size_t> listed;  // the index of its record, when listed
    std::optional<std::size_t> skip;    // the timeline it was found in
  };
  std::deque<Query> queries;
  bool known = false;
  bool gap = false;

  // Adds one timeline's answer for `query`: its events below the query's
  // id, each caused by its own listed cause, or by the query's record.
  const auto add = [&](const Query& query, std::size_t t, CausalEffects&& answer) {
    if (answer.status == TraceStatus::not_found) return;
    known = true;
    std::vector<std::size_t> index(answer.events.size());
    for (std::size_t m = 0; m < answer.events.size(); ++m) {
      EffectEvent& e = answer.events[m];
      const std::uint64_t above = e.cause ? answer.events[*e.cause].depth : 0;
      // The query's id is listed, or held by the answering timeline, or
      // (not held at all) already counted as a gap.
      if (e.depth > above + 1) gap = true;
      const std::optional<std::size_t> cause =
          e.cause ? std::optional(index[*e.cause]) : query.listed;
      const auto key = std::tuple(t, e.event.sequence, std::string_view(e.event.id));
      if (const auto it = seen.find(key); it != seen.end()) {
        // Reached again from another timeline's id on the same chain (one
        // that a timeline evicted and another holds): the deeper listed
        // cause is the nearer one.
        index[m] = it->second;
        std::optional<std::size_t>& kept = found[it->second].effect.cause;
        if (cause && (!kept || found[*cause].effect.depth > found[*kept].effect.depth))
          kept = cause;
        continue;
      }
      index[m] = found.size();
      const std::uint64_t depth = query.depth + e.depth;
      found.push_back({{std::move(e.event), depth, cause}, t});
      const Found& added = found.back();
      seen.emplace(
          std::tuple(t, added.effect.event.sequence, std::string_view(added.effect.event.id)),
          index[m]);
      queries.push_back({added.effect.event.id, depth, index[m], t});
    }
  };

  const std::optional<std::size_t> home = holder(id);
  if (home) {
    CausalEffects answer = timelines_[*home]->build_causal_effects(id);
    if (answer.status == TraceStatus::retention_gap) gap = true;
    add({id, 0, std::nullopt, std::nullopt}, *home, std::move(answer));
  } else {
    gap = true;
    queries.push_back({id, 0, std::nullopt, std::nullopt});
  }
  // Each found id is asked for in the other timelines, whose answers hold
  // no record of it (the set refuses an id held twice), only descendants.
  while (!queries.empty()) {
    const Query query = queries.front();
    queries.pop_front();
    for (std::size_t t = 0; t < timelines_.size(); ++t) {
      if (t == query.skip) continue;
      add(query, t, timelines_[t]->build_causal_effects(query.id));
    }
  }
  if (!known) return effects;
  effects.status = gap ? TraceStatus::retention_gap : TraceStatus::complete;

  // Ordered by depth, then sequence, then timeline; each timeline's own
  // answers keep its order (the window's, for equal sequences).
  std::vector<std::size_t> order(found.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&found](std::size_t a, std::size_t b) {
    const Found& x = found[a];
    const Found& y = found[b];
    return std::tuple(x.effect.depth, x.effect.event.sequence, x.timeline) <
           std::tuple(y.effect.depth, y.effect.event.sequence, y.timeline);
  });
  std::vector<std::size_t> rank(found.size());
  for (std::size_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
  effects.events.reserve(found.size());
  for (const std::size_t f : order) {
    EffectEvent& e = found[f].effect;
    if (e.cause) e.cause = rank[*e.cause];
    effects.events.push_back(std::move(e));
  }
  return effects;
}

}  // namespace quorix
