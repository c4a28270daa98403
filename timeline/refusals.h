// Internal to the timeline core: the texts of refusals that more than one
// of its files raises.
#ifndef QUORIX_TIMELINE_REFUSALS_H_
#define QUORIX_TIMELINE_REFUSALS_H_

namespace quorix::internal {

// A parent link that would close a ring of causes.
inline constexpr const char kProvenanceCycle[] = "causal provenance cycle";

}  // namespace quorix::internal

#endif  // QUORIX_TIMELINE_REFUSALS_H_
