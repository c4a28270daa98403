#include <quorix/timeline/timeline.h>

#include <gtest/gtest.h>

#include <cstdint>
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
  EXPECT_EQ(t.next_sequence(), 6u);
  EXPECT_EQ(t.evicted_sequence("e1"), 1u);
  EXPECT_TRUE(t.knows("e1"));  // an evicted id stays known
  EXPECT_FALSE(t.knows({}));   // a view without data
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
    const std::string before = Capture(t);
    const std::uint64_t next = t.next_sequence();
    EXPECT_EQ(Offer(t, c.offered), c.expected);
    if (std::string_view(c.expected) != "none") {
      EXPECT_EQ(Capture(t), before);
      t.append(Event("fresh"));  // gets the number the refused one would have had
    }
    EXPECT_EQ(t.retained_events().back().sequence, next);
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

// Each row appends `appended` in order to a timeline of capacity 4, then
// traces `requested`.
TEST(TraceTest, WalksParentsToTheRootOrTheGap) {
  using namespace std::string_literals;
  const Links chain = {{"input", ""}, {"message", "input"}, {"infer", "message"}};
  Links extended = chain;
  extended.insert(extended.end(), {{"a", "infer"}, {"b", "a"}});  // evicts "input"
  const struct {
    Links appended;
    std::string requested;
    TraceStatus status;
    Ids events;  // root-most first
  } rows[] = {
      {chain, "infer", TraceStatus::complete, {"input", "message", "infer"}},
      {chain, "input", TraceStatus::complete, {"input"}},
      {chain, "", TraceStatus::complete, {}},
      {extended, "b", TraceStatus::retention_gap, {"message", "infer", "a", "b"}},
      {extended, "input", TraceStatus::retention_gap, {}},  // the requested id evicted
      {{{"x", "ghost"}, {"y", "x"}}, "y", TraceStatus::retention_gap, {"x", "y"}},
      {chain, "x", TraceStatus::not_found, {}},
      {chain, "infer\0"s, TraceStatus::not_found, {}},          // a held id, a zero byte more
      {{{"x", "ghost"}}, "ghost", TraceStatus::not_found, {}},  // named, never appended
      {{{"\0"s, ""}, {"a\0b"s, "\0"s}}, "a\0b"s, TraceStatus::complete, {"\0"s, "a\0b"s}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.requested));
    const CausalTrace trace = Build(4, {}, row.appended).build_causal_trace(row.requested);
    EXPECT_EQ(trace.schema, "quorix-causal-trace/1");
    EXPECT_EQ(trace.root_id, row.requested);
    EXPECT_EQ(trace.status, row.status);
    EXPECT_EQ(testing::Ids(trace.events), row.events);
  }
}

// The store fuzzer copies and moves timelines all the time; this is what it
// does not see: the emptied source of a move, and a copy that diverges.
TEST(TimelineTest, CopiesAndMovesAreIndependentValues) {
  Timeline t = Build(3, {{"x", "r"}, {"x", ""}}, {{"y", "x"}, {"z", "y"}});
  Timeline copy = t;
  Timeline moved = std::move(t);
  EXPECT_EQ(t.retained_events().size(), 0u);  // NOLINT(bugprone-use-after-move): specified
  EXPECT_EQ(t.next_sequence(), 1u);           // NOLINT(bugprone-use-after-move)
  t.append(Event("z"));                       // the emptied timeline works as new
  copy.append(Event("w", "z"));               // evicts the later "x" from the copy only
  EXPECT_EQ(RetainedIds(copy), (Ids{"y", "z", "w"}));
  EXPECT_EQ(RetainedIds(moved), (Ids{"x", "y", "z"}));
}

}  // namespace
}  // namespace quorix
