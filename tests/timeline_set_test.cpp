// Several timelines answered as one: the answers over the parts of a
// timeline equal the answers of the whole.
#include <quorix/timeline/timeline_set.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_events.h"

namespace quorix {
namespace {

using testing::Event;

// Timelines restored from (id, parent) pairs, each at its index + 1.
struct Parts {
  std::vector<Timeline> timelines;
  explicit Parts(std::size_t n) : timelines(n, Timeline(64)) {}
  void Add(std::size_t part, std::string_view id, std::string_view parent, std::uint64_t seq) {
    TimelineEvent e = Event(id, parent);
    e.sequence = seq;
    timelines[part].restore_event(e);
  }
  TimelineSet Set() const {
    std::vector<const Timeline*> views;
    for (const Timeline& t : timelines) views.push_back(&t);
    return TimelineSet(views);
  }
};

// A random forest split at random across three timelines answers every
// trace and effects query exactly as the one timeline holding it all: the
// same events, order, depths, causes and status. Parents are earlier
// events, the empty id, or ids none holds.
TEST(TimelineSetTest, PartsAnswerAsTheWhole) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 200; ++round) {
    const int events = 1 + static_cast<int>(random() % 24);
    Parts parts(3);
    Timeline whole(64);
    std::vector<std::string> asked = {"", "nobody"};
    for (int i = 0; i < events; ++i) {
      const std::string id = "e" + std::to_string(i);
      std::string parent;
      switch (random() % 4) {
        case 0:
          break;  // a root
        case 1:
          parent = "ghost" + std::to_string(random() % 3);
          break;
        default:
          parent = i == 0 ? "" : "e" + std::to_string(random() % static_cast<unsigned>(i));
      }
      const auto seq = static_cast<std::uint64_t>(i) + 1;
      parts.Add(random() % 3, id, parent, seq);
      TimelineEvent e = Event(id, parent);
      e.sequence = seq;
      whole.restore_event(e);
      asked.push_back(id);
      asked.push_back(parent);
    }
    const TimelineSet set = parts.Set();
    for (const std::string& id : asked) {
      ASSERT_EQ(set.build_causal_trace(id), whole.build_causal_trace(id)) << round << " " << id;
      ASSERT_EQ(set.build_causal_effects(id), whole.build_causal_effects(id)) << round << " " << id;
    }
  }
}

TEST(TimelineSetTest, EvictedIdEndsTheTraceInAGap) {
  Timeline a(1);
  a.append(Event("old"));
  a.append(Event("new"));
  const Timeline b(1);
  const TimelineSet set({&b, &a});
  EXPECT_EQ(set.build_causal_trace("old").status, TraceStatus::retention_gap);
  EXPECT_EQ(set.build_causal_effects("old").status, TraceStatus::retention_gap);
  EXPECT_EQ(set.holder("new"), std::optional<std::size_t>(1));

  // An id evicted between a held cause and its effect in another timeline.
  Timeline c(1);
  c.append(Event("mid", "new"));
  c.append(Event("leaf", "mid"));
  const CausalEffects effects = TimelineSet({&a, &c}).build_causal_effects("new");
  EXPECT_EQ(effects.status, TraceStatus::retention_gap);
  ASSERT_EQ(effects.events.size(), 2u);
  EXPECT_EQ(effects.events[1].depth, 2u);
  EXPECT_EQ(effects.events[1].cause, std::optional<std::size_t>(0));
}

// Refusals of the set: the first id held twice, with both timelines; a
// ring of causes that no one timeline holds.
TEST(TimelineSetTest, RefusesAnIdHeldTwiceAndARingThroughTimelines) {
  Parts twice(3);
  twice.Add(0, "a", "", 1);
  twice.Add(1, "b", "a", 2);
  twice.Add(2, "c", "", 3);
  twice.Add(2, "b", "", 4);
  try {
    twice.Set();
    ADD_FAILURE() << "no conflict";
  } catch (const TimelineConflict& conflict) {
    EXPECT_STREQ(conflict.what(), "timeline id held by two timelines");
    EXPECT_EQ(conflict.id(), "b");
    EXPECT_EQ(conflict.first(), 1u);
    EXPECT_EQ(conflict.second(), 2u);
  }

  Parts ring(3);  // x <- y <- z <- x, one link in each timeline, a tail on x
  ring.Add(0, "x", "z", 1);
  ring.Add(1, "y", "x", 2);
  ring.Add(2, "z", "y", 3);
  ring.Add(2, "tail", "x", 4);
  EXPECT_EQ(testing::InvalidArgument([&] { ring.Set(); }), "causal provenance cycle");

  Parts chain(2);  // the same links without the closing one
  chain.Add(0, "x", "", 1);
  chain.Add(1, "y", "x", 2);
  chain.Add(0, "z", "y", 3);
  chain.Add(0, "", "", 4);  // an empty id in each is no conflict: no timeline holds it
  chain.Add(1, "", "", 5);
  EXPECT_EQ(testing::Ids(chain.Set().build_causal_trace("z").events),
            (std::vector<std::string>{"x", "y", "z"}));
}

}  // namespace
}  // namespace quorix
