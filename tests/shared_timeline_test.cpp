// Races on one SharedTimeline: producers and readers on many threads, small
// capacities so that evictions race too. After each run the timeline must
// equal what one thread gets by appending the accepted events again in the
// order of their sequence numbers.
#include <quorix/timeline/shared_timeline.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_events.h"

namespace quorix {
namespace {

using testing::Event;

std::string Name(const char* prefix, int k, int i) {
  std::string name = prefix;
  name.append(std::to_string(k)).push_back('-');
  name.append(std::to_string(i));
  return name;
}

struct Race {
  const char* name;
  std::uint64_t capacity;
  int threads;
  // The event thread k offers i-th.
  std::function<TimelineEvent(int k, int i)> offer;
  // How many refusals of each message the run must give.
  std::map<std::string, int> refusals;
};

constexpr int kPerThread = 300;

const Race kRaces[] = {
    {"disjoint ids, each thread its own chain",
     8,
     4,
     [](int k, int i) { return Event(Name("t", k, i), i == 0 ? "" : Name("t", k, i - 1)); },
     {}},
    {"parents appended by another thread, often after their children",
     16,
     4,
     [](int k, int i) { return Event(Name("t", k, i), Name("t", (k + 1) % 4, i + 1)); },
     {}},
    {"the same ids offered by every thread: one of each accepted",
     8,
     4,
     [](int, int i) { return Event(Name("same", 0, i)); },
     {{"timeline event id must be unique", 3 * kPerThread}}},
    {"two threads closing one ring: one of the two refused",
     4,
     2,
     [](int k, int i) {
       return Event(Name(k == 0 ? "x" : "y", 0, i), Name(k == 0 ? "y" : "x", 0, i));
     },
     {{"causal provenance cycle", kPerThread}}},
};

// What a reader may see at any moment: a window of consecutive numbers
// ending just before the next one, within the capacity, and traces whose
// links hold.
void CheckMoment(const SharedTimeline& shared, std::uint64_t capacity, const std::string& id) {
  const Timeline copy = shared.copy_window();
  ASSERT_LE(copy.retained_events().size(), capacity);
  std::uint64_t expected = copy.next_sequence() - copy.retained_events().size();
  for (const EventView e : copy.retained_events()) ASSERT_EQ(e.sequence, expected++);
  const CausalTrace trace = shared.build_causal_trace(id);
  for (std::size_t i = 1; i < trace.events.size(); ++i) {
    ASSERT_EQ(trace.events[i].parent, trace.events[i - 1].id);
  }
}

TEST(SharedTimelineTest, RacesEqualTheReplayOfTheirSequenceOrder) {
  for (const Race& race : kRaces) {
    SCOPED_TRACE(race.name);
    for (int round = 0; round < 20; ++round) {
      SharedTimeline shared(race.capacity);
      struct Log {
        std::vector<std::pair<std::uint64_t, TimelineEvent>> accepted;
        std::map<std::string, int> refused;
      };
      std::vector<Log> logs(static_cast<std::size_t>(race.threads));
      std::atomic<bool> producing = true;
      std::thread reader([&] {
        for (int i = 0; producing; ++i)
          CheckMoment(shared, race.capacity, Name("t", i % 4, i % 50));
      });
      std::vector<std::thread> producers;
      producers.reserve(static_cast<std::size_t>(race.threads));
      for (int k = 0; k < race.threads; ++k) {
        producers.emplace_back([&, k] {
          Log& log = logs[static_cast<std::size_t>(k)];
          for (int i = 0; i < kPerThread; ++i) {
            TimelineEvent e = race.offer(k, i);
            try {
              const std::uint64_t n = shared.append(e);
              log.accepted.emplace_back(n, std::move(e));
            } catch (const std::invalid_argument& refusal) {
              ++log.refused[refusal.what()];
            }
          }
        });
      }
      for (std::thread& p : producers) p.join();
      producing = false;
      reader.join();

      std::vector<std::pair<std::uint64_t, TimelineEvent>> all;
      std::map<std::string, int> refused;
      for (const Log& log : logs) {
        // Each thread's accepted events are numbered in the order it appended them.
        EXPECT_TRUE(std::is_sorted(log.accepted.begin(), log.accepted.end(),
                                   [](const auto& a, const auto& b) { return a.first < b.first; }));
        all.insert(all.end(), log.accepted.begin(), log.accepted.end());
        for (const auto& [what, count] : log.refused) refused[what] += count;
      }
      EXPECT_EQ(refused, race.refusals);
      std::sort(all.begin(), all.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      Timeline replay(race.capacity);
      for (const auto& [n, e] : all) {
        replay.append(e);
        ASSERT_EQ(replay.next_sequence() - 1, n);
      }
      const Timeline copy = shared.copy_window();
      EXPECT_EQ(copy.retained_events(), replay.retained_events());
      EXPECT_EQ(copy.next_sequence(), replay.next_sequence());
      for (const auto& [n, e] : all) {
        ASSERT_EQ(shared.build_causal_trace(e.id), replay.build_causal_trace(e.id));
      }
    }
  }
}

// A copy racing appends that evict what it has not copied yet still holds
// the window of one moment, whole.
TEST(SharedTimelineTest, CopyRacingEvictionHoldsOneWindow) {
  SharedTimeline shared(4096);
  for (int i = 0; i < 4096; ++i) shared.append(Event(Name("w", 0, i)));
  std::atomic<bool> copying = true;
  std::thread producer([&] {
    for (int i = 0; copying; ++i) shared.append(Event(Name("w", 1, i)));
  });
  for (int round = 0; round < 10; ++round) {
    const Timeline copy = shared.copy_window();
    ASSERT_EQ(copy.retained_events().size(), 4096u);
    std::uint64_t expected = copy.next_sequence() - 4096;
    for (const EventView e : copy.retained_events()) ASSERT_EQ(e.sequence, expected++);
  }
  copying = false;
  producer.join();
}

}  // namespace
}  // namespace quorix
