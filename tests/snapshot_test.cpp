#include <quorix/snapshot/snapshot.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorix/render/json_text.h>
#include <quorix/render/trace_json.h>
#include <quorix/timeline/timeline.h>
#include "test_events.h"

namespace quorix {
namespace {

using namespace std::string_literals;
using testing::Event;

// One record line: the nine fields joined by tabs, with a line feed.
std::string Record(const std::string& id = "id", const std::string& wall = "1",
                   const std::string& model = "2", const std::string& sequence = "3",
                   const std::string& message = "m", const std::string& parent = "") {
  return id + "\t" + parent + "\tkind\tentity\tclock\t" + wall + "\t" + model + "\t" + sequence +
         "\t" + message + "\n";
}

// The snapshot of what reading `text` gives, or what it raised:
// "<type>: <message>".
std::string Reread(const std::string& text) {
  try {
    return write_timeline_snapshot(read_timeline_snapshot(text));
  } catch (const std::invalid_argument& e) {
    return "invalid_argument: "s + e.what();
  }
}

// Every value the texts treat apart, and every length and offset of the
// eight-byte scans, in every string field: each byte value alone, then at
// each length up to 17 (past two words) a special byte at each offset.
std::vector<std::string> FieldValues() {
  std::vector<std::string> values{"", "\\\"", "\xc3\xa9"};
  for (int b = 0; b < 256; ++b) values.emplace_back(1, static_cast<char>(b));
  for (std::size_t length = 2; length <= 17; ++length) {
    values.emplace_back(length, 'a');
    for (const char special : {'"', '\\', '\t', '\n', '\0', '\xff'}) {
      for (std::size_t at = 0; at < length; ++at) {
        values.emplace_back(length, 'a');
        values.back()[at] = special;
      }
    }
  }
  return values;
}

std::string Quoted(const std::string& value) {
  std::string quoted = "\"";
  for (const char c : value) quoted.append(c == '"' || c == '\\' ? "\\" : "").push_back(c);
  return quoted + "\"";
}

std::string Json(const TimelineEvent& e) {
  using std::to_string;
  return "{\"clock_domain\":" + Quoted(e.clock_domain) + ",\"entity_id\":" + Quoted(e.entity_id) +
         ",\"id\":" + Quoted(e.id) + ",\"kind\":" + Quoted(e.kind) +
         ",\"message\":" + Quoted(e.message) + ",\"model_time\":" + to_string(e.model_time) +
         ",\"parent\":" + Quoted(e.parent) + ",\"sequence\":" + to_string(e.sequence) +
         ",\"wall_time_ns\":" + to_string(e.wall_time_ns) + "}";
}

// Each value goes through json_quote, the trace document and the snapshot
// line in every position; numbers take each count of digits in turn. The
// values a line can carry are written together, so that later records
// outgrow what the first ones size the text for, and read back.
TEST(TextFormsTest, EveryFieldValueInEveryPosition) {
  std::vector<std::uint64_t> numbers{0, 18446744073709551615u};
  for (std::uint64_t power = 10; power <= 10000000000000000000u; power *= 10) {
    numbers.insert(numbers.end(), {power - 1, power});
    if (power == 10000000000000000000u) break;
  }
  std::string TimelineEvent::*const fields[] = {
      &TimelineEvent::id,        &TimelineEvent::parent,       &TimelineEvent::kind,
      &TimelineEvent::entity_id, &TimelineEvent::clock_domain, &TimelineEvent::message};
  Timeline all(1);
  std::string lines;
  std::size_t n = 0;
  for (const std::string& value : FieldValues()) {
    SCOPED_TRACE(::testing::PrintToString(value));
    EXPECT_EQ(json_quote(value), Quoted(value));
    for (const auto field : fields) {
      TimelineEvent e = Event("e" + std::to_string(n));
      e.*field = value;
      e.wall_time_ns = numbers[n % numbers.size()];
      e.model_time = numbers[(n + 1) % numbers.size()];
      e.sequence = numbers[++n % numbers.size()];
      EXPECT_EQ(render_trace_json({value, value, TraceStatus::complete, {e}}),
                "{\"schema\":" + Quoted(value) + ",\"root_id\":" + Quoted(value) +
                    ",\"status\":\"complete\",\"events\":[" + Json(e) + "]}");
      Timeline one(1);
      one.restore_event(e);
      const bool fits = value.find('\n') == std::string::npos &&
                        (field == &TimelineEvent::message || value.find('\t') == std::string::npos);
      if (!fits) {
        EXPECT_EQ(testing::InvalidArgument([&] { write_timeline_snapshot(one); }),
                  "timeline field not representable in snapshot");
        continue;
      }
      lines += e.id + "\t" + e.parent + "\t" + e.kind + "\t" + e.entity_id + "\t" + e.clock_domain +
               "\t" + std::to_string(e.wall_time_ns) + "\t" + std::to_string(e.model_time) + "\t" +
               std::to_string(e.sequence) + "\t" + e.message + "\n";
      all.restore_event(e);
    }
  }
  const std::string text = write_timeline_snapshot(all);
  EXPECT_EQ(text,
            "quorix-timeline 1 1 1 " + std::to_string(all.retained_events().size()) + "\n" + lines);
  EXPECT_EQ(read_timeline_snapshot(text).retained_events(), all.retained_events());
}

// What the format allows, and what it leaves alone, one row per rule. Each
// of its refusals has a text in the reader fuzzer's corpus (the files named
// rule-*), which the tests replay against a naive reader that must refuse it
// alike; more texts of each kind are there too.
TEST(SnapshotReaderTest, ReadsWhatTheFormatAllows) {
  const std::string header = "quorix-timeline 1 4 9 1\n";
  const std::string rec = Record("a", "1", "2", "3", "m");
  const struct {
    std::string text;
    std::string read;  // the text written again, or the refusal
  } rows[] = {
      // Accepted: what the format allows, and what it leaves alone
      // header over several lines
      {"quorix-timeline\n\t1\r\n4 9\n  1 junk\n" + rec, "quorix-timeline 1 4 9 1\n" + rec},
      // numbers as formatted input reads them
      {"quorix-timeline +01 0004 -1 0 tail\n", "quorix-timeline 1 4 18446744073709551615 0\n"},
      // carriage returns: where the line puts them
      {"quorix-timeline 1 4 9 1\r\n" + Record("a", "1", "2", "3", "m\r"),
       "quorix-timeline 1 4 9 1\n" + Record("a", "1", "2", "3", "m\r")},
      // lines after the counted records
      {"quorix-timeline 1 4 9 1\n" + rec + "junk\n\n\t\n", "quorix-timeline 1 4 9 1\n" + rec},
      // numbers around the eight-digit steps: a stop byte just past '9' ends them
      {header + Record("a", "1234567:", "123456789012345:", "12345678;9"),
       header + Record("a", "1234567", "123456789012345", "12345678")},
      {header + Record("a", "1", "2", ":2345678"), "invalid_argument: invalid stoull argument"},
      // numbers as stoull reads them
      {"quorix-timeline 1 4 9 1\n" + Record("a", " \v\f\r+7", "12abc", "-1"),
       "quorix-timeline 1 4 9 1\n" + Record("a", "7", "12", "18446744073709551615")},
      // Over capacity, one id twice, sequences out of order: kept as written.
      {"quorix-timeline 1 2 5 3\n" + Record("x", "1", "1", "9") +
           Record("y", "1", "1", "4", "m", "x") + Record("x", "1", "1", "1", "m", "r"),
       "quorix-timeline 1 2 5 3\n" + Record("x", "1", "1", "9") +
           Record("y", "1", "1", "4", "m", "x") + Record("x", "1", "1", "1", "m", "r")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.text));
    EXPECT_EQ(Reread(row.text), row.read);
  }
}

// A locale that groups thousands: a header read in it would take "1,000"
// for a number.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(SnapshotReaderTest, IgnoresTheGlobalLocale) {
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const std::string refusal = Reread("quorix-timeline 1 1,000 1 0\n");
  std::locale::global(previous);
  EXPECT_EQ(refusal, "invalid_argument: invalid timeline snapshot");
}

// Every value of the status, named or not, as the document names it.
TEST(TraceJsonTest, EveryStatusValueHasItsName) {
  const struct {
    std::int32_t value;
    const char* name;
  } rows[] = {
      {0, "complete"},   {1, "retention_gap"},     {2, "not_found"},         {3, "not_found"},
      {-1, "not_found"}, {INT32_MAX, "not_found"}, {INT32_MIN, "not_found"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    const CausalTrace trace{kCausalTraceSchema, "x", static_cast<TraceStatus>(row.value), {}};
    EXPECT_EQ(trace_status_name(trace.status), row.name);
    EXPECT_EQ(render_trace_json(trace),
              std::string(R"({"schema":"quorix-causal-trace/1","root_id":"x","status":")") +
                  row.name + R"(","events":[]})");
  }
}

}  // namespace
}  // namespace quorix
