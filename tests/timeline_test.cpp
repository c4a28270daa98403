#include <quorix/timeline/timeline.h>

#include <gtest/gtest.h>

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

// Everything observable about a timeline, for the ids a test cares about.
struct State {
  std::uint64_t capacity;
  std::uint64_t next_sequence;
  std::vector<TimelineEvent> retained;
  std::size_t provenance_size;
  std::size_t evicted_size;
  std::vector<std::optional<std::string>> parents;
  std::vector<std::optional<std::uint64_t>> evicted;
  bool operator==(const State&) const = default;
};

class TimelineTest : public ::testing::Test {
 protected:
  void Append(std::string_view id, std::string_view parent = {}) {
    timeline_.append(Event(id, parent));
  }

  // Appends and returns the exception's type-checked message, or "accepted".
  std::string Refusal(TimelineEvent event) {
    try {
      timeline_.append(std::move(event));
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "accepted";
  }

  State Capture(const Ids& ids) const {
    State s{timeline_.capacity(),
            timeline_.next_sequence(),
            {timeline_.retained_events().begin(), timeline_.retained_events().end()},
            timeline_.provenance_size(),
            timeline_.evicted_size(),
            {},
            {}};
    for (const std::string& id : ids) {
      const auto parent = timeline_.provenance_parent(id);
      s.parents.push_back(parent ? std::optional<std::string>(*parent) : std::nullopt);
      s.evicted.push_back(timeline_.evicted_sequence(id));
    }
    return s;
  }

  std::vector<std::uint64_t> Sequences() const {
    std::vector<std::uint64_t> seqs;
    for (const TimelineEvent& e : timeline_.retained_events()) seqs.push_back(e.sequence);
    return seqs;
  }

  Timeline timeline_{4};
};

TEST_F(TimelineTest, CapacityZeroIsRefused) {
  try {
    Timeline t(0);
    FAIL() << "capacity 0 accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "timeline capacity must be positive");
  }
}

TEST_F(TimelineTest, NumbersRetainsAndEvicts) {
  TimelineEvent first = Event("e1");
  first.sequence = 99;  // overwritten
  timeline_.append(std::move(first));
  for (const char* id : {"e2", "e3", "e4", "e5"}) Append(id);
  EXPECT_EQ(RetainedIds(timeline_), (Ids{"e2", "e3", "e4", "e5"}));
  EXPECT_EQ(Sequences(), (std::vector<std::uint64_t>{2, 3, 4, 5}));
  EXPECT_EQ(timeline_.next_sequence(), 6u);
  EXPECT_EQ(timeline_.evicted_sequence("e1"), 1u);
  EXPECT_EQ(timeline_.evicted_size(), 1u);
  // An evicted id stays known, with its parent.
  EXPECT_EQ(timeline_.provenance_parent("e1"), std::string_view());
  EXPECT_EQ(timeline_.provenance_size(), 5u);

  timeline_ = Timeline(1);  // every event after the first evicts its predecessor
  Append("a");
  Append("b", "a");
  EXPECT_EQ(RetainedIds(timeline_), Ids{"b"});
  EXPECT_EQ(timeline_.evicted_sequence("a"), 1u);
}

TEST_F(TimelineTest, AcceptsParentsThatAreUnknownOrEvicted) {
  timeline_ = Timeline(1);
  Append("a", "never-appended");
  Append("b", "a");  // evicts "a"
  Append("c", "a");  // names an evicted parent
  EXPECT_EQ(RetainedIds(timeline_), Ids{"c"});
  EXPECT_EQ(timeline_.provenance_parent("a"), "never-appended");
}

TEST_F(TimelineTest, IdsAreComparedByLengthAndBytes) {
  using std::string_literals::operator""s;
  Append("a\0b"s);
  Append("a\0c"s);
  Append("a");
  Append("a\0"s, "a\0b"s);
  EXPECT_EQ(timeline_.provenance_size(), 4u);
  EXPECT_EQ(timeline_.provenance_parent("a\0"s), "a\0b"s);
  EXPECT_EQ(Refusal(Event("a\0c"s)), "timeline event id must be unique");
}

// Each refusal leaves the whole state as it was and consumes no number.
struct RefusalCase {
  const char* name;
  std::uint64_t capacity;
  std::vector<std::pair<std::string, std::string>> before;  // appended: id, parent
  TimelineEvent offered;
  const char* message;
};

TEST_F(TimelineTest, RefusalsChangeNothing) {
  const RefusalCase cases[] = {
      {"empty id", 4, {{"a", ""}}, Event("", "a"), "timeline event id must be unique"},
      {"empty id and parent", 4, {}, Event(""), "timeline event id must be unique"},
      {"retained duplicate", 4, {{"a", ""}}, Event("a"), "timeline event id must be unique"},
      {"evicted duplicate",
       1,
       {{"a", ""}, {"b", "a"}},
       Event("a"),
       "timeline event id must be unique"},
      // A duplicate is reported before a self-parent cycle: the checks' order.
      {"duplicate naming itself",
       4,
       {{"a", ""}},
       Event("a", "a"),
       "timeline event id must be unique"},
      {"cycle of length 1", 4, {}, Event("x", "x"), "causal provenance cycle"},
      {"cycle of length 2", 4, {{"b", "a"}}, Event("a", "b"), "causal provenance cycle"},
      {"cycle of length 3",
       4,
       {{"c", "a"}, {"b", "c"}},
       Event("a", "b"),
       "causal provenance cycle"},
      // "b" has left the window, but its link to "a" still closes the ring.
      {"cycle through an evicted event",
       1,
       {{"b", "a"}, {"c", "b"}, {"d", ""}},
       Event("a", "c"),
       "causal provenance cycle"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    timeline_ = Timeline(c.capacity);
    for (const auto& [id, parent] : c.before) Append(id, parent);
    const Ids probe = {"", "a", "b", "c", "d", "x"};
    const State before = Capture(probe);
    EXPECT_EQ(Refusal(c.offered), c.message);
    EXPECT_EQ(Capture(probe), before);
    // The next accepted event gets the number the refused one would have had.
    Append("fresh");
    EXPECT_EQ(timeline_.retained_events().back().sequence, before.next_sequence);
  }
}

TEST_F(TimelineTest, RestoreKeepsRecordsAsGivenUntilTheNextAppend) {
  timeline_ = Timeline(2);
  for (auto [id, parent, sequence] : {std::tuple{"x", "p", 40}, {"y", "", 41}, {"x", "q", 7}}) {
    TimelineEvent e = Event(id, parent);
    e.sequence = static_cast<std::uint64_t>(sequence);
    timeline_.restore_event(e);
  }
  timeline_.restore_next_sequence(3);
  EXPECT_EQ(RetainedIds(timeline_), (Ids{"x", "y", "x"}));  // over capacity, duplicate kept
  EXPECT_EQ(Sequences(), (std::vector<std::uint64_t>{40, 41, 7}));
  EXPECT_EQ(timeline_.provenance_parent("x"), "q");  // the later record wins
  EXPECT_EQ(timeline_.evicted_size(), 0u);

  Append("n");  // evicts down to capacity
  EXPECT_EQ(RetainedIds(timeline_), (Ids{"x", "n"}));
  EXPECT_EQ(timeline_.retained_events().back().sequence, 3u);
  EXPECT_EQ(timeline_.evicted_sequence("y"), 41u);
  EXPECT_EQ(timeline_.evicted_sequence("x"), 40u);
  EXPECT_EQ(timeline_.evicted_size(), 2u);
  Append("m");  // evicts "x" again: the existing entry takes the new number
  EXPECT_EQ(timeline_.evicted_sequence("x"), 7u);
  EXPECT_EQ(timeline_.evicted_size(), 2u);
}

TEST_F(TimelineTest, CopiesAreIndependentValues) {
  timeline_ = Timeline(3);
  timeline_.restore_event(Event("x", "r"));
  timeline_.restore_event(Event("x"));  // a duplicate: the trace finds the older
  Append("y", "x");
  Append("z", "y");  // evicts the older "x"
  Timeline copy = timeline_;
  const CausalTrace expected = timeline_.build_causal_trace("z");
  timeline_ = Timeline(1);  // the original records are gone
  EXPECT_EQ(copy.build_causal_trace("z"), expected);
  copy.append(Event("w", "z"));  // evicts the later "x" from the copy
  EXPECT_EQ(RetainedIds(copy), (Ids{"y", "z", "w"}));
  EXPECT_EQ(copy.evicted_sequence("x"), 0u);
  EXPECT_EQ(timeline_.provenance_size(), 0u);
}

// restore_event does not check links, so restored records can make rings
// that no append could; walks through them end with a refusal.
TEST_F(TimelineTest, WalksThroughRestoredRingsEnd) {
  // The later "x" hides the earlier one's parent from provenance, so "e" is
  // accepted; but the trace finds the earlier "x", whose parent is "e".
  timeline_.restore_event(Event("x", "e"));
  timeline_.restore_event(Event("x"));
  Append("e", "x");
  EXPECT_EQ(testing::InvalidArgument([&] { timeline_.build_causal_trace("e"); }),
            "causal provenance cycle");

  timeline_ = Timeline(4);
  timeline_.restore_event(Event("a", "b"));
  timeline_.restore_event(Event("b", "a"));
  EXPECT_EQ(Refusal(Event("c", "a")), "causal provenance cycle");
  EXPECT_EQ(timeline_.next_sequence(), 1u);
  EXPECT_EQ(testing::InvalidArgument([&] { timeline_.verify_acyclic(); }),
            "causal provenance cycle");
}

}  // namespace
}  // namespace quorix
