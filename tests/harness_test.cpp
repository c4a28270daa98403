#include <gtest/gtest.h>
#include <stdlib.h>  // NOLINT(modernize-deprecated-headers): mkdtemp is POSIX
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "harness/checks.h"
#include "harness/runner.h"

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

CausalTrace LiveTrace() { return build_causal_fixture().build_causal_trace("infer"); }

// Traces as some broken trace builder would return them.
TEST(ChecksTest, TraceChecksRefuseFaultyTraces) {
  struct Row {
    const char* fault;
    void (*spoil)(CausalTrace&);
    std::string out;
    const char* failure;
  };
  const std::string both = std::string(kOrderLine) + kClockLine;
  const Row rows[] = {
      {"none", [](CausalTrace&) {}, both, "held"},
      {"newest first", [](CausalTrace& t) { std::swap(t.events[0], t.events[2]); }, "",
       "causal ordering differs"},
      {"retention gap", [](CausalTrace& t) { t.status = TraceStatus::retention_gap; }, "",
       "causal ordering differs"},
      {"not found", [](CausalTrace& t) { t.status = TraceStatus::not_found; }, "",
       "causal ordering differs"},
      {"two events", [](CausalTrace& t) { t.events.pop_back(); }, "", "causal ordering differs"},
      {"four events", [](CausalTrace& t) { t.events.push_back(t.events[2]); }, "",
       "causal ordering differs"},
      {"ordered by model time", [](CausalTrace& t) { std::swap(t.events[1], t.events[2]); },
       kOrderLine, "clock domains collapsed"},
      {"one wall clock",
       [](CausalTrace& t) {
         for (TimelineEvent& e : t.events) e.clock_domain = "wall";
       },
       kOrderLine, "clock domains collapsed"},
      {"model time rewritten", [](CausalTrace& t) { t.events[2].model_time = 120; }, kOrderLine,
       "clock domains collapsed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault);
    CausalTrace trace = LiveTrace();
    row.spoil(trace);
    const auto outcome = Outcome([&](std::ostream& out) {
      check_causal_order(trace, out);
      check_clock_domains(trace, out);
    });
    EXPECT_EQ(outcome, std::make_pair(row.out, std::string(row.failure)));
  }
}

TEST(ChecksTest, OfflineDocumentMustMatchByteForByte) {
  const std::string live = render_offline_trace(build_causal_fixture());
  std::string altered = live;
  altered[altered.find("routed")] = 'R';
  const std::pair<std::string, std::string> rows[] = {
      {live, "held"},
      {altered, "offline trace differs"},
      {live + " ", "offline trace differs"},
      {"", "offline trace differs"},
  };
  for (const auto& row : rows) {
    const std::string& offline = row.first;
    const std::string& failure = row.second;
    const auto outcome =
        Outcome([&](std::ostream& out) { check_live_offline(live, offline, out); });
    EXPECT_EQ(outcome.second, failure);
    EXPECT_EQ(outcome.first, failure == "held" ? kOfflineLine : "");
  }
  EXPECT_EQ(Outcome([](std::ostream& out) { check_live_offline("", "", out); }).second, "held");
}

TEST(ChecksTest, RetentionGapAndCycleChecks) {
  for (TraceStatus hidden : {TraceStatus::complete, TraceStatus::not_found}) {
    EXPECT_EQ(Outcome([&](std::ostream&) {
                check_retention_gap({"", "b", hidden, {}});
              }).second,
              "retention gap hidden");
  }
  // A refusal of any type passes; an accepted cycle fails and writes nothing.
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused(offer_self_parent, out); }),
            std::make_pair(std::string(kLastLines), std::string("held")));
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused([] { throw 7; }, out); }).second,
            "held");
  EXPECT_EQ(Outcome([](std::ostream& out) { check_cycle_refused([] {}, out); }),
            std::make_pair(std::string(), std::string("cycle accepted")));
}

TEST(ChecksTest, ComponentErrorsPassThroughUnchanged) {
  Timeline primary(4);
  TimelineEvent squatter;
  squatter.id = "a";  // the fixture's "a" is now a duplicate
  primary.append(squatter);
  try {
    append_retention_fixture(primary);
    FAIL() << "duplicate accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "timeline event id must be unique");
  }
}

TEST(RunnerTest, RunWritesEveryPassLineAndTheVerdict) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(run_m09(out, err), 0);
  EXPECT_EQ(out.str(), std::string(kOrderLine) + kClockLine + kOfflineLine + kLastLines);
  EXPECT_EQ(err.str(), "");
}

TEST(RunnerTest, ReportsTheFirstFailureAfterTheLinesThatHeld) {
  for (const std::string message : {"causal ordering differs", "", "two\nlines \\\""}) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = run_protected(
        [&] {
          out << kOrderLine;
          throw std::runtime_error(message);
        },
        err);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.str(), kOrderLine);
    EXPECT_EQ(err.str(), "[FAIL] " + message + "\nM-09 VERDICT: FAIL\n");
  }
  std::ostringstream err;
  EXPECT_EQ(run_protected([] { throw std::bad_alloc(); }, err), 1);
  EXPECT_THROW(run_protected([] { throw 42; }, err), int);  // not ours to report
}

TEST(RunnerTest, ReportStreamFlushesPassLinesFirst) {
  std::ostringstream out;
  std::ostream err(out.rdbuf());
  tie_report_streams(out, err);
  EXPECT_EQ(err.tie(), &out);
  EXPECT_TRUE(err.flags() & std::ios_base::unitbuf);
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
  std::string dir = ::testing::TempDir() + "m09-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string out = dir + "/out";
  const std::string err = dir + "/err";
  const std::string command =
      std::string("'") + M09_PATH + "' " + arguments + " >" + out + " 2>" + err + " </dev/null";
  const int raw = std::system(command.c_str());
  ProgramRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
  std::system(("rm -rf '" + dir + "'").c_str());
  return run;
}

TEST(EndToEndTest, PrintsThePassReportWithOrWithoutArguments) {
  for (const char* arguments : {"", "--help", "-x 'two words' \"\" 42"}) {
    SCOPED_TRACE(arguments);
    const ProgramRun run = RunM09(arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(kOrderLine) + kClockLine + kOfflineLine + kLastLines);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace quorix::m09
