// Every allocation an operation makes is made to fail in turn: the failure
// must arrive as std::bad_alloc, leave a timeline as it was, and leak
// nothing. The global operator new of this test binary fails on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "test_memory.h"

namespace {

long g_countdown = -1;  // while >= 0, the allocation that finds it at 0 fails
long g_live = 0;        // allocations not yet freed
long g_made = 0;        // allocations made, ever

}  // namespace

// g++ sees through the replacement and takes malloc and free in it for a
// mismatch with new and delete; they are the pair that this operator uses.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (g_countdown >= 0 && g_countdown-- == 0) throw std::bad_alloc();
  ++g_made;
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

// Counts the allocations `operation` makes, then runs it once with each of
// them failing in turn: each run must end in std::bad_alloc itself (not an
// error made of it), be followed by `unchanged` holding, and leak nothing
// once `reset` has released what the run worked on.
// Returns the number of allocations, the failure points survived.
// `reset`, run before each run and outside the count, prepares its inputs.
int FailEachAllocation(
    const std::function<void()>& operation, const std::function<void()>& unchanged = [] {},
    const std::function<void()>& reset = [] {}, const std::function<void()>& release = [] {}) {
  reset();
  const long before = g_made;
  operation();
  const int points = static_cast<int>(g_made - before);
  for (int n = 0; n < points && !::testing::Test::HasFailure(); ++n) {
    release();
    const long live = g_live;
    reset();
    const char* outcome = "completed";
    g_countdown = n;
    try {
      operation();
    } catch (const std::bad_alloc& e) {
      outcome = typeid(e) == typeid(std::bad_alloc) ? "bad_alloc" : typeid(e).name();
    } catch (const std::exception& e) {
      outcome = e.what();
    }
    g_countdown = -1;
    EXPECT_STREQ(outcome, "bad_alloc") << "allocation " << n + 1 << " of " << points;
    unchanged();
    release();
    EXPECT_EQ(g_live, live) << "leak after failing allocation " << n + 1;
  }
  return points;
}

const std::string kLong(48, 'l');  // long enough that every copy allocates

TimelineEvent LongEvent(const std::string& id, const std::string& parent) {
  TimelineEvent e;
  e.id = id + kLong;
  e.parent = parent.empty() ? "" : parent + kLong;
  e.kind = e.entity_id = e.clock_domain = e.message = kLong;
  return e;
}

// A chain "a" to "k", filling a capacity of 11: eleven ids, so that a twelfth
// fits the id table and a thirteenth makes it grow.
Timeline FullTimeline() {
  Timeline timeline(11);
  std::string parent;
  for (char c = 'a'; c <= 'k'; ++c) {
    timeline.append(LongEvent(std::string(1, c), parent));
    parent = std::string(1, c);
  }
  return timeline;
}

TEST(AllocationFailureTest, EveryOperationSurvivesEveryFailure) {
  Timeline timeline = FullTimeline();
  const std::string before = write_timeline_snapshot(timeline);
  const TimelineEvent next = LongEvent("l", "k");
  // Each run appends to a fresh copy of the full timeline, so every run evicts.
  std::optional<Timeline> target;
  const auto unchanged = [&] {
    EXPECT_EQ(write_timeline_snapshot(*target), before);
    EXPECT_EQ(target->known_ids(), 11u);
    EXPECT_FALSE(target->knows("unseen" + kLong));
    EXPECT_TRUE(target->build_causal_effects("z" + kLong).events.empty());  // nothing hung below
  };
  const auto reset = [&] { target = timeline; };
  const auto release = [&] { target.reset(); };
  int points = FailEachAllocation([&] { target->append(next); }, unchanged, reset, release);
  // A new id and a parent never seen: the second makes the table grow, and a
  // failure there must take the first back out.
  points += FailEachAllocation([&] { target->append(LongEvent("m", "unseen")); }, unchanged, reset,
                               release);
  // A duplicate id restored: another record of a known id.
  points += FailEachAllocation([&] { target->restore_event(LongEvent("a", "z")); }, unchanged,
                               reset, release);
  // A duplicate makes verify_acyclic search the links, which allocates.
  const auto reset_with_duplicate = [&] {
    reset();
    target->restore_event(LongEvent("k", ""));
  };
  reset_with_duplicate();
  const std::string duplicated = write_timeline_snapshot(*target);
  points += FailEachAllocation([&] { target->verify_acyclic(); },
                               [&] { EXPECT_EQ(write_timeline_snapshot(*target), duplicated); },
                               reset_with_duplicate, release);
  timeline.append(next);
  EXPECT_EQ(timeline.evicted_sequence("a" + kLong), 1u);

  const std::string snapshot = write_timeline_snapshot(timeline);
  const std::string d = "l" + kLong;
  points += FailEachAllocation([&] { timeline.build_causal_trace(d); });
  points += FailEachAllocation([&] { timeline.build_causal_effects("a" + kLong); });
  const CausalTrace trace = timeline.build_causal_trace(d);
  points += FailEachAllocation([&] { render_trace_json(trace); });
  points += FailEachAllocation([&] { write_timeline_snapshot(timeline); });
  points += FailEachAllocation([&] { read_timeline_snapshot(snapshot); });
  points += FailEachAllocation([&] { Timeline(2).restore_event(next); });
  points += FailEachAllocation([&] { static_cast<void>(Timeline(timeline)); });
  // A failed copy assignment leaves the target as it was.
  Timeline other(1);
  points += FailEachAllocation(
      [&] { other = timeline; },
      [&] { EXPECT_EQ(write_timeline_snapshot(other), "quorix-timeline 1 1 1 0\n"); },
      [&] { other = Timeline(1); }, [&] { other = Timeline(1); });
  EXPECT_EQ(write_timeline_snapshot(timeline), snapshot);

  // Recovery, copied to the heap and in place (into a fresh copy of the
  // chunks each time), from the chunks of a timeline that is gone.
  testing::HeapMemory memory(512);
  std::string recorded;
  {
    Timeline gone(11, memory);
    for (const EventView& e : timeline.retained_events()) gone.append(e.to_event());
    recorded = write_timeline_snapshot(gone);
  }
  std::optional<testing::HeapMemory> found;
  std::vector<std::span<std::byte>> chunks = memory.Chunks();
  const std::vector<std::span<const std::byte>> read(chunks.begin(), chunks.end());
  points += FailEachAllocation([&] { Timeline::recover(11, memory.published, read); });
  points += FailEachAllocation(
      [&] { Timeline::recover_in_place(11, found->published, chunks, *found); }, [] {},
      [&] { chunks = found.emplace(memory, 0).Chunks(); }, [&] { found.reset(); });
  EXPECT_EQ(write_timeline_snapshot(Timeline::recover(11, memory.published, read).timeline),
            recorded);
  std::printf("survived %d failing allocations\n", points);
}

}  // namespace
}  // namespace quorix
