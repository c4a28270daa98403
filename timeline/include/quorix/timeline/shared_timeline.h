// A timeline that many threads append to at once, while others read it.
//
//   quorix::SharedTimeline timeline(65536);
//   // on any thread:
//   std::uint64_t n = timeline.append(std::move(event));  // or throws its refusal
//   quorix::CausalTrace trace = timeline.build_causal_trace("reply");
//   quorix::Timeline copy = timeline.copy_window();  // e.g. for a snapshot
//
// Every operation acts on the one timeline inside, one at a time, in an
// order that the sequence numbers give: appends are numbered in the order
// they took effect, so each thread's own accepted events are numbered in the
// order it appended them, and every answer is that of the timeline after
// some prefix of the appends in that order. An event whose parent another
// thread is appending at the same moment is taken as the timeline takes a
// child that arrives before its parent. Each refusal is the one
// Timeline::append gives, thrown to the thread that appended.
//
// Readers hold appends up only for what they copy: a trace or effects for
// the time they take (the lookups and the copies of the events they
// return); copy_window a few records at a time, never the whole window at
// once, so appends go on while a large window is copied and written.
#ifndef QUORIX_TIMELINE_SHARED_TIMELINE_H_
#define QUORIX_TIMELINE_SHARED_TIMELINE_H_

#include <cstdint>
#include <mutex>
#include <string_view>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

class SharedTimeline {
 public:
  // An empty timeline of `capacity`, as Timeline(capacity), which it refuses
  // alike.
  explicit SharedTimeline(std::uint64_t capacity);
  // Takes `timeline` over, restored records and all.
  explicit SharedTimeline(Timeline timeline) noexcept;

  SharedTimeline(const SharedTimeline&) = delete;
  SharedTimeline& operator=(const SharedTimeline&) = delete;
  ~SharedTimeline();

  // Timeline::append from any thread; returns the event's sequence number.
  // Refuses what Timeline::append refuses, with the same exception, before
  // anything changed. Cost: Timeline::append, plus taking a lock (spinning up to some 20 us for it
  // before sleeping), plus copying the oldest record when a copy_window running meanwhile has not
  // yet copied the record that this append evicts.
  std::uint64_t append(TimelineEvent event);

  // Timeline::build_causal_trace and build_causal_effects, from any thread,
  // for the timeline as it is between two appends. Appends wait while they
  // run. Refuse what those refuse.
  CausalTrace build_causal_trace(std::string_view id) const;
  CausalEffects build_causal_effects(std::string_view id) const;

  // A timeline holding what a snapshot would hold of this one after some
  // prefix of the appends: its capacity, its next sequence number and its
  // retained records, restored (no evicted ids). Copies at most 64 records
  // per turn of the lock, so appends wait microseconds, not for the whole
  // window; an append that would evict a record not yet copied copies it
  // first. Copies run one at a time. Cost: copying the window, then
  // restoring it, outside the lock; memory: the copies of its events.
  Timeline copy_window() const;

  // The next sequence number, and the events retained: as Timeline's, at one
  // moment.
  std::uint64_t next_sequence() const;
  std::uint64_t size() const;

 private:
  struct Capture;
  mutable std::mutex lock_;     // guards timeline_ and capture_
  mutable std::mutex copying_;  // one copy_window at a time
  Timeline timeline_;
  mutable Capture* capture_ = nullptr;  // the copy_window running, if any
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_SHARED_TIMELINE_H_
