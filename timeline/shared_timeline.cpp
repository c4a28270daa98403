#include <quorix/timeline/shared_timeline.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace quorix {
namespace {

// Records copied per turn of the lock: few enough that an append waits a
// few microseconds at most behind a copy.
constexpr std::size_t kCopyBatch = 64;

// A copy's chunks of bytes, and the room it makes before each turn of the
// lock: more than a turn's records take, as a rule.
constexpr std::size_t kChunk = std::size_t{1} << 18;
constexpr std::size_t kTurnBytes = std::size_t{1} << 14;

// How long an append waits for the lock awake, at most, before it sleeps.
constexpr std::chrono::milliseconds kWaitAwake{2};

// How long a copy lets appends that wait for the lock go first between
// batches, at most: about what a sleeping thread takes to be woken and run.
constexpr std::chrono::microseconds kGiveWay{200};

}  // namespace

// A copy_window under way. Its cut is the moment it began: the `window`
// records retained then, oldest first, of which appends have since evicted
// the first `evicted`. taken[0, count) are copies of the first `count`; an
// append copies a record before it evicts it, so count >= evicted always,
// and the rest are still retained, in the window's order. Unless `failed`:
// an append could not copy a record, and the copy gives up.
//
// The copies are views of bytes in chunks of this capture's own. The views
// and the chunk being filled are written once outside the lock before any
// copy goes there, so that no copy under the lock allocates or first
// touches a page (which the kernel makes cost microseconds).
struct SharedTimeline::Capture {
  std::size_t window = 0;
  std::size_t evicted = 0;
  std::vector<EventView> taken;  // window views, the first `count` filled
  std::size_t count = 0;
  bool failed = false;
  // Record number `cursor_at` of the cut, where the copy goes on, as long as
  // no append took records meanwhile (then cursor_at != count). It stays
  // valid across appends, since its record stays retained.
  EventWindow::const_iterator cursor;
  std::size_t cursor_at = 0;

  std::vector<std::unique_ptr<char[]>> chunks;
  char* free = nullptr;  // the room left in the newest chunk, `left` bytes
  std::size_t left = 0;

  static std::size_t bytes(const EventView& e) noexcept {
    return e.id.size() + e.kind.size() + e.entity_id.size() + e.clock_domain.size() +
           e.parent.size() + e.message.size();
  }
  // Copies go on into `chunk`, of `size` bytes.
  void add_chunk(std::unique_ptr<char[]> chunk, std::size_t size) {
    chunks.reserve(chunks.size() + 1);
    free = chunk.get();
    left = size;
    chunks.push_back(std::move(chunk));
  }
  // Copies `e` into the room left, unless it does not fit.
  bool put(EventView e) noexcept {
    if (bytes(e) > left) return false;
    for (std::string_view* field :
         {&e.id, &e.kind, &e.entity_id, &e.clock_domain, &e.parent, &e.message}) {
      if (!field->empty()) std::memcpy(free, field->data(), field->size());
      *field = std::string_view(free, field->size());
      free += field->size();
      left -= field->size();
    }
    taken[count++] = e;
    return true;
  }
};

SharedTimeline::SharedTimeline(std::uint64_t capacity) : timeline_(capacity) {}

SharedTimeline::SharedTimeline(Timeline timeline) noexcept : timeline_(std::move(timeline)) {}

SharedTimeline::~SharedTimeline() { assert(capture_ == nullptr); }  // no copy outlives it

// Waits awake before it sleeps: readers and appends hold the lock for
// microseconds, less than a sleeping thread takes to be woken, which on a
// machine whose idle cores halt (a virtual one, say) can be milliseconds.
// It spins first, then yields its core to any other thread ready to run.
void SharedTimeline::lock_for_append() {
  if (lock_.try_lock()) return;
  waiting_.fetch_add(1, std::memory_order_relaxed);
  constexpr int kSpins = 2000;  // about 10 to 20 us of pauses
  bool locked = false;
  for (int spins = 0; spins < kSpins && !locked; ++spins) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
    locked = lock_.try_lock();
  }
  const auto until = std::chrono::steady_clock::now() + kWaitAwake;
  while (!locked && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
    locked = lock_.try_lock();
  }
  if (!locked) lock_.lock();
  waiting_.fetch_sub(1, std::memory_order_relaxed);
}

void SharedTimeline::append_locked(const TimelineEvent& event) {
  const std::size_t size = timeline_.retained_events().size();
  // What this append evicts if it is accepted: down to the capacity.
  const std::size_t evicts =
      size < timeline_.capacity() ? 0 : size + 1 - static_cast<std::size_t>(timeline_.capacity());
  if (capture_ != nullptr && evicts != 0 && !capture_->failed) {
    Capture& c = *capture_;
    const std::size_t last = std::min(c.evicted + evicts, c.window);
    try {
      auto record = timeline_.retained_events().begin();
      for (std::size_t i = c.evicted; i < last; ++i, ++record) {
        if (i < c.count) continue;
        const EventView e = *record;
        if (!c.put(e)) {  // rare: the copy is behind and its chunk full
          const std::size_t bytes = Capture::bytes(e);
          c.add_chunk(std::unique_ptr<char[]>(new char[bytes]),
                      bytes);  // NOLINT(modernize-make-unique): unzeroed
          c.put(e);
        }
      }
    } catch (...) {  // out of memory: the copy fails, not this append
      c.failed = true;
    }
  }
  timeline_.append_event(event);
  if (capture_ != nullptr)
    capture_->evicted = std::min(capture_->evicted + evicts, capture_->window);
}

