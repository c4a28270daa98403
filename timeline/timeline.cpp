#include "timeline/timeline.h"

#include <stdexcept>
#include <utility>

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
  std::string_view current = parent;
  while (!current.empty()) {
    if (current == id) throw std::invalid_argument(kProvenanceCycle);
    const auto it = provenance_.find(current);
    if (it == provenance_.end()) return;  // the chain leaves the known ids
    current = it->second;
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
