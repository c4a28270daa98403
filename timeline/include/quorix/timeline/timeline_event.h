// The event record that a causal timeline keeps, and a read-only view of one.
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
//
// An EventView has the same nine fields as views: what a timeline hands out
// for the records it retains, without copying them.
#ifndef QUORIX_TIMELINE_TIMELINE_EVENT_H_
#define QUORIX_TIMELINE_TIMELINE_EVENT_H_

#include <cstdint>
#include <string>
#include <string_view>

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

// The nine fields of an event as views into bytes someone else owns: valid
// only as long as those bytes are (for a retained record, until its timeline
// next changes). Compares equal to an event with the same fields.
struct EventView {
  std::string_view id;
  std::string_view kind;
  std::string_view entity_id;
  std::string_view clock_domain;
  std::string_view parent;
  std::string_view message;
  std::uint64_t sequence = 0;
  std::uint64_t wall_time_ns = 0;
  std::uint64_t model_time = 0;

  EventView() = default;
  // Views of `event`'s fields; `event` must outlive the view.
  EventView(const TimelineEvent& event) noexcept  // NOLINT(google-explicit-constructor)
      : id(event.id),
        kind(event.kind),
        entity_id(event.entity_id),
        clock_domain(event.clock_domain),
        parent(event.parent),
        message(event.message),
        sequence(event.sequence),
        wall_time_ns(event.wall_time_ns),
        model_time(event.model_time) {}

  // A copy that owns its strings.
  TimelineEvent to_event() const {
    TimelineEvent event;
    copy_to(event);
    return event;
  }

  // Sets every field of `event` to a copy of this view's, reusing the room
  // its strings have. A failed allocation leaves `event` partly set.
  void copy_to(TimelineEvent& event) const {
    event.id.assign(id);
    event.kind.assign(kind);
    event.entity_id.assign(entity_id);
    event.clock_domain.assign(clock_domain);
    event.parent.assign(parent);
    event.message.assign(message);
    event.sequence = sequence;
    event.wall_time_ns = wall_time_ns;
    event.model_time = model_time;
  }

  friend bool operator==(const EventView&, const EventView&) = default;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TIMELINE_EVENT_H_
