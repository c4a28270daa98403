#include <gtest/gtest.h>

#include <string>

#include <quorix/render/trace_json.h>
#include <quorix/timeline/timeline.h>
#include "harness/checks.h"
#include "test_events.h"

namespace quorix {
namespace {

// The documents of the harness's own timeline, built by the real store.
constexpr char kInferTrace[] =
    R"({"schema":"quorix-causal-trace/1","root_id":"infer","status":"complete","events":[)"
    R"({"clock_domain":"wall","entity_id":"camera","id":"input","kind":"external_input","message":"frame","model_time":0,"parent":"","sequence":1,"wall_time_ns":100},)"
    R"({"clock_domain":"orchestrator","entity_id":"bus","id":"message","kind":"message","message":"routed","model_time":7,"parent":"input","sequence":2,"wall_time_ns":110},)"
    R"({"clock_domain":"transformer","entity_id":"transformer","id":"infer","kind":"inference","message":"decoded","model_time":2,"parent":"message","sequence":3,"wall_time_ns":120}]})";
constexpr char kRetentionTrace[] =
    R"({"schema":"quorix-causal-trace/1","root_id":"b","status":"retention_gap","events":[)"
    R"({"clock_domain":"orchestrator","entity_id":"bus","id":"message","kind":"message","message":"routed","model_time":7,"parent":"input","sequence":2,"wall_time_ns":110},)"
    R"({"clock_domain":"transformer","entity_id":"transformer","id":"infer","kind":"inference","message":"decoded","model_time":2,"parent":"message","sequence":3,"wall_time_ns":120},)"
    R"({"clock_domain":"c","entity_id":"e","id":"a","kind":"x","message":"","model_time":0,"parent":"infer","sequence":4,"wall_time_ns":0},)"
    R"({"clock_domain":"c","entity_id":"e","id":"b","kind":"x","message":"","model_time":0,"parent":"a","sequence":5,"wall_time_ns":0}]})";
constexpr char kNotFoundTrace[] =
    R"({"schema":"quorix-causal-trace/1","root_id":"x","status":"not_found","events":[]})";

TEST(TraceJsonTest, WorkedExamples) {
  Timeline timeline = m09::build_causal_fixture();
  const std::string infer = render_trace_json(timeline.build_causal_trace("infer"));
  EXPECT_EQ(infer, kInferTrace);
  EXPECT_EQ(infer.size(), 582u);

  m09::append_retention_fixture(timeline);  // appends "a" and "b", evicting "input"
  const std::string retention = render_trace_json(timeline.build_causal_trace("b"));
  EXPECT_EQ(retention, kRetentionTrace);
  EXPECT_EQ(retention.size(), 684u);

  const std::string missing = render_trace_json(timeline.build_causal_trace("x"));
  EXPECT_EQ(missing, kNotFoundTrace);
  EXPECT_EQ(missing.size(), 81u);
}

}  // namespace
}  // namespace quorix
