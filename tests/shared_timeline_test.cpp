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
#include <set>
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
    // A window larger than a copy's turn of the lock, so appends evict
    // records that a copy has not taken yet.
    {"a window of several copy turns, evicted while it is copied",
     300,
     4,
     [](int k, int i) { return Event(Name("t", k, i), i == 0 ? "" : Name("t", k, i - 1)); },
     {}},
    // A record larger than a copy's chunk of bytes gets one of its own.
    {"records larger than a copy's chunk among small ones",
     64,
     4,
     [](int k, int i) {
       TimelineEvent e = Event(Name("t", k, i), i % 10 == 0 ? "" : Name("t", k, i - 1));
       if (i % 100 == 7) e.message.assign(std::size_t{300} << 10, static_cast<char>('a' + k));
       return e;
     },
     {}},
    {"parents appended by another thread, often after their children",
     16,
     4,
     [](int k, int i) { return Event(Name("t", k, i), Name("t", (k + 1) % 4, i + 1)); },
     {}},
    {"the same ids offered by every thread: one of each accepted",
     200,
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

// A thread's appends: the accepted ones with their numbers, in its order,
// and the refused ones with their messages.
struct Log {
  std::vector<std::pair<std::uint64_t, TimelineEvent>> accepted;
  std::vector<std::pair<TimelineEvent, std::string>> refused;
};

// Offers thread k's events one by one, or through a Producer in batches of
// 7, whose refusals come later and whose numbers are read off the window.
void Produce(SharedTimeline& shared, const Race& race, int k, bool batched, Log& log) {
  if (batched) {
    SharedTimeline::Producer producer(
        shared,
        [&](SharedTimeline::Refusal r) { log.refused.emplace_back(std::move(r.event), r.what()); },
        7);
    for (int i = 0; i < kPerThread; ++i) producer.append(race.offer(k, i));
    return;
  }
  for (int i = 0; i < kPerThread; ++i) {
    TimelineEvent e = race.offer(k, i);
    try {
      const std::uint64_t n = shared.append(e);
      log.accepted.emplace_back(n, std::move(e));
    } catch (const std::invalid_argument& refusal) {
      log.refused.emplace_back(std::move(e), refusal.what());
    }
  }
}

// What a reader may see at any moment: a window of consecutive numbers
// ending just before the next one, within the capacity, and traces whose
// links hold.
void CheckMoment(const SharedTimeline& shared, const Timeline& copy, const std::string& id) {
  ASSERT_LE(copy.retained_events().size(), copy.capacity());
  std::uint64_t expected = copy.next_sequence() - copy.retained_events().size();
  for (const EventView e : copy.retained_events()) ASSERT_EQ(e.sequence, expected++);
  const CausalTrace trace = shared.build_causal_trace(id);
  for (std::size_t i = 1; i < trace.events.size(); ++i) {
    ASSERT_EQ(trace.events[i].parent, trace.events[i - 1].id);
  }
}

TEST(SharedTimelineTest, RacesEqualTheReplayOfTheirSequenceOrder) {
  for (const Race& race : kRaces) {
    for (const bool batched : {false, true}) {
      SCOPED_TRACE(std::string(race.name) + (batched ? ", batched" : ""));
      // Batched numbers are read off the window: it holds every event.
      const std::uint64_t capacity = batched ? std::uint64_t{4} * kPerThread : race.capacity;
      for (int round = 0; round < 10; ++round) {
        SharedTimeline shared(capacity);
        std::vector<Log> logs(static_cast<std::size_t>(race.threads));
        std::vector<Timeline> copies;  // some of the windows the reader saw
        std::atomic<bool> producing = true;
        std::thread reader([&] {
          for (int i = 0; producing; ++i) {
            Timeline copy = shared.copy_window();
            CheckMoment(shared, copy, Name("t", i % 4, i % 50));
            if (i % 8 == 0 && copies.size() < 32) copies.push_back(std::move(copy));
          }
        });
        std::vector<std::thread> producers;
        producers.reserve(static_cast<std::size_t>(race.threads));
        for (int k = 0; k < race.threads; ++k) {
          producers.emplace_back(
              [&, k] { Produce(shared, race, k, batched, logs[static_cast<std::size_t>(k)]); });
        }
        for (std::thread& p : producers) p.join();
        producing = false;
        reader.join();
        const Timeline last = shared.copy_window();

        std::vector<std::pair<std::uint64_t, TimelineEvent>> all;
        std::map<std::string, int> refused;
        for (int k = 0; k < race.threads; ++k) {
          Log& log = logs[static_cast<std::size_t>(k)];
          if (batched) {  // the offers not refused, none lost, each in the window
            std::map<std::string, std::uint64_t> numbers;
            for (const EventView e : last.retained_events())
              numbers[std::string(e.id)] = e.sequence;
            std::set<std::string> out;
            for (const auto& r : log.refused) out.insert(r.first.id);
            for (int i = 0; i < kPerThread; ++i) {
              TimelineEvent e = race.offer(k, i);
              if (out.contains(e.id)) continue;
              ASSERT_EQ(numbers.count(e.id), 1u) << e.id;
              log.accepted.emplace_back(numbers[e.id], std::move(e));
            }
          }
          // Each thread's accepted events are numbered in the order it appended them.
          EXPECT_TRUE(
              std::is_sorted(log.accepted.begin(), log.accepted.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
          all.insert(all.end(), log.accepted.begin(), log.accepted.end());
          for (const auto& r : log.refused) ++refused[r.second];
        }
        EXPECT_EQ(refused, race.refusals);
        std::sort(all.begin(), all.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::sort(copies.begin(), copies.end(), [](const Timeline& a, const Timeline& b) {
          return a.next_sequence() < b.next_sequence();
        });
        // The replay passes through every window the reader copied.
        Timeline replay(capacity);
        auto copy = copies.begin();
        const auto compare_copies = [&] {
          for (; copy != copies.end() && copy->next_sequence() == replay.next_sequence(); ++copy)
            ASSERT_EQ(copy->retained_events(), replay.retained_events());
        };
        compare_copies();
        for (const auto& [n, e] : all) {
          replay.append(e);
          ASSERT_EQ(replay.next_sequence() - 1, n);
          compare_copies();
        }
        EXPECT_EQ(copy, copies.end());
        EXPECT_EQ(last.retained_events(), replay.retained_events());
        EXPECT_EQ(last.next_sequence(), replay.next_sequence());
        for (const auto& [n, e] : all) {
          ASSERT_EQ(shared.build_causal_trace(e.id), replay.build_causal_trace(e.id));
        }
        // What was refused, the replay refuses too, and for the same reason.
        for (const Log& log : logs) {
          for (const auto& r : log.refused) {
            ASSERT_EQ(testing::InvalidArgument([&] { replay.append(r.first); }), r.second);
          }
        }
      }
    }
  }
}

// A Producer's sink that throws gets the refusals after the one it threw on
// at the next flush, in order, none twice.
TEST(SharedTimelineTest, ProducerRefusesBadArgumentsAndLosesNoRefusal) {
  SharedTimeline shared(8);
  const auto made = [&](std::size_t batch, SharedTimeline::Producer::Sink sink) {
    return testing::InvalidArgument(
        [&] { SharedTimeline::Producer p(shared, std::move(sink), batch); });
  };
  EXPECT_EQ(made(0, [](const SharedTimeline::Refusal&) {}), "producer batch must be positive");
  EXPECT_EQ(made(1, nullptr), "producer needs a refusal sink");
  std::vector<std::string> seen;
  SharedTimeline::Producer producer(
      shared,
      [&](const SharedTimeline::Refusal& r) {
        seen.push_back(r.event.id + ": " + r.what());
        if (seen.size() == 1) throw std::runtime_error("sink");
      },
      8);
  for (const char* id : {"a", "a", ""}) producer.append(Event(id));
  producer.append(Event("b", "b"));
  EXPECT_THROW(producer.flush(), std::runtime_error);
  producer.flush();
  EXPECT_EQ(seen, (std::vector<std::string>{"a: timeline event id must be unique",
                                            ": timeline event id must be unique",
                                            "b: causal provenance cycle"}));
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
