#include <quorix/timeline/timeline.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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
struct State {
  std::uint64_t next_sequence;
  std::vector<TimelineEvent> retained;
  std::uint64_t known, evicted;
  std::vector<bool> knows;
  std::vector<std::optional<std::uint64_t>> evicted_sequences;
  bool operator==(const State&) const = default;
};

State Capture(const Timeline& t) {
  State s{t.next_sequence(),
          {t.retained_events().begin(), t.retained_events().end()},
          t.known_ids(),
          t.evicted_ids(),
          {},
          {}};
  for (const char* id : {"", "a", "b", "c", "d", "x", "y"}) {
    s.knows.push_back(t.knows(id));
    s.evicted_sequences.push_back(t.evicted_sequence(id));
  }
  return s;
}

// The message of the std::invalid_argument that append throws, or "none".
std::string Offer(Timeline& t, TimelineEvent event) {
  return testing::InvalidArgument([&] { t.append(std::move(event)); });
}

Timeline Build(std::uint64_t capacity, const Links& restored, const Links& appended) {
  Timeline t(capacity);
  for (const auto& [id, parent] : restored) t.restore_event(Event(id, parent));
  for (const auto& [id, parent] : appended) t.append(Event(id, parent));
  return t;
}

constexpr const char* kUnique = "timeline event id must be unique";
constexpr const char* kCycle = "causal provenance cycle";

TEST(TimelineTest, CapacityZeroIsRefused) {
  EXPECT_EQ(testing::InvalidArgument([] { Timeline t(0); }), "timeline capacity must be positive");
}

TEST(TimelineTest, NumbersRetainsAndEvicts) {
  Timeline t(4);
  TimelineEvent first = Event("e1");
  first.sequence = 99;  // overwritten
  t.append(std::move(first));
  for (const char* id : {"e2", "e3", "e4", "e5"}) t.append(Event(id, "e1"));
  EXPECT_EQ(RetainedIds(t), (Ids{"e2", "e3", "e4", "e5"}));
  EXPECT_EQ(t.retained_events().front().sequence, 2u);
  EXPECT_EQ(t.next_sequence(), 6u);
  EXPECT_EQ(t.evicted_sequence("e1"), 1u);
  EXPECT_EQ(t.evicted_ids(), 1u);
  EXPECT_TRUE(t.knows("e1"));  // an evicted id stays known
  EXPECT_FALSE(t.knows("e0"));
  EXPECT_FALSE(t.knows({}));  // a view without data
}

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
      {"root", 4, {}, {}, Event("a"), "none"},
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
      {"cycle of three", 4, {}, {{"c", "a"}, {"b", "c"}}, Event("a", "b"), kCycle},
      // "b" left the window, but its link to "a" still closes the ring.
      {"cycle through evicted",
       1,
       {},
       {{"b", "a"}, {"c", "b"}, {"d", ""}},
       Event("a", "c"),
       kCycle},
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
      {"junction behind a chain",
       4,
       {{"x", "y"}, {"x", ""}, {"b", "x"}},
       {},
       Event("y", "b"),
       kCycle},
  };
  for (const OfferCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline t = Build(c.capacity, c.restored, c.before);
    const State before = Capture(t);
    EXPECT_EQ(Offer(t, c.offered), c.expected);
    if (std::string_view(c.expected) == "none") {
      EXPECT_EQ(t.retained_events().back().sequence, before.next_sequence);
      continue;
    }
    EXPECT_EQ(Capture(t), before);
    t.append(Event("fresh"));  // gets the number the refused one would have had
    EXPECT_EQ(t.retained_events().back().sequence, before.next_sequence);
  }
}

TEST(TimelineTest, RestoreKeepsRecordsAsGivenUntilTheNextAppend) {
  Timeline t(2);
  for (auto [id, sequence] : {std::pair{"x", 40}, {"y", 41}, {"x", 7}}) {
    TimelineEvent e = Event(id);
    e.sequence = static_cast<std::uint64_t>(sequence);
    t.restore_event(e);
  }
  t.restore_next_sequence(3);
  EXPECT_EQ(RetainedIds(t), (Ids{"x", "y", "x"}));  // over capacity, duplicate kept
  EXPECT_EQ(t.known_ids(), 2u);
  t.append(Event("n"));  // evicts down to capacity
  EXPECT_EQ(RetainedIds(t), (Ids{"x", "n"}));
  EXPECT_EQ(t.retained_events().back().sequence, 3u);
  EXPECT_EQ(t.evicted_sequence("x"), 40u);
  EXPECT_EQ(t.evicted_ids(), 2u);
  EXPECT_EQ(t.build_causal_trace("x").events.front().sequence, 7u);
  t.append(Event("m"));  // evicts "x" again: the entry takes the new number
  EXPECT_EQ(t.evicted_sequence("x"), 7u);
  EXPECT_EQ(t.evicted_ids(), 2u);
  EXPECT_THROW(t.restore_event(Event("z")), std::logic_error);
}

TEST(TimelineTest, RestoredRingsAreRefusedBeforeAnyWalk) {
  Timeline t = Build(4, {{"a", "b"}, {"b", "a"}}, {});
  EXPECT_EQ(testing::InvalidArgument([&] { t.build_causal_trace("a"); }), kCycle);
  EXPECT_EQ(Offer(t, Event("c")), kCycle);
  EXPECT_EQ(t.next_sequence(), 1u);
  EXPECT_EQ(testing::InvalidArgument([&] { t.verify_acyclic(); }), kCycle);
  // A ring that runs through a junction and back.
  t = Build(4, {{"x", ""}, {"x", "b"}, {"b", "x"}}, {});
  EXPECT_EQ(testing::InvalidArgument([&] { t.verify_acyclic(); }), kCycle);
}

TEST(TimelineTest, CopiesAndMovesAreIndependentValues) {
  Timeline t = Build(3, {{"x", "r"}, {"x", ""}}, {{"y", "x"}, {"z", "y"}});
  Timeline copy = t;
  const CausalTrace expected = t.build_causal_trace("z");
  Timeline moved = std::move(t);
  EXPECT_EQ(t.retained_events().size(), 0u);  // NOLINT(bugprone-use-after-move): specified
  EXPECT_EQ(t.next_sequence(), 1u);           // NOLINT(bugprone-use-after-move)
  t.append(Event("z"));                       // the emptied timeline works as new
  EXPECT_EQ(moved.build_causal_trace("z"), expected);
  copy.append(Event("w", "z"));  // evicts the later "x" from the copy only
  EXPECT_EQ(RetainedIds(copy), (Ids{"y", "z", "w"}));
  EXPECT_EQ(copy.evicted_sequence("x"), 0u);
  EXPECT_EQ(moved.build_causal_trace("z"), expected);
  EXPECT_EQ(Offer(copy, Event("y")), kUnique);
}

}  // namespace
}  // namespace quorix
