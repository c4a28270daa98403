// Every allocation an operation makes is made to fail in turn: the failure
// must arrive as std::bad_alloc, leave a timeline as it was, and leak
// nothing. The global operator new of this test binary fails on demand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <typeinfo>

#include "render/trace_json.h"
#include "snapshot/snapshot.h"
#include "timeline/timeline.h"

namespace {

long g_countdown = -1;  // while >= 0, the allocation that finds it at 0 fails
long g_live = 0;        // allocations not yet freed

}  // namespace

// g++ sees through the replacement and takes malloc and free in it for a
// mismatch with new and delete; they are the pair that this operator uses.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (g_countdown >= 0 && g_countdown-- == 0) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  ++g_live;
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  --g_live;
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace quorix {
namespace {

// Runs `operation` with the 1st, 2nd, 3rd ... allocation failing, until it
// succeeds; after each failure runs `unchanged`. Returns how many
// allocations the operation makes (the failure points it survived).
int FailEachAllocation(
    const std::function<void()>& operation, const std::function<void()>& unchanged = [] {}) {
  for (int n = 0;; ++n) {
    const long live = g_live;
    bool failed = false;
    g_countdown = n;
    try {
      operation();
    } catch (const std::bad_alloc& e) {
      failed = typeid(e) == typeid(std::bad_alloc);  // not wrapped or relabelled
      EXPECT_TRUE(failed) << typeid(e).name();
    }
    g_countdown = -1;
    if (!failed) return n;
    EXPECT_EQ(g_live, live) << "leak after failing allocation " << n + 1;
    unchanged();
    if (::testing::Test::HasFailure()) return n;
  }
}

const std::string kLong(48, 'l');  // long enough that every copy allocates

TimelineEvent LongEvent(const std::string& id, const std::string& parent) {
  TimelineEvent e;
  e.id = id + kLong;
  e.parent = parent.empty() ? "" : parent + kLong;
  e.kind = e.entity_id = e.clock_domain = e.message = kLong;
  return e;
}

Timeline FullTimeline() {
  Timeline timeline(3);
  timeline.append(LongEvent("a", ""));
  timeline.append(LongEvent("b", "a"));
  timeline.append(LongEvent("c", "b"));
  return timeline;
}

TEST(AllocationFailureTest, EveryOperationSurvivesEveryFailure) {
  Timeline timeline = FullTimeline();
  const std::string before = write_timeline_snapshot(timeline);
  const TimelineEvent next = LongEvent("d", "c");
  int points = FailEachAllocation([&] { timeline.append(next); },
                                  [&] {
                                    EXPECT_EQ(write_timeline_snapshot(timeline), before);
                                    EXPECT_EQ(timeline.provenance_size(), 3u);
                                    EXPECT_EQ(timeline.evicted_size(), 0u);
                                  });
  EXPECT_EQ(timeline.evicted_sequence("a" + kLong), 1u);  // the append that went through

  const std::string snapshot = write_timeline_snapshot(timeline);
  const std::string c = "c" + kLong, d = "d" + kLong;
  points += FailEachAllocation([&] { timeline.build_causal_trace(d); });
  const CausalTrace trace = timeline.build_causal_trace(d);
  points += FailEachAllocation([&] { render_trace_json(trace); });
  points += FailEachAllocation([&] { write_timeline_snapshot(timeline); });
  points += FailEachAllocation([&] { read_timeline_snapshot(snapshot); });
  points += FailEachAllocation([&] { Timeline(2).restore_event(next); });
  EXPECT_EQ(write_timeline_snapshot(timeline), snapshot);
  EXPECT_GT(points, 40);
  std::printf("survived %d failing allocations\n", points);
}

}  // namespace
}  // namespace quorix
