// A timeline that many threads append to at once, while others read it.
//
//   quorix::SharedTimeline timeline(65536);
//   // on any thread:
//   std::uint64_t n = timeline.append(std::move(event));  // or throws its refusal
//   quorix::CausalTrace trace = timeline.build_causal_trace("reply");
//   quorix::Timeline copy = timeline.copy_window();  // e.g. for a snapshot
//
//   // or, on a thread that appends many events, in batches:
//   quorix::SharedTimeline::Producer producer(timeline, [](auto refusal) { log(refusal); });
//   producer.append(std::move(event));  // held, appended with the next 63
//   producer.flush();                   // appends what is held
//
// Every operation acts on the one timeline inside, one at a time, in an
// order that the sequence numbers give: appends are numbered in the order
// they took effect, so each thread's own accepted events are numbered in the
// order it appended them, and every answer is that of the timeline after
// some prefix of the appends in that order. An event whose parent another
// thread is appending at the same moment is taken as the timeline takes a
// child that arrives before its parent. Each refusal is the one
// Timeline::append gives, thrown to the thread that appended (or, through a
// Producer, handed to its sink).
//
// Readers hold appends up only for what they copy: a trace or effects for
// the time they take (the lookups and the copies of the events they
// return); copy_window a few records at a time, never the whole window at
// once, and it lets appends waiting for the lock go first between batches,
// so appends go on while a large window is copied and written.
#ifndef QUORIX_TIMELINE_SHARED_TIMELINE_H_
#define QUORIX_TIMELINE_SHARED_TIMELINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix {

class SharedTimeline {
 public:
  class Producer;

  // An event that a Producer's flush did not append, and why.
  struct Refusal {
    TimelineEvent event;
    std::exception_ptr error;  // what SharedTimeline::append would have thrown
    // The error's message.
    std::string what() const;
  };

  // An empty timeline of `capacity`, as Timeline(capacity), which it refuses
  // alike.
  explicit SharedTimeline(std::uint64_t capacity);
  // Takes `timeline` over, restored records and all.
  explicit SharedTimeline(Timeline timeline) noexcept;

  SharedTimeline(const SharedTimeline&) = delete;
  SharedTimeline& operator=(const SharedTimeline&) = delete;
  // Requires that no call on it is running, and no Producer of it is left.
  ~SharedTimeline();

  // Timeline::append from any thread; returns the event's sequence number.
  // Refuses what Timeline::append refuses, with the same exception, before
  // anything changed. Cost: Timeline::append, plus taking a lock (waiting
  // for it awake, spinning, then yielding its core, for up to 2 ms before
  // sleeping), plus copying the records this append evicts that a
  // copy_window running meanwhile has not copied yet (one, but for a
  // timeline restored over its capacity, whose first append evicts down to
  // it).
  std::uint64_t append(TimelineEvent event);

  // Timeline::build_causal_trace and build_causal_effects, from any thread,
  // for the timeline as it is between two appends. Appends wait while they
  // run. Refuse what those refuse.
  CausalTrace build_causal_trace(std::string_view id) const;
  CausalEffects build_causal_effects(std::string_view id) const;

  // A timeline holding what a snapshot would hold of this one after some
  // prefix of the appends: its capacity, its next sequence number and its
  // retained records, restored (no evicted ids). Copies at most 64 records
  // per turn of the lock, with memcpy into memory it made ready outside the
  // lock, and lets waiting appends take the lock between turns, so appends
  // wait microseconds, not for the whole window; an append that would evict
  // a record not yet copied copies it first. Copies run one at a time.
  // Throws std::bad_alloc, changing nothing, when memory for the copies runs
  // out (an append that meets it goes on, unharmed). Cost: copying the
  // window's bytes, then restoring them, outside the lock; memory: the
  // bytes and a view per record while restoring.
  Timeline copy_window() const;

  // The next sequence number, and the events retained: as Timeline's, at one
  // moment.
  std::uint64_t next_sequence() const;
  std::uint64_t size() const;

 private:
  struct Capture;
  // Takes lock_ for an append, counting it in waiting_ while it waits.
  void lock_for_append();
  // Appends `event` with lock_ held, copying for the capture what it evicts.
  void append_locked(const TimelineEvent& event);
  // Appends `events` in one turn of the lock; those refused are moved to
  // `refused`, which has room for them all.
  void append_batch(std::vector<TimelineEvent>& events, std::vector<Refusal>& refused);

  mutable std::mutex lock_;      // guards timeline_ and capture_
  mutable std::mutex copying_;   // one copy_window at a time
  std::atomic<int> waiting_{0};  // appends waiting for lock_
  Timeline timeline_;
  mutable Capture* capture_ = nullptr;  // the copy_window running, if any
};

// A thread's batching handle on a SharedTimeline. It holds the events
// appended to it and appends up to `batch` of them in one turn of the lock,
// which costs less per event than SharedTimeline::append, most of all when
// several threads append at once.
//
// Its refusals come later than the call: an event that Timeline::append
// refuses (or fails to store for want of memory) is handed, with the
// exception append would have thrown, to the sink, on the thread that
// flushes, after the lock is let go, in the order the events were appended.
// No event is lost: each one held is either appended or handed to the sink.
// Held events are not in the timeline yet: readers see them after the flush.
//
// One thread uses a Producer at a time; its SharedTimeline must outlive it.
class SharedTimeline::Producer {
 public:
  using Sink = std::function<void(Refusal)>;

  // Refuses a batch of 0 and an empty sink: std::invalid_argument("producer
  // batch must be positive"), std::invalid_argument("producer needs a refusal
  // sink"). Allocates room for `batch` events.
  Producer(SharedTimeline& shared, Sink sink, std::size_t batch = 64);
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;
  // Flushes. What that flush throws (memory exhausted, or the sink) ends the
  // program, since dropping the events would lose them silently: call
  // flush() first to handle it.
  ~Producer();

  // Holds `event`, then flushes once `batch` are held. Throws what flush()
  // throws, the event held then; or std::bad_alloc, not holding it, when
  // memory to hold it runs out (only after a flush failed).
  void append(TimelineEvent event);

  // Appends every event held, in one turn of the lock, then hands the
  // refused ones to the sink. Throws std::bad_alloc before appending
  // anything, keeping every event held; or what the sink throws, keeping
  // the refusals not yet handed over for the next flush. Cost: the appends,
  // plus moving each refused event twice.
  void flush();

  // How many events are held.
  std::size_t held() const noexcept { return held_.size(); }

 private:
  SharedTimeline& shared_;
  Sink sink_;
  std::size_t batch_;
  std::vector<TimelineEvent> held_;
  std::vector<Refusal> refused_;  // not yet handed to the sink
  std::size_t handed_ = 0;        // refused_[0, handed_) were
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_SHARED_TIMELINE_H_
