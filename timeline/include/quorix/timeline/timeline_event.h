// The event record that a causal timeline keeps.
//
// A TimelineEvent is a plain value: six byte strings and three unsigned 64-bit
// numbers. It checks nothing itself; the Timeline that takes it decides which
// ids and parents are acceptable. Strings are bytes of any value, a zero byte
// included.
//
//   quorix::TimelineEvent event;
//   event.id = "infer";
//   event.parent = "message";
//   event.clock_domain = "transformer";
//   timeline.append(std::move(event));  // the timeline assigns `sequence`
#ifndef QUORIX_TIMELINE_TIMELINE_EVENT_H_
#define QUORIX_TIMELINE_TIMELINE_EVENT_H_

#include <cstdint>
#include <string>

namespace quorix {

// One event of a causal timeline. Copying copies all nine fields; moving
// moves the strings. An empty `parent` marks a root: an input from outside.
struct TimelineEvent {
  std::string id;                  // unique within one timeline, never empty there
  std::string kind;                // e.g. "external_input", "message", "inference"
  std::string entity_id;           // where the event happened
  std::string clock_domain;        // the clock that counts `model_time`
  std::string parent;              // id of the causing event; empty for a root
  std::string message;             // free text
  std::uint64_t sequence = 0;      // set by the timeline on append; 1, 2, ...
  std::uint64_t wall_time_ns = 0;  // wall-clock time in nanoseconds
  std::uint64_t model_time = 0;    // time on `clock_domain`; never compared

  friend bool operator==(const TimelineEvent&, const TimelineEvent&) = default;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_EVENT_H_
