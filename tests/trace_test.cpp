#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>
#include "test_events.h"

namespace quorix {
namespace {

using testing::Event;
using namespace std::string_literals;

struct TraceCase {
  const char* name;
  std::uint64_t capacity;
  std::vector<std::pair<std::string, std::string>> appended;  // id, parent
  std::string requested;
  TraceStatus status;
  std::vector<std::string> events;  // ids, root-most first
};

TEST(TraceTest, WalksParentsToTheRootOrTheGap) {
  const std::vector<std::pair<std::string, std::string>> chain = {
      {"input", ""}, {"message", "input"}, {"infer", "message"}};
  auto extended = chain;
  extended.insert(extended.end(), {{"a", "infer"}, {"b", "a"}});
  const TraceCase cases[] = {
      // complete
      {"whole chain", 4, chain, "infer", TraceStatus::complete, {"input", "message", "infer"}},
      {"a root alone", 4, chain, "input", TraceStatus::complete, {"input"}},
      {"empty id", 4, chain, "", TraceStatus::complete, {}},
      // retention_gap
      {"root evicted",
       4,
       extended,
       "b",
       TraceStatus::retention_gap,
       {"message", "infer", "a", "b"}},
      {"requested id evicted", 4, extended, "input", TraceStatus::retention_gap, {}},
      {"parent never appended",
       4,
       {{"x", "ghost"}, {"y", "x"}},
       "y",
       TraceStatus::retention_gap,
       {"x", "y"}},
      // not_found
      {"never held", 4, chain, "x", TraceStatus::not_found, {}},
      {"a held id with a zero byte after it", 4, chain, "infer\0"s, TraceStatus::not_found, {}},
      {"a parent that was never appended",
       4,
       {{"x", "ghost"}},
       "ghost",
       TraceStatus::not_found,
       {}},
      // ids with zero bytes are ordinary
      {"zero bytes",
       4,
       {{"\0"s, ""}, {"a\0b"s, "\0"s}},
       "a\0b"s,
       TraceStatus::complete,
       {"\0"s, "a\0b"s}},
  };
  for (const TraceCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timeline timeline(c.capacity);
    for (const auto& [id, parent] : c.appended) timeline.append(Event(id, parent));
    const CausalTrace trace = timeline.build_causal_trace(c.requested);
    EXPECT_EQ(trace.schema, "quorix-causal-trace/1");
    EXPECT_EQ(trace.root_id, c.requested);
    EXPECT_EQ(trace.status, c.status);
    EXPECT_EQ(testing::Ids(trace.events), c.events);
  }
}

TEST(TraceTest, IsUnchangedByLaterAppendsAndEvictions) {
  Timeline timeline(2);
  timeline.append(Event("a"));
  timeline.append(Event("b", "a"));
  const CausalTrace trace = timeline.build_causal_trace("b");
  timeline.append(Event("c", "b"));
  timeline.append(Event("d", "c"));  // both "a" and "b" are evicted now
  std::vector<TimelineEvent> expected = {Event("a"), Event("b", "a")};
  expected[0].sequence = 1;
  expected[1].sequence = 2;
  EXPECT_EQ(trace.status, TraceStatus::complete);
  EXPECT_EQ(trace.events, expected);
  EXPECT_EQ(timeline.build_causal_trace("b").status, TraceStatus::retention_gap);
}

}  // namespace
}  // namespace quorix
