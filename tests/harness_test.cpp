#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "harness/checks.h"
#include "harness/require.h"
#include "harness/runner.h"
#include "test_events.h"

namespace quorix::m09 {
namespace {

constexpr char kPassOutput[] =
    "[PASS] immutable trace reaches external input in causal order\n"
    "[PASS] wall and independent model clock domains remain explicit\n"
    "[PASS] live and offline trace rendering is identical\n"
    "[PASS] missing retention and provenance cycles fail explicitly\n"
    "M-09 VERDICT: PASS\n";

// The message of the std::runtime_error that `check` throws, or "held".
template <typename Check>
std::string Failure(Check check) {
  try {
    check();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "held";
}

CausalTrace LiveTrace() { return build_causal_fixture().build_causal_trace("infer"); }

TEST(RequireTest, ThrowsTheMessageOnlyWhenFalse) {
  EXPECT_NO_THROW(require(true, "unused"));
  EXPECT_EQ(Failure([] { require(false, "causal ordering differs"); }), "causal ordering differs");
}

TEST(ChecksTest, FixtureTracePassesBothTraceChecks) {
  std::ostringstream out;
  const CausalTrace live = LiveTrace();
  check_causal_order(live, out);
  check_clock_domains(live, out);
  EXPECT_EQ(out.str(),
            "[PASS] immutable trace reaches external input in causal order\n"
            "[PASS] wall and independent model clock domains remain explicit\n");
}

// Faulty traces, each as some broken trace builder would return it.
TEST(ChecksTest, CausalOrderRefusesFaultyTraces) {
  struct Row {
    const char* fault;
    void (*spoil)(CausalTrace&);
  };
  const Row rows[] = {
      {"newest first", [](CausalTrace& t) { std::swap(t.events[0], t.events[2]); }},
      {"retention gap", [](CausalTrace& t) { t.status = TraceStatus::retention_gap; }},
      {"not found", [](CausalTrace& t) { t.status = TraceStatus::not_found; }},
      {"two events", [](CausalTrace& t) { t.events.erase(t.events.begin()); }},
      {"four events", [](CausalTrace& t) { t.events.push_back(t.events.back()); }},
      {"no events", [](CausalTrace& t) { t.events.clear(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    CausalTrace trace = LiveTrace();
    row.spoil(trace);
    std::ostringstream out;
    EXPECT_EQ(Failure([&] { check_causal_order(trace, out); }), "causal ordering differs");
    EXPECT_EQ(out.str(), "");
  }
}

TEST(ChecksTest, ClockDomainsRefusesFaultyTraces) {
  struct Row {
    const char* fault;
    void (*spoil)(CausalTrace&);
  };
  const Row rows[] = {
      {"ordered by model time", [](CausalTrace& t) { std::swap(t.events[1], t.events[2]); }},
      {"one wall clock",
       [](CausalTrace& t) {
         for (TimelineEvent& e : t.events) e.clock_domain = "wall";
       }},
      {"model time rewritten", [](CausalTrace& t) { t.events[2].model_time = 120; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    CausalTrace trace = LiveTrace();
    row.spoil(trace);
    std::ostringstream out;
    check_causal_order(trace, out);  // the order check still holds
    EXPECT_EQ(Failure([&] { check_clock_domains(trace, out); }), "clock domains collapsed");
    EXPECT_EQ(out.str(), "[PASS] immutable trace reaches external input in causal order\n");
  }
}

TEST(ChecksTest, RetentionGapNeedsTheEviction) {
  Timeline primary = build_causal_fixture();
  EXPECT_EQ(Failure([&] { check_retention_gap(primary); }), "held");
  EXPECT_EQ(testing::RetainedIds(primary),
            (std::vector<std::string>{"message", "infer", "a", "b"}));

  // A store that kept "input" (here: one with room for it) hides the gap.
  const Timeline fixture = build_causal_fixture();
  Timeline roomy(8);
  for (const TimelineEvent& e : fixture.retained_events()) roomy.append(e);
  EXPECT_EQ(Failure([&] { check_retention_gap(roomy); }), "retention gap hidden");
}

TEST(ChecksTest, ComponentErrorsPassThroughUnchanged) {
  Timeline primary(4);
  primary.append(testing::Event("a"));  // the fixture's "a" is now a duplicate
  try {
    check_retention_gap(primary);
    FAIL() << "duplicate accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "timeline event id must be unique");
  }
}

TEST(RunnerTest, RunWritesEveryPassLineAndTheVerdict) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(run_m09(out, err), 0);
  EXPECT_EQ(out.str(), kPassOutput);
  EXPECT_EQ(err.str(), "");
}

TEST(RunnerTest, FailureReportCarriesTheMessageUnchanged) {
  using namespace std::string_literals;
  const std::string messages[] = {"causal ordering differs", "", "two\nlines [FAIL] \\\"x\""};
  for (const std::string& message : messages) {
    std::ostringstream err;
    EXPECT_EQ(run_protected([&] { throw std::runtime_error(message); }, err), 1);
    EXPECT_EQ(err.str(), "[FAIL] " + message + "\nM-09 VERDICT: FAIL\n");
  }
}

TEST(RunnerTest, CatchesEveryStandardExceptionAndNothingElse) {
  std::ostringstream err;
  EXPECT_EQ(run_protected([] { throw std::bad_alloc(); }, err), 1);
  EXPECT_EQ(err.str().rfind("[FAIL] ", 0), 0u);
  EXPECT_EQ(run_protected([] {}, err), 0);
  EXPECT_THROW(run_protected([] { throw 42; }, err), int);
}

// The built program, run as a user runs it.
struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProgramRun RunM09(const std::string& arguments) {
  const std::string dir = ::testing::TempDir();
  const std::string out = dir + "m09.out";
  const std::string err = dir + "m09.err";
  const std::string command =
      std::string("'") + M09_PATH + "' " + arguments + " >'" + out + "' 2>'" + err + "' </dev/null";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
}

TEST(EndToEndTest, PrintsThePassReportWithOrWithoutArguments) {
  for (const char* arguments : {"", "--help", "-x 'two words' \"\" 42"}) {
    SCOPED_TRACE(arguments);
    const ProgramRun run = RunM09(arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kPassOutput);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace quorix::m09
