// Helpers that build events for the tests.
#ifndef QUORIX_TESTS_TEST_EVENTS_H_
#define QUORIX_TESTS_TEST_EVENTS_H_

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix::testing {

// An event with the given id and parent and distinguishable other fields.
inline TimelineEvent Event(std::string_view id, std::string_view parent = {}) {
  TimelineEvent e;
  e.id = std::string(id);
  e.parent = std::string(parent);
  e.kind = "kind-" + e.id;
  e.entity_id = "entity";
  e.clock_domain = "clock";
  e.message = "message of " + e.id;
  e.wall_time_ns = 1000;
  e.model_time = 7;
  return e;
}

// The ids of `events`, in order.
template <typename Events>
std::vector<std::string> Ids(const Events& events) {
  std::vector<std::string> ids;
  ids.reserve(events.size());
  for (const auto& e : events) ids.emplace_back(e.id);
  return ids;
}

// The message of the std::invalid_argument that `f` throws, or "none".
template <typename F>
std::string InvalidArgument(F f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "none";
}

inline std::vector<std::string> RetainedIds(const Timeline& t) { return Ids(t.retained_events()); }

}  // namespace quorix::testing

#endif  // QUORIX_TESTS_TEST_EVENTS_H_
