// What one event caused: the retained events that descend from it.
//
// A CausalEffects is a self-contained value, like a CausalTrace: it holds
// copies of the events it found, so later appends to or evictions from the
// timeline never change it.
//
//   quorix::CausalEffects effects = timeline.build_causal_effects("input");
//   for (const quorix::EffectEvent& e : effects.events) {
//     // e.depth hops below "input"; e.cause indexes the nearest listed cause
//   }
#ifndef QUORIX_TIMELINE_CAUSAL_EFFECTS_H_
#define QUORIX_TIMELINE_CAUSAL_EFFECTS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

// The identifier that every effects result built by a Timeline carries.
inline constexpr const char kCausalEffectsSchema[] = "quorix-causal-effects/1";

// One event found below the requested id.
struct EffectEvent {
  TimelineEvent event;
  // Hops from the requested id: 0 for its own record, 1 for an event it
  // caused directly, and so on, counting ids that are no longer retained.
  std::uint64_t depth = 0;
  // The index in CausalEffects::events of the nearest event listed on this
  // one's chain toward the requested id: its parent's record when that is
  // retained, else the first retained ancestor's. None for the requested
  // id's own record and for an event with no listed ancestor.
  std::optional<std::size_t> cause;

  friend bool operator==(const EffectEvent&, const EffectEvent&) = default;
};

// The events whose chain of parents leads to `root_id`, and how the search
// ended. Events come each after its cause, ordered by depth, then by
// sequence, then (for equal sequences, which only restored records can
// have) by their order in the window. `status` is not_found when the
// timeline knows nothing of the id (never accepted or restored, and no
// retained event descends from it); retention_gap when the id itself, or
// an id between it and a listed event, is not retained; complete
// otherwise.
struct CausalEffects {
  std::string schema;
  std::string root_id;
  TraceStatus status = TraceStatus::not_found;
  std::vector<EffectEvent> events;

  friend bool operator==(const CausalEffects&, const CausalEffects&) = default;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_CAUSAL_EFFECTS_H_
