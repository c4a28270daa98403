#include <quorix/timeline/timeline.h>

#include <gtest/gtest.h>

#include <quorix/timeline/causal_latency.h>

#include <quorix/snapshot/snapshot.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "test_events.h"

namespace quorix {
namespace {

using testing::Event;
using testing::RetainedIds;
using Ids = std::vector<std::string>;
using Links = std::vector<std::pair<std::string, std::string>>;  // id, parent

// Everything observable about a timeline, for the ids a test probes.
std::string Capture(const Timeline& t) {
  std::string s = std::to_string(t.next_sequence()) + " " + std::to_string(t.known_ids()) + " " +
                  std::to_string(t.evicted_ids()) + ":" + ::testing::PrintToString(RetainedIds(t));
  for (const char* id : {"", "a", "b", "c", "d", "x", "y"}) {
    s += ::testing::PrintToString(std::pair(t.knows(id), t.evicted_sequence(id)));
  }
  return s;
}

// The message of the std::invalid_argument that append throws, or "none".
std::string Offer(Timeline& t, TimelineEvent event) {
  return testing::InvalidArgument([&] { t.append(std::move(event)); });
}

Timeline Build(std::uint64_t capacity, const Links& restored, const Links& appended) {
  Timeline t(capacity);
  for (const auto& [id, parent] : restored) {
    TimelineEvent e = Event(id, parent);
    e.sequence = t.next_sequence();
    t.restore_event(e);
    t.restore_next_sequence(e.sequence + 1);
  }
  for (const auto& [id, parent] : appended) t.append(Event(id, parent));
  return t;
}

constexpr const char* kUnique = "timeline event id must be unique";
constexpr const char* kCycle = "causal provenance cycle";

// Each row appends `before` in order, then offers one event. A refusal must
// leave everything as it was and consume no sequence number.
struct OfferCase {
  const char* name;
  std::uint64_t capacity;
  Links restored, before;
  TimelineEvent offered;
  const char* expected;  // a message, or "none" for accepted
};

TEST(TimelineTest, AppendDecidesUniquenessAndCyclesInAnyOrder) {
  const OfferCase cases[] = {
      {"unknown parent", 4, {}, {}, Event("a", "never"), "none"},
      {"evicted parent", 1, {}, {{"a", ""}, {"b", ""}}, Event("c", "a"), "none"},
      {"empty id", 4, {}, {{"a", ""}}, Event("", "a"), kUnique},
      {"retained duplicate", 4, {}, {{"a", ""}}, Event("a"), kUnique},
      {"evicted duplicate", 1, {}, {{"a", ""}, {"b", "a"}}, Event("a"), kUnique},
      {"restored duplicate", 4, {{"a", ""}}, {}, Event("a"), kUnique},
      // The checks' order: a duplicate is reported before a self-parent.
      {"duplicate naming itself", 4, {}, {{"a", ""}}, Event("a", "a"), kUnique},
      {"cycle of one", 4, {}, {}, Event("x", "x"), kCycle},
      {"cycle of two", 4, {}, {{"b", "a"}}, Event("a", "b"), kCycle},
      // "b" left the window, but its link to "a" still closes the ring.
      {"ring via evicted", 1, {}, {{"b", "a"}, {"c", "b"}, {"d", ""}}, Event("a", "c"), kCycle},
      // Children before parents: the chains join once the parents arrive.
      {"late parents join", 4, {}, {{"c", "b"}, {"b", "a"}, {"d", "c"}}, Event("a", "d"), kCycle},
      {"late parent, other chain", 4, {}, {{"c", "b"}, {"d", "x"}}, Event("b", "d"), "none"},
      {"named, then rooted", 4, {}, {{"b", "a"}, {"a", ""}}, Event("c", "b"), "none"},
      // Zero bytes are data: "a\0" and "a" are different ids.
      {"embedded zero", 4, {}, {{std::string("a\0", 2), "a"}}, Event("a", ""), "none"},
      // Both records of a restored duplicate link: "x" leads to "y" through
      // its older record, though its newer one is a root.
      {"ring through older duplicate", 4, {{"x", "y"}, {"x", ""}}, {}, Event("y", "x"), kCycle},
      {"ring through newer duplicate", 4, {{"x", ""}, {"x", "y"}}, {}, Event("y", "x"), kCycle},
      {"duplicates without ring", 4, {{"x", "p"}, {"x", "q"}}, {}, Event("y", "x"), "none"},
      // Once the older record is evicted, only the newer one links.
      {"older duplicate evicted", 2, {{"x", "y"}, {"x", ""}}, {{"a", ""}}, Event("y", "x"), "none"},
      // Guards against the newer record losing its link when the older one
      // is evicted.
      {"newer links alone", 2, {{"x", ""}, {"x", "y"}}, {{"a", ""}}, Event("y", "x"), kCycle},
      {"junction", 4, {{"x", "y"}, {"x", ""}, {"b", "x"}}, {}, Event("y", "b"), kCycle},
  };
  for (const OfferCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t = Build(c.capacity, c.restored, c.before);
    const std::string before = Capture(t);
    const std::uint64_t next = t.next_sequence();
    EXPECT_EQ(Offer(t, c.offered), c.expected);
    const std::string text = write_timeline_snapshot(t);
    EXPECT_EQ(write_timeline_snapshot(read_timeline_snapshot(text)), text);
    if (std::string_view(c.expected) != "none") {
      EXPECT_EQ(Capture(t), before);
      t.append(Event("fresh"));  // gets the number the refused one would have had
    }
    EXPECT_EQ(t.retained_events().back().sequence, next);
  }
  Timeline last(4);  // the last number has no next to follow it
  last.restore_next_sequence(UINT64_MAX);
  EXPECT_EQ(Offer(last, Event("a")), "timeline sequence out of range");
  EXPECT_FALSE(last.knows("a"));
}

// The store fuzzer copies and moves timelines all the time; this is what it
// does not see: the emptied source of a move, by construction and by
// assignment, which must answer every observer as a new timeline of its
// capacity does and work as one; and a copy that diverges.
TEST(TimelineTest, CopiesAndMovesAreIndependentValues) {
  const auto build = [] { return Build(3, {{"x", "r"}, {"x", ""}}, {{"y", "x"}, {"z", "y"}}); };
  const auto observed = [](const Timeline& t) {
    return std::to_string(t.capacity()) + " " + Capture(t) + " " +
           ::testing::PrintToString(testing::Ids(t.build_causal_trace("z").events)) +
           write_timeline_snapshot(t);
  };
  const std::string fresh = observed(Timeline(3));
  Timeline t = build();
  Timeline copy = t;
  Timeline moved = std::move(t);
  Timeline assigned(1);
  Timeline source = build();
  assigned = std::move(source);
  // NOLINTNEXTLINE(bugprone-use-after-move): what a moved-from timeline answers
  for (Timeline* emptied : {&t, &source}) {
    EXPECT_EQ(observed(*emptied), fresh);
    emptied->append(Event("z"));  // works as new
    EXPECT_EQ(RetainedIds(*emptied), Ids{"z"});
  }
  copy.append(Event("w", "z"));  // evicts the later "x" from the copy only
  EXPECT_EQ(RetainedIds(copy), (Ids{"y", "z", "w"}));
  EXPECT_EQ(RetainedIds(moved), (Ids{"x", "y", "z"}));
  EXPECT_EQ(RetainedIds(assigned), (Ids{"x", "y", "z"}));
}

// Ids whose lengths sit on the boundaries of how the id table and the
// records encode a length (one, two and three varint bytes; an entry too
// long for a shared block gets a block of its own), and either side of each,
// behave as any id: found again, refused twice, in cycle checks, traced,
// written and read back, remembered once evicted.
TEST(TimelineTest, IdsOfEveryEncodedLengthBehaveAlike) {
  for (const std::size_t length :
       {127u, 128u, 129u, 16383u, 16384u, 16385u, 262124u, 262125u, 262126u}) {
    SCOPED_TRACE(length);
    const std::string id(length, 'i');
    const std::string longer = id + "j";
    Timeline t(3);
    t.append(Event(id, longer));  // `longer`, named before it arrives
    t.append(Event("child", id));
    EXPECT_TRUE(t.knows(id));
    EXPECT_EQ(Offer(t, Event(id)), kUnique);
    EXPECT_EQ(Offer(t, Event(longer, "child")), kCycle);
    EXPECT_EQ(testing::Ids(t.build_causal_trace("child").events), (Ids{id, "child"}));
    const std::string text = write_timeline_snapshot(t);
    EXPECT_EQ(write_timeline_snapshot(read_timeline_snapshot(text)), text);
    TimelineEvent big = Event("big");
    big.message = id;  // the record's own length varints
    t.append(std::move(big));
    t.append(Event("evicts"));
    EXPECT_EQ(t.evicted_sequence(id), 1u);
    EXPECT_EQ(Offer(t, Event(id)), kUnique);
    EXPECT_EQ(t.retained_events().back().id, "evicts");
  }
}

// The effects of `id` as "status: id/depth<cause ...", each event's
// cause by its index.
std::string Effects(const Timeline& t, std::string_view id) {
  const CausalEffects effects = t.build_causal_effects(id);
  std::string s = std::to_string(static_cast<int>(effects.status)) + ":";
  for (const EffectEvent& e : effects.events) {
    s += " " + e.event.id + "/" + std::to_string(e.depth);
    if (e.cause) s += "<" + std::to_string(*e.cause);
  }
  return s;
}

struct EffectsCase {
  const char* name;
  std::uint64_t capacity;
  Links restored, appended;
  const char* id;
  const char* expected;  // 0 complete, 1 retention_gap, 2 not_found
};

TEST(TimelineTest, EffectsFollowChildLinksThroughAnyOrderAndEviction) {
  const EffectsCase cases[] = {
      {"chain", 8, {}, {{"a", ""}, {"b", "a"}, {"c", "b"}}, "a", "0: a/0 b/1<0 c/2<1"},
      {"leaf", 8, {}, {{"a", ""}, {"b", "a"}}, "b", "0: b/0"},
      // Each depth in sequence order, whatever the order of the parents.
      {"fan-out",
       8,
       {},
       {{"a", ""}, {"b", "a"}, {"c", "a"}, {"d", "c"}, {"e", "b"}},
       "a",
       "0: a/0 b/1<0 c/1<0 d/2<2 e/2<1"},
      {"child before parent",
       8,
       {},
       {{"c", "b"}, {"b", "a"}, {"a", ""}},
       "a",
       "0: a/0 b/1<0 c/2<1"},
      {"unknown id", 8, {}, {{"a", ""}}, "x", "2:"},
      {"named, never accepted", 8, {}, {{"b", "x"}, {"c", "b"}}, "x", "1: b/1 c/2<0"},
      {"evicted leaf", 1, {}, {{"a", ""}, {"b", ""}}, "a", "1:"},
      // Guards against effects stopping where an id left the window.
      {"through evicted ids",
       2,
       {},
       {{"a", ""}, {"b", "a"}, {"c", "b"}, {"d", "c"}},
       "a",
       "1: c/2 d/3<0"},
      {"gap below a retained root",
       3,
       {},
       {{"b", "a"}, {"a", ""}, {"c", "b"}, {"x", ""}},
       "a",
       "1: a/0 c/2<0"},
      // An id restored twice is placed by its oldest record; the newer one
      // hangs below its own parent.
      {"restored twice",
       8,
       {{"x", "p"}, {"p", ""}, {"x", "p"}, {"y", "x"}},
       {},
       "p",
       "0: p/0 x/1<0 x/1<0 y/2<1"},
      {"restored twice, other parents",
       8,
       {{"q", ""}, {"x", "q"}, {"p", ""}, {"x", "p"}},
       {},
       "p",
       "0: p/0 x/1<0"},
      // Guards against the id keeping its old place once its oldest record
      // is evicted: its children follow the newer record's parent.
      {"older record evicted",
       5,
       {{"q", ""}, {"x", "q"}, {"p", ""}, {"x", "p"}, {"y", "x"}},
       {{"z", ""}, {"w", ""}},
       "p",
       "0: p/0 x/1<0 y/2<1"},
      // Guards against a repeated id dropping out once its last record goes.
      {"repeated id evicted",
       5,
       {{"q", ""}, {"x", "q"}, {"p", ""}, {"x", "p"}, {"y", "x"}},
       {{"z", ""}, {"w", ""}, {"v", ""}, {"u", ""}},
       "p",
       "1: y/2"},
  };
  for (const EffectsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t = Build(c.capacity, c.restored, c.appended);
    EXPECT_EQ(Effects(t, c.id), c.expected);
    EXPECT_EQ(Effects(Timeline(t), c.id), c.expected);  // copies keep the links
    if (t.evicted_ids() == 0) {                         // a snapshot holds every link
      EXPECT_EQ(Effects(read_timeline_snapshot(write_timeline_snapshot(t)), c.id), c.expected);
    }
  }
  EXPECT_EQ(Effects(Timeline(4), ""), "2:");
}

// A path as "id:wall step/model step/since root ... total", "-" for a step
// that is not known.
std::string Describe(const CausalPath& path) {
  const auto step = [](const std::optional<TimeStep>& t) {
    if (!t) return std::string("-");
    return (t->negative ? "-" : "") + std::to_string(t->magnitude);
  };
  std::string s;
  for (const LatencyHop& hop : path.hops) {
    s += hop.event.id + ":" + step(hop.wall_step_ns) + "/" + step(hop.model_step) + "/" +
         step(hop.since_root_ns) + " ";
  }
  return s + "total " + step(path.total_ns);
}

struct LatencyCase {
  const char* name;
  std::vector<std::tuple<const char*, const char*, std::uint64_t, const char*>> events;
  const char* id;
  const char* trace;  // trace_latency of the trace of `id`
  const char* path;   // critical_path of its effects
};

TEST(TimelineTest, LatencyStepsNeverWrapAndStayWithinAClock) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  // Each event: id, parent, wall time, clock domain; model time is wall / 10.
  const LatencyCase cases[] = {
      {"steps",
       {{"a", "", 100, "c"}, {"b", "a", 130, "c"}, {"c", "b", 120, "d"}},
       "c",
       "a:-/-/0 b:30/3/30 c:-10/-/20 total 20",
       "c:-/-/0 total 0"},
      // Guards against unsigned differences wrapping: the extremes apart.
      {"extremes",
       {{"a", "", kMax, "c"}, {"b", "a", 0, "c"}},
       "b",
       "a:-/-/0 b:-18446744073709551615/-1844674407370955161/-18446744073709551615 total "
       "-18446744073709551615",
       "b:-/-/0 total 0"},
      // The latest descendant; of equal times the lower sequence, at any depth.
      {"critical path",
       {{"r", "", 0, "c"}, {"x", "r", 50, "c"}, {"y", "x", 90, "c"}, {"z", "r", 90, "c"}},
       "r",
       "r:-/-/0 total 0",
       "r:-/-/0 x:50/5/50 y:40/4/90 total 90"},
      {"through an evicted id",
       {{"x", "r", 50, "c"},
        {"r", "", 0, "c"},
        {"y", "x", 90, "c"},
        {"p", "", 1, "c"},
        {"q", "", 1, "c"}},
       "r",
       "r:-/-/0 total 0",
       "r:-/-/0 y:-/-/90 total 90"},
  };
  for (const LatencyCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t(4);
    for (const auto& [id, parent, wall, domain] : c.events) {
      TimelineEvent e = Event(id, parent);
      e.wall_time_ns = wall;
      e.model_time = wall / 10;
      e.clock_domain = domain;
      t.append(std::move(e));
    }
    EXPECT_EQ(Describe(trace_latency(t.build_causal_trace(c.id))), c.trace);
    EXPECT_EQ(Describe(critical_path(t.build_causal_effects(c.id))), c.path);
  }
  EXPECT_EQ(Describe(critical_path(Timeline(4).build_causal_effects("none"))), "total 0");
}

}  // namespace
}  // namespace quorix