// By value, as the caller gives the event up; the record copies its bytes.
std::uint64_t SharedTimeline::append(
    TimelineEvent event) {  // NOLINT(performance-unnecessary-value-param)
  lock_for_append();
  const std::lock_guard hold(lock_, std::adopt_lock);
  append_locked(event);
  return timeline_.next_sequence() - 1;
}

void SharedTimeline::append_batch(std::vector<TimelineEvent>& events,
                                  std::vector<Refusal>& refused) {
  lock_for_append();
  const std::lock_guard hold(lock_, std::adopt_lock);
  for (TimelineEvent& event : events) {
    try {
      append_locked(event);
    } catch (...) {
      assert(refused.size() < refused.capacity());  // the caller made room: no throw here
      refused.push_back(Refusal{std::move(event), std::current_exception()});
    }
  }
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
  std::uint64_t capacity = 0;
  std::uint64_t next = 0;
  // The views are made outside the lock, then the cut is taken once the
  // window fits in them (it grows only up to the capacity).
  for (auto room = static_cast<std::size_t>(size());;) {
    capture.taken.resize(room);
    const std::lock_guard hold(lock_);
    room = timeline_.retained_events().size();
    if (room <= capture.taken.size()) {
      capacity = timeline_.capacity();
      next = timeline_.next_sequence();
      capture.window = room;
      capture.cursor = timeline_.retained_events().begin();
      capture_ = &capture;
      break;
    }
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
    std::size_t wanted = kChunk;  // a chunk to add, or 0
    for (bool done = capture.window == 0; !done;) {
      // Made outside the lock, written through so that its pages are
      // touched: enough for a turn's records as a rule, and for the record
      // that did not fit at least.
      std::unique_ptr<char[]> chunk;
      if (wanted != 0) chunk = std::make_unique<char[]>(wanted);
      {
        const std::lock_guard hold(lock_);
        if (capture.failed) throw std::bad_alloc();
        if (chunk != nullptr) capture.add_chunk(std::move(chunk), wanted);
        wanted = 0;
        if (capture.cursor_at != capture.count) {  // appends took the records before it
          capture.cursor = timeline_.retained_events().begin();
          std::advance(capture.cursor,
                       static_cast<std::ptrdiff_t>(capture.count - capture.evicted));
          capture.cursor_at = capture.count;
        }
        const std::size_t last = std::min(capture.count + kCopyBatch, capture.window);
        while (capture.count < last) {
          const EventView e = *capture.cursor;
          if (!capture.put(e)) {
            wanted = std::max(Capture::bytes(e), kChunk);
            break;
          }
          ++capture.cursor;
          ++capture.cursor_at;
          // An append waiting goes first, after the record being copied.
          if (waiting_.load(std::memory_order_relaxed) != 0) break;
        }
        done = capture.count == capture.window;
        if (!done && wanted == 0 && capture.left < kTurnBytes) wanted = kChunk;
      }
      // A mutex let go is not handed to a waiter: taking it straight back
      // would keep an append that fell asleep waiting behind batch after
      // batch, so waiting appends go first.
      if (!done && waiting_.load(std::memory_order_relaxed) != 0) {
        const auto until = std::chrono::steady_clock::now() + kGiveWay;
        while (waiting_.load(std::memory_order_relaxed) != 0 &&
               std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
      }
    }
  }
  // Restored outside the lock: the copies are this call's own.
  Timeline copy(capacity);
  copy.reserve(capture.window);
  copy.restore_events(std::span(capture.taken.data(), capture.window));
  copy.restore_next_sequence(next);
  return copy;
}

std::string SharedTimeline::Refusal::what() const {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {  // not a std::exception: no message to give
  }
  return {};
}

SharedTimeline::Producer::Producer(SharedTimeline& shared, Sink sink, std::size_t batch)
    : shared_(shared), sink_(std::move(sink)), batch_(batch) {
  if (batch_ == 0) throw std::invalid_argument("producer batch must be positive");
  if (!sink_) throw std::invalid_argument("producer needs a refusal sink");
  held_.reserve(batch_);
}

SharedTimeline::Producer::~Producer() { flush(); }

void SharedTimeline::Producer::append(TimelineEvent event) {
  held_.push_back(std::move(event));  // within the room made, unless a flush failed
  if (held_.size() >= batch_) flush();
}

void SharedTimeline::Producer::flush() {
  if (!held_.empty()) {
    refused_.reserve(refused_.size() + held_.size());
    shared_.append_batch(held_, refused_);
    held_.clear();
  }
  while (handed_ < refused_.size()) sink_(std::move(refused_[handed_++]));
  refused_.clear();
  handed_ = 0;
}

}  // namespace quorix
