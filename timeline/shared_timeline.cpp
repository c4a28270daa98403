#include <quorix/timeline/shared_timeline.h>

#include <algorithm>
#include <cassert>
#include <thread>
#include <utility>
#include <vector>

namespace quorix {
namespace {

// Records copied per turn of the lock: few enough that an append waits a
// few microseconds at most behind a copy.
constexpr std::size_t kCopyBatch = 64;

}  // namespace

// A copy_window under way. Its cut is the moment it began: the `window`
// records retained then, oldest first, of which appends have since evicted
// the first `evicted`. `taken` holds copies of the first taken.size() of
// them; an append copies a record before it evicts it, so taken.size() >=
// evicted always, and the rest are still retained, in the window's order.
struct SharedTimeline::Capture {
  std::size_t window = 0;
  std::size_t evicted = 0;
  std::vector<TimelineEvent> taken;
  // Record number `cursor_at` of the cut, where the copy goes on, as long as
  // no append took records meanwhile (then cursor_at != taken.size()).
  // It stays valid across appends, since its record stays retained.
  EventWindow::const_iterator cursor;
  std::size_t cursor_at = 0;
};

SharedTimeline::SharedTimeline(std::uint64_t capacity) : timeline_(capacity) {}

SharedTimeline::SharedTimeline(Timeline timeline) noexcept : timeline_(std::move(timeline)) {}

SharedTimeline::~SharedTimeline() { assert(capture_ == nullptr); }  // no copy outlives it

namespace {

// Takes `lock`, spinning a little first: readers and appends hold it for
// microseconds, less than a thread takes to sleep and be woken, so an
// append that finds it held waits for it awake.
void lock_soon(std::mutex& lock) {
  constexpr int kSpins = 2000;  // about 10 to 20 us of pauses
  for (int spins = 0; spins < kSpins; ++spins) {
    if (lock.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }
  lock.lock();
}

}  // namespace

std::uint64_t SharedTimeline::append(TimelineEvent event) {
  lock_soon(lock_);
  const std::lock_guard hold(lock_, std::adopt_lock);
  const std::size_t size = timeline_.retained_events().size();
  // What this append evicts if it is accepted: down to the capacity.
  const std::size_t evicts =
      size < timeline_.capacity() ? 0 : size + 1 - static_cast<std::size_t>(timeline_.capacity());
  if (capture_ != nullptr && evicts != 0) {
    Capture& c = *capture_;
    const std::size_t last = std::min(c.evicted + evicts, c.window);
    auto record = timeline_.retained_events().begin();
    for (std::size_t i = c.evicted; i < last; ++i, ++record) {
      if (i >= c.taken.size()) c.taken.push_back((*record).to_event());
    }
  }
  timeline_.append(std::move(event));
  if (capture_ != nullptr)
    capture_->evicted = std::min(capture_->evicted + evicts, capture_->window);
  return timeline_.next_sequence() - 1;
}

CausalTrace SharedTimeline::build_causal_trace(std::string_view id) const {
  const std::lock_guard hold(lock_);
  return timeline_.build_causal_trace(id);
}

CausalEffects SharedTimeline::build_causal_effects(std::string_view id) const {
  const std::lock_guard hold(lock_);
  return timeline_.build_causal_effects(id);
}

std::uint64_t SharedTimeline::next_sequence() const {
  const std::lock_guard hold(lock_);
  return timeline_.next_sequence();
}

std::uint64_t SharedTimeline::size() const {
  const std::lock_guard hold(lock_);
  return timeline_.retained_events().size();
}

Timeline SharedTimeline::copy_window() const {
  const std::lock_guard one_at_a_time(copying_);
  Capture capture;
  capture.taken.reserve(static_cast<std::size_t>(size()));  // outside the lock; a guess
  std::uint64_t capacity = 0;
  std::uint64_t next = 0;
  {
    const std::lock_guard hold(lock_);
    capacity = timeline_.capacity();
    next = timeline_.next_sequence();
    capture.window = timeline_.retained_events().size();
    capture.cursor = timeline_.retained_events().begin();
    capture_ = &capture;
  }
  {
    // Appends must not reach the capture once the copies are done, or
    // when a copy throws.
    struct Release {
      const SharedTimeline& shared;
      ~Release() {
        const std::lock_guard hold(shared.lock_);
        shared.capture_ = nullptr;
      }
    } release{*this};
    for (bool done = capture.window == 0; !done;) {
      const std::lock_guard hold(lock_);
      if (capture.cursor_at != capture.taken.size()) {  // appends took the records before it
        capture.cursor = timeline_.retained_events().begin();
        std::advance(capture.cursor,
                     static_cast<std::ptrdiff_t>(capture.taken.size() - capture.evicted));
        capture.cursor_at = capture.taken.size();
      }
      const std::size_t n = std::min(kCopyBatch, capture.window - capture.taken.size());
      for (std::size_t i = 0; i < n; ++i, ++capture.cursor) {
        capture.taken.push_back((*capture.cursor).to_event());
      }
      capture.cursor_at += n;
      done = capture.taken.size() == capture.window;
    }
  }
  // Restored outside the lock: the copies are this call's own.
  Timeline copy(capacity);
  const std::vector<EventView> views(capture.taken.begin(), capture.taken.end());
  copy.reserve(views.size());
  copy.restore_events(views);
  copy.restore_next_sequence(next);
  return copy;
}

}  // namespace quorix
