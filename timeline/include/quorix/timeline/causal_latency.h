// How long each causal hop took: the steps of wall time (and of model time,
// within one clock domain) along a trace, or along the critical path of an
// event's effects.
//
//   quorix::CausalPath path = quorix::trace_latency(timeline.build_causal_trace("reply"));
//   // path.hops.front() is the root-most event, path.total_ns its distance to the last
//
// Times are unsigned 64-bit counts that need not grow along a chain (clocks
// of different machines, a clock set back): a step is a signed difference
// of two of them, kept as a sign and a magnitude, so that it never wraps.
#ifndef QUORIX_TIMELINE_CAUSAL_LATENCY_H_
#define QUORIX_TIMELINE_CAUSAL_LATENCY_H_

#include <cstdint>
#include <optional>
#include <vector>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

// `to` minus `from`, exactly: 0 is never negative.
struct TimeStep {
  bool negative = false;
  std::uint64_t magnitude = 0;

  static TimeStep between(std::uint64_t from, std::uint64_t to) noexcept {
    return to >= from ? TimeStep{false, to - from} : TimeStep{true, from - to};
  }
  friend bool operator==(const TimeStep&, const TimeStep&) = default;
};

// One event on a path, with its steps from the event before it.
struct LatencyHop {
  TimelineEvent event;
  // wall_time_ns minus its parent's; none for the first hop and for a hop
  // whose parent is not on the path (it is not retained).
  std::optional<TimeStep> wall_step_ns;
  // model_time minus its parent's when the parent is on the path and both
  // have the same clock_domain; none otherwise, as model times of two
  // domains do not compare.
  std::optional<TimeStep> model_step;
  // wall_time_ns minus the first hop's.
  TimeStep since_root_ns;

  friend bool operator==(const LatencyHop&, const LatencyHop&) = default;
};

// A chain of events, root-most first, and the wall time from its first to
// its last (0 for fewer than two).
struct CausalPath {
  std::vector<LatencyHop> hops;
  TimeStep total_ns;

  friend bool operator==(const CausalPath&, const CausalPath&) = default;
};

// The hops of `trace`, in its order. Cost: linear in the trace.
CausalPath trace_latency(const CausalTrace& trace);

// The critical path of `effects`: the chain of listed events from the
// root-most one to the latest descendant (the greatest wall_time_ns among
// the events below the requested id; of several, the lowest sequence),
// following each event's `cause`. With no descendant it is the requested
// id's own record alone, or empty. Cost: linear in the events.
CausalPath critical_path(const CausalEffects& effects);

}  // namespace quorix

#endif  // QUORIX_TIMELINE_CAUSAL_LATENCY_H_
