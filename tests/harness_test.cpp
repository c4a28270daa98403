#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "harness/checks.h"
#include "harness/runner.h"
#include "test_files.h"

namespace quorix::m09 {
namespace {

constexpr char kOrderLine[] = "[PASS] immutable trace reaches external input in causal order\n";
constexpr char kClockLine[] = "[PASS] wall and independent model clock domains remain explicit\n";
constexpr char kOfflineLine[] = "[PASS] live and offline trace rendering is identical\n";
constexpr char kLastLines[] =
    "[PASS] missing retention and provenance cycles fail explicitly\nM-09 VERDICT: PASS\n";

// Runs `check`; returns what it wrote to its stream and the message of the
// std::runtime_error it threw ("held" if none).
template <typename Check>
std::pair<std::string, std::string> Outcome(Check check) {
  std::ostringstream out;
  try {
    check(out);
  } catch (const std::runtime_error& e) {
    return {out.str(), e.what()};
  }
  return {out.str(), "held"};
}

// The fixture's snapshot and documents, byte for byte; read back, the snapshot forgets what was
// evicted before it was written.
TEST(ChecksTest, FixtureWritesItsWorkedExamples) {
  Timeline t = build_causal_fixture();
  EXPECT_EQ(write_timeline_snapshot(t),
            "quorix-timeline 1 4 4 3\ninput\t\texternal_input\tcamera\twall\t100\t0\t1\tframe\n"
            "message\tinput\tmessage\tbus\torchestrator\t110\t7\t2\trouted\n"
            "infer\tmessage\tinference\ttransformer\ttransformer\t120\t2\t3\tdecoded\n");
  const std::string kept =
      R"({"clock_domain":"orchestrator","entity_id":"bus","id":"message","kind":"message","message":"routed","model_time":7,"parent":"input","sequence":2,"wall_time_ns":110},{"clock_domain":"transformer","entity_id":"transformer","id":"infer","kind":"inference","message":"decoded","model_time":2,"parent":"message","sequence":3,"wall_time_ns":120})";
  EXPECT_EQ(
      render_trace_json(t.build_causal_trace("infer")),
      R"({"schema":"quorix-causal-trace/1","root_id":"infer","status":"complete","events":[{"clock_domain":"wall","entity_id":"camera","id":"input","kind":"external_input","message":"frame","model_time":0,"parent":"","sequence":1,"wall_time_ns":100},)" +
          kept + "]}");
  append_retention_fixture(t);  // evicts "input"
  Timeline restored = read_timeline_snapshot(write_timeline_snapshot(t));
  for (const Timeline* timeline : {&t, &restored}) {
    EXPECT_EQ(
        render_trace_json(timeline->build_causal_trace("b")),
        R"({"schema":"quorix-causal-trace/1","root_id":"b","status":"retention_gap","events":[)" +
            kept +
            R"(,{"clock_domain":"c","entity_id":"e","id":"a","kind":"x","message":"","model_time":0,"parent":"infer","sequence":4,"wall_time_ns":0},{"clock_domain":"c","entity_id":"e","id":"b","kind":"x","message":"","model_time":0,"parent":"a","sequence":5,"wall_time_ns":0}]})");
  }
  EXPECT_EQ(restored.build_causal_trace("input").status, TraceStatus::not_found);
  TimelineEvent again;
  again.id = "input";
  EXPECT_NO_THROW(restored.append(again));  // the live timeline refuses it
}

TEST(ChecksTest, CycleCheckTakesAnyRefusal) {
  // A refusal of any type passes; an accepted cycle fails and writes nothing.
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused(offer_self_parent, out); }),
            std::make_pair(std::string(kLastLines), std::string("held")));
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused([] { throw 7; }, out); }).second,
            "held");
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused([] {}, out); }),
            std::make_pair(std::string(), std::string("cycle accepted")));
}

TEST(RunnerTest, OnlyStandardExceptionsAreReported) {
  std::ostringstream err;
  EXPECT_EQ(run_protected([] { throw std::bad_alloc(); }, err), 1);
  EXPECT_EQ(err.str(), "[FAIL] std::bad_alloc\nM-09 VERDICT: FAIL\n");
  EXPECT_THROW(run_protected([] { throw 42; }, err), int);  // not ours to report
}

// The built program, run as a user runs it.
struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

ProgramRun RunProgram(const std::string& program, const std::string& arguments) {
  const std::string out = quorix::testing::TempFile("m09-out");
  const std::string err = quorix::testing::TempFile("m09-err");
  const std::string command =
      "'" + program + "' " + arguments + " >'" + out + "' 2>'" + err + "' </dev/null";
  const int raw = std::system(command.c_str());
  ProgramRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, quorix::testing::FileBytes(out),
                 quorix::testing::FileBytes(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

TEST(EndToEndTest, PrintsThePassReportWhateverTheArguments) {
  const ProgramRun run = RunProgram(M09_PATH, "-x 'two words' \"\" 42");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, std::string(kOrderLine) + kClockLine + kOfflineLine + kLastLines);
  EXPECT_EQ(run.err, "");
}

// The whole program over one faulty component: the lines of the checks that
// held on standard output, the report on standard error, status 1.
TEST(EndToEndTest, EachFailureEndsTheRunWithItsReport) {
  const std::string two = std::string(kOrderLine) + kClockLine;
  const struct {
    const char* fault;
    std::string out;
    const char* message;
  } rows[] = {
      // Traces as some broken trace builder would return them.
      {"newest-first", "", "causal ordering differs"},
      {"gap-status", "", "causal ordering differs"},
      {"two-events", "", "causal ordering differs"},
      {"four-events", "", "causal ordering differs"},
      {"one-clock", kOrderLine, "clock domains collapsed"},
      {"model-time", kOrderLine, "clock domains collapsed"},
      {"throws", two, "timeline event id must be unique"},  // a component's own error
      // Caught only if the run compares the live document with the offline one.
      {"lossy-reader", two, "offline trace differs"},
      {"gap-hidden", two + kOfflineLine, "retention gap hidden"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    const ProgramRun run = RunProgram(M09_FAULTS_PATH, row.fault);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, std::string("[FAIL] ") + row.message + "\nM-09 VERDICT: FAIL\n");
  }
  EXPECT_EQ(RunProgram(M09_FAULTS_PATH, "").status, 0);  // the stand-in runs the real program
}

}  // namespace
}  // namespace quorix::m09
