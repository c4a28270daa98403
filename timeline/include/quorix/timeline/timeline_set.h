// Several timelines answered as one, without copying them into one: the
// timelines of several processes, whose events name parents that another
// of them holds (a request enters one service and its effects run in
// others).
//
//   quorix::TimelineSet set({&front_end, &worker});
//   quorix::CausalTrace trace = set.build_causal_trace("reply");
//   // events from both timelines, the input first and "reply" last
//
// An id is held by a timeline that retains a record of it. Each id is held
// by at most one timeline of a set (the set refuses more), so every answer
// has one place to look for each id. Evicted ids stay with the timeline that
// evicted them: they make a trace end in a gap, as in one timeline.
#ifndef QUORIX_TIMELINE_TIMELINE_SET_H_
#define QUORIX_TIMELINE_TIMELINE_SET_H_

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>

namespace quorix {

// An id retained by two timelines of a set. what() is "timeline id held by
// two timelines"; id(), first() and second() say which id and which two
// timelines (their indices in the set, first() < second()).
class TimelineConflict : public std::invalid_argument {
 public:
  TimelineConflict(std::string id, std::size_t first, std::size_t second);
  const std::string& id() const noexcept { return id_; }
  std::size_t first() const noexcept { return first_; }
  std::size_t second() const noexcept { return second_; }

 private:
  std::string id_;
  std::size_t first_;
  std::size_t second_;
};

// Read-only views of several timelines. The timelines must outlive the set
// and must not change while it is used; the set copies no event. Const
// operations may run from several threads at once.
class TimelineSet {
 public:
  // A set of `timelines`, in this order (any number, none included).
  // Refuses a null one: std::invalid_argument("timeline set member is
  // null"). Refuses a non-empty id retained by two of them: TimelineConflict
  // for the first such id in the order of the timelines and their windows
  // (a record with the empty id, which a snapshot may hold, is nobody's
  // parent and is held by no timeline: see holder).
  // Refuses parents that close a cycle through several timelines:
  // std::invalid_argument("causal provenance cycle").
  // Cost: for one timeline, O(1); for k, one hash lookup in each other
  // timeline per retained record, and a walk that visits each record at
  // most once, with a hash set of the ids whose parent another timeline
  // holds.
  explicit TimelineSet(std::vector<const Timeline*> timelines);

  std::size_t size() const noexcept { return timelines_.size(); }
  const Timeline& operator[](std::size_t index) const noexcept { return *timelines_[index]; }

  // The index of the timeline that retains `id`, or nullopt when none does
  // (the empty id included). Cost: one hash lookup per timeline.
  std::optional<std::size_t> holder(std::string_view id) const noexcept;

  // The chain of retained events that caused `id`, root-most first, across
  // the timelines: each part of the chain comes from the timeline that holds
  // it, and a parent that one timeline lacks is looked for in the others.
  // The status is that of one timeline holding them all: complete at an
  // empty parent; retention_gap at an id that none holds, once an event was
  // found or when some timeline evicted `id` itself; else not_found. For a
  // set of one timeline it equals that timeline's trace. Never refuses.
  // Cost: one trace in the holding timeline per part, plus one lookup in
  // each timeline per part, plus copying the events.
  CausalTrace build_causal_trace(std::string_view id) const;

  // The retained events whose chain of parents leads to `id`, across the
  // timelines, ordered and numbered as CausalEffects says (equal depths and
  // sequences in the order of the timelines). Each timeline is asked for the
  // descendants of `id` and of every event found in another, so a chain may
  // pass from one timeline to another any number of times. An id that a
  // timeline evicted links descendants only where its parent is known: in
  // that timeline. The status is retention_gap when `id`, or an id between
  // it and a listed event, is held by no timeline; not_found when no
  // timeline knows `id` and nothing descends from it; else complete. For a
  // set of one timeline it equals that timeline's effects. Never refuses.
  // Cost: an effects query in each other timeline for `id` and for each
  // event found (a hash lookup where nothing descends), plus sorting and
  // copying the events.
  CausalEffects build_causal_effects(std::string_view id) const;

 private:
  std::vector<const Timeline*> timelines_;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_SET_H_
