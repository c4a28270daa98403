#include <quorix/export/chrome_trace.h>
#include <quorix/export/json_string.h>
#include <quorix/export/otlp_json.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_set.h>
#include "test_events.h"

namespace quorix {
namespace {

using namespace std::string_literals;
using Json = nlohmann::json;
using testing::Event;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TimelineEvent At(std::string_view id, std::string_view parent, std::string_view entity,
                 std::string_view domain, std::uint64_t wall) {
  TimelineEvent e = Event(id, parent);
  e.entity_id = std::string(entity);
  e.clock_domain = std::string(domain);
  e.wall_time_ns = wall;
  return e;
}

// Two processes' timelines: a chain from the front end into the worker,
// orphans of one missing parent in both, events 0 and 1 ns apart on one
// thread, a thread of the worker on the front end's clock, hostile bytes,
// and numbers above 2^63 - 1.
struct Fixture {
  Timeline front{10};
  Timeline worker{10};
  Timeline empty{1};
  std::vector<std::string> names{"front.snap", "worker \"2\"\xff", "empty.snap"};
  std::string hostile = "q\"\\\x01"s + '\0' + "\xff\xc0\x80 \xed\xa0\x80";
  Fixture() {
    front.append(At("in", "", "gw", "net", 1000));
    front.append(At("msg", "in", "gw", "net", 1000));
    front.append(At("orphan-1", "gone", "gw", "net", 1001));
    TimelineEvent odd = At(hostile, "msg", hostile, "net", 5000);
    odd.kind.clear();
    odd.message = "line\nbreak\t\x7f" + hostile;
    front.append(odd);
    TimelineEvent work = At("work", "msg", "gw", "net", 1500);
    work.model_time = kMax;
    worker.append(work);
    worker.append(At("orphan-2", "gone", "cpu", "gpu", 2000));
    worker.append(At("reply", "work", "cpu", "gpu", kMax));
  }
  TimelineSet Set() const { return TimelineSet({&front, &worker, &empty}); }
};

// What a reader gets back from the JSON string of `bytes`.
std::string Decoded(std::string_view bytes) { return Json::parse(json_string(bytes)); }

// A number of Chrome args, checked to be a JSON number just when a double
// holds it exactly.
std::uint64_t ArgNumber(const Json& value) {
  const std::uint64_t n =
      value.is_string() ? std::stoull(value.get<std::string>()) : value.get<std::uint64_t>();
  EXPECT_EQ(value.is_string(), n > (std::uint64_t{1} << 53)) << value;
  return n;
}

// The nanoseconds of a ts or dur as Perfetto reads them: a double, times
// 1000, rounded.
double PerfettoNanoseconds(const Json& value) { return std::round(value.get<double>() * 1000.0); }

std::uint64_t Nanoseconds(const std::string& line, std::string_view key) {
  const std::size_t at = line.find("\""s.append(key).append("\":")) + key.size() + 3;
  const std::size_t dot = line.find('.', at);
  return std::stoull(line.substr(at, dot - at)) * 1000 + std::stoull(line.substr(dot + 1, 3));
}

TEST(JsonStringTest, EveryByteGivesValidJson) {
  struct Row {
    std::string input;
    std::string expected;
  };
  const Row rows[] = {
      // Escapes and control bytes; a zero byte is data.
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {"\x01\x1f"s + '\0', R"("\u0001\u001f\u0000")"},
      {"", R"("")"},
      // Valid UTF-8 and DEL as they are, the largest code point included.
      {"\x7f \xc3\xa9 \xe2\x82\xac \xef\xbf\xbd \xf4\x8f\xbf\xbf",
       "\"\x7f \xc3\xa9 \xe2\x82\xac "
       "\xef\xbf\xbd \xf4\x8f\xbf\xbf\""},
      // Each byte of what is not UTF-8 replaced once: stray continuation,
      // overlong forms, a surrogate, above U+10FFFF, bytes no sequence starts.
      {"\x80", R"("\ufffd")"},
      {"\xc0\x80", R"("\ufffd\ufffd")"},
      {"\xe0\x80\x80", R"("\ufffd\ufffd\ufffd")"},
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
      {"\xf5\xfe\xff", R"("\ufffd\ufffd\ufffd")"},
      // Sequences cut short: at the end, and before ASCII and a new lead.
      {"a\xe2\x82", R"("a\ufffd\ufffd")"},
      {"\xf0\x9f\x98"
       "A\xc3\xa9",
       "\"\\ufffd\\ufffd\\ufffdA\xc3\xa9\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Json(row.expected).dump());
    EXPECT_EQ(json_string(row.input), row.expected);
    EXPECT_TRUE(Json::accept(json_string(row.input)));
  }
}

TEST(OtlpIdTest, FixedLengthLowercaseHexUniqueAndNeverZero) {
  std::set<std::string> spans;
  std::set<std::string> traces;
  for (int n = 0; n < 10000; ++n) {
    const std::string id = n == 0 ? "" : "ev-" + std::to_string(n);
    spans.insert(otlp_span_id(id));
    traces.insert(otlp_trace_id(id));
  }
  EXPECT_EQ(spans.size(), 10000u);
  EXPECT_EQ(traces.size(), 10000u);
  for (const auto& [ids, size] : {std::pair(&spans, 16u), std::pair(&traces, 32u)}) {
    for (const std::string& id : *ids) {
      ASSERT_EQ(id.size(), size) << id;
      ASSERT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    }
  }
  EXPECT_EQ(otlp_span_id("ev-1"), otlp_span_id("ev-1"));
}

TEST(ChromeTraceTest, SlicesNeverOverlapAndFlowsBindToSlices) {
  const Fixture f;
  const TimelineSet set = f.Set();
  for (const ChromeProcesses mode :
       {ChromeProcesses::per_clock_domain, ChromeProcesses::per_timeline}) {
    const bool by_timeline = mode == ChromeProcesses::per_timeline;
    SCOPED_TRACE(by_timeline ? "per_timeline" : "per_clock_domain");
    std::string streamed;
    write_chrome_trace(set, f.names, mode, [&](std::string_view piece) { streamed += piece; });
    const std::string doc = render_chrome_trace(set, f.names, mode);
    ASSERT_EQ(streamed, doc);
    ASSERT_TRUE(Json::accept(doc));
    const std::string head = R"({"otherData":{"wall_time_origin_ns":"1000"},"traceEvents":[)"
                             "\n";
    ASSERT_EQ(doc.substr(0, head.size()), head);
    ASSERT_EQ(doc.substr(doc.size() - 4), "\n]}\n");

    std::map<std::uint64_t, std::string> processes;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> threads;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, int> slice_starts;
    std::map<std::string, std::pair<Json, std::uint64_t>> flows;  // by id: first end, its ts
    std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>
        last{};  // pid tid ts end
    std::size_t slices = 0;
    std::size_t arrows = 0;
    std::size_t begin = head.size();
    for (std::size_t end = 0; begin < doc.size() - 3; begin = end + 1) {
      end = doc.find('\n', begin);
      std::string line = doc.substr(begin, end - begin);
      if (line.back() == ',') line.pop_back();
      const Json e = Json::parse(line);
      const auto pid = e["pid"].get<std::uint64_t>();
      const auto tid = e["tid"].get<std::uint64_t>();
      const std::string ph = e["ph"];
      if (ph == "M") {
        ASSERT_EQ(slices, 0u) << "metadata after a slice: " << line;
        (tid == 0 ? processes[pid] : threads[{pid, tid}]) = e["args"]["name"];
        continue;
      }
      const std::uint64_t ts = Nanoseconds(line, "ts");
      if (ph == "X") {
        ++slices;
        const std::pair thread(pid, tid);
        ASSERT_TRUE(threads.count(thread)) << line;
        const std::uint64_t dur = Nanoseconds(line, "dur");
        const auto& [last_pid, last_tid, last_ts, last_end] = last;
        if (pid == last_pid && tid == last_tid) {
          ASSERT_LE(last_ts, ts) << line;
          ASSERT_TRUE(last_end < ts || last_end == last_ts) << "overlap: " << line;
        } else {
          ASSERT_LT(std::pair(last_pid, last_tid), std::pair(pid, tid)) << line;
        }
        last = {pid, tid, ts, ts + dur};
        slice_starts[{pid, tid, ts}]++;
        const Json& args = e["args"];
        ASSERT_EQ(args.size(), 9u);
        EXPECT_EQ(e["name"], args["kind"].get<std::string>().empty() ? args["id"] : args["kind"]);
        EXPECT_EQ(args["entity_id"], threads[thread]);
        EXPECT_EQ(ArgNumber(args["wall_time_ns"]), 1000 + ts);
        ArgNumber(args["model_time"]);
        ArgNumber(args["sequence"]);
        const bool in_worker =
            args["id"] == "work" || args["id"] == "reply" || args["id"] == "orphan-2";
        EXPECT_EQ(processes[pid],
                  by_timeline ? Json(Decoded(f.names[in_worker ? 1 : 0])) : args["clock_domain"]);
      } else {
        ASSERT_TRUE(slice_starts.count({pid, tid, ts})) << "flow bound to no slice: " << line;
        const std::string id = e["id"].dump();
        if (ph == "s") {
          ASSERT_FALSE(flows.count(id)) << line;
          flows[id] = {e, ts};
          ++arrows;
        } else {
          ASSERT_EQ(ph, "f");
          ASSERT_EQ(e["bp"], "e");
          ASSERT_TRUE(flows.count(id)) << line;
          flows.erase(id);
        }
      }
    }
    EXPECT_EQ(slices, 7u);
    EXPECT_EQ(arrows, 4u);                               // the orphans' parent is held nowhere
    EXPECT_TRUE(flows.empty());                          // each s has its f
    EXPECT_EQ(processes.size(), by_timeline ? 3u : 2u);  // an empty timeline is a process too
    EXPECT_EQ(threads.size(), by_timeline ? 4u : 3u);    // worker's gw apart from front's
    for (auto at = threads.begin(); std::next(at) != threads.end(); ++at) {
      if (at->first.first == std::next(at)->first.first) {  // tids in byte order of the entity
        EXPECT_LT(at->second, std::next(at)->second);
      }
    }
    if (!by_timeline) {
      EXPECT_EQ(processes, (decltype(processes){{1, "gpu"}, {2, "net"}}));
    }
  }
  EXPECT_EQ(testing::InvalidArgument([&] {
              render_chrome_trace(set, std::span(f.names).first(2), ChromeProcesses::per_timeline);
            }),
            "export needs one name per timeline");
}

TEST(ChromeTraceTest, EpochWallTimesKeepSlicesApartInReadersOfDoubles) {
  // Guards slices that overlapped once ts was read as a double at epoch
  // scale: thread a has gaps of 0 to 1000 ns, thread b sits just below the
  // 2^51 ns after the origin that stay exact, thread c at 2^64 - 1.
  constexpr std::uint64_t kBase = 1'700'000'000'123'456'789;
  constexpr std::uint64_t kGaps[] = {1, 2, 0, 3, 7, 255, 256, 257, 999, 1000, 0};
  Timeline timeline(2000);
  std::uint64_t wall = kBase;
  for (std::size_t n = 0; n < 1500; ++n, wall += kGaps[n % std::size(kGaps)]) {
    timeline.append(At("a" + std::to_string(n), "", "a", "d", wall));
  }
  for (std::uint64_t n = 0; n < 100; ++n) {
    timeline.append(At("b" + std::to_string(n), "", "b", "d", kBase + (1ull << 51) - 2000 + n));
  }
  timeline.append(At("c", "", "c", "d", kMax));
  const TimelineSet set({&timeline});
  const std::vector<std::string> names{"epoch"};
  const Json trace =
      Json::parse(render_chrome_trace(set, names, ChromeProcesses::per_clock_domain));
  ASSERT_EQ(trace.size(), 2u);  // otherData and traceEvents only
  const std::uint64_t origin =
      std::stoull(trace["otherData"]["wall_time_origin_ns"].get<std::string>());
  EXPECT_EQ(origin, kBase - kBase % 1000);
  std::map<std::uint64_t, double> ends;  // by tid
  std::size_t slices = 0;
  for (const Json& e : trace["traceEvents"]) {
    if (e["ph"] != "X") continue;
    ++slices;
    const double start = PerfettoNanoseconds(e["ts"]);
    const std::uint64_t since_origin = ArgNumber(e["args"]["wall_time_ns"]) - origin;
    if (since_origin < (1ull << 51)) {
      EXPECT_EQ(start, static_cast<double>(since_origin)) << e;
    }
    const auto tid = e["tid"].get<std::uint64_t>();
    if (ends.contains(tid)) {
      ASSERT_LT(ends[tid], start) << "overlap: " << e;
    }
    const double dur = PerfettoNanoseconds(e["dur"]);
    ends[tid] = dur == 0 ? start - 0.5 : start + dur;  // a slice of no time meets the next
  }
  EXPECT_EQ(slices, 1601u);
  const Timeline none(1);
  EXPECT_EQ(
      render_chrome_trace(TimelineSet({&none}), names, ChromeProcesses::per_timeline).substr(0, 40),
      R"({"otherData":{"wall_time_origin_ns":"0"})");
}

TEST(ChromeTraceTest, StreamsPiecesOfAbout64KiB) {
  Timeline big(5000);
  for (int n = 0; n < 5000; ++n) big.append(At("ev-" + std::to_string(n), "", "e", "d", 7));
  const TimelineSet set({&big});
  const std::vector<std::string> names{"big"};
  std::vector<std::size_t> pieces;
  write_chrome_trace(set, names, ChromeProcesses::per_clock_domain,
                     [&](std::string_view piece) { pieces.push_back(piece.size()); });
  ASSERT_GT(pieces.size(), 5u);
  for (const std::size_t size : pieces) EXPECT_LT(size, (64u << 10) + 1024);
}

// The bytes of standard, padded base64.
std::string Unbase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<std::uint32_t>(alphabet.find(c));
    if ((count += 6) >= 8) bytes += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return bytes;
}

TEST(OtlpJsonTest, RequestsGroupSpansOfOneTimelineAndLinkThem) {
  const Fixture f;
  const TimelineSet set = f.Set();
  std::vector<std::string> lines;
  write_otlp_json(set, f.names, [&](std::string_view line) { lines.emplace_back(line); }, {2});
  ASSERT_EQ(lines.size(), 4u);  // 4 and 3 spans by 2; nothing for the empty timeline
  const std::string resources[] = {f.names[0], f.names[0], f.names[1], f.names[1]};
  std::map<std::string, std::string> trace_of;  // by id
  std::set<std::string> span_ids;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].find('\n'), lines[i].size() - 1);
    const Json request = Json::parse(lines[i]);
    ASSERT_EQ(request["resourceSpans"].size(), 1u);
    const Json& resource = request["resourceSpans"][0];
    EXPECT_EQ(resource["resource"]["attributes"][0]["value"]["stringValue"], Decoded(resources[i]));
    const Json& spans = resource["scopeSpans"][0]["spans"];
    ASSERT_EQ(spans.size(), i == 3 ? 1u : 2u);
    for (const Json& span : spans) {
      std::map<std::string, std::string> fields;  // bytes of each string attribute
      for (const Json& a : span["attributes"]) {
        const Json& v = a["value"];
        fields[a["key"]] = v.contains("bytesValue") ? Unbase64(v["bytesValue"])
                           : v.contains("intValue") ? v["intValue"].get<std::string>()
                                                    : v["stringValue"].get<std::string>();
      }
      ASSERT_EQ(fields.size(), 9u);
      const std::string& id = fields["quorix.id"];
      const std::string& parent = fields["quorix.parent"];
      EXPECT_EQ(span["spanId"], otlp_span_id(id));
      EXPECT_TRUE(span_ids.insert(span["spanId"]).second) << id;
      EXPECT_EQ(span.contains("parentSpanId"), !parent.empty()) << id;
      if (!parent.empty()) {
        EXPECT_EQ(span["parentSpanId"], otlp_span_id(parent));
      }
      // Remote: another timeline holds the parent, or none and its own never knew it.
      const auto holder = set.holder(parent);
      const bool remote = !parent.empty() &&
                          (holder ? holder != set.holder(id) : !set[*set.holder(id)].knows(parent));
      EXPECT_EQ(span["flags"], remote ? 769 : 257) << id;
      EXPECT_EQ(span["startTimeUnixNano"], fields["quorix.wall_time_ns"]);
      trace_of[id] = span["traceId"];
      if (id == f.hostile) {
        EXPECT_EQ(fields["quorix.message"], "line\nbreak\t\x7f" + f.hostile);
      }
      if (id == "reply") {  // above 2^63 - 1: the digits as a string
        const Json& wall = span["attributes"][8]["value"];
        EXPECT_EQ(wall, Json({{"stringValue", std::to_string(kMax)}}));
      }
    }
  }
  // A chain through both timelines shares the root's trace; orphans that of
  // their missing parent.
  for (const char* id : {"in", "msg", "work", "reply"})
    EXPECT_EQ(trace_of[id], otlp_trace_id("in"));
  EXPECT_EQ(trace_of[f.hostile], otlp_trace_id("in"));
  EXPECT_EQ(trace_of["orphan-1"], otlp_trace_id("gone"));
  EXPECT_EQ(trace_of["orphan-2"], otlp_trace_id("gone"));
  // Guards 769 for a parent that the span's own timeline evicted.
  Timeline evicting(1);
  evicting.append(Event("old"));
  evicting.append(Event("new", "old"));
  const Json request =
      Json::parse(render_otlp_json(TimelineSet({&evicting}), std::span(f.names).first(1)));
  EXPECT_EQ(request["resourceSpans"][0]["scopeSpans"][0]["spans"][0]["flags"], 257);
  EXPECT_EQ(render_otlp_json(set, f.names, {2}), lines[0] + lines[1] + lines[2] + lines[3]);
  EXPECT_EQ(testing::InvalidArgument([&] { render_otlp_json(set, f.names, {0}); }),
            "OTLP request size must be positive");
}

TEST(OtlpJsonTest, RequestLinesKeepToTheirByteBudget) {
  const Fixture f;
  const TimelineSet set = f.Set();
  // Budgets below every span (one a line), between, and above all (one a timeline).
  for (const auto& [budget, count] :
       {std::pair<std::size_t, std::size_t>(1, 7), {3000, 0}, {1 << 20, 2}}) {
    std::vector<std::string> lines;
    write_otlp_json(set, f.names, [&](std::string_view line) { lines.emplace_back(line); },
                    {1000, budget});
    std::vector<Json> spans;
    for (const std::string& line : lines) {
      const Json request = Json::parse(line);
      const Json& these = request["resourceSpans"][0]["scopeSpans"][0]["spans"];
      EXPECT_TRUE(line.size() <= budget || these.size() == 1) << budget << ": " << line;
      spans.insert(spans.end(), these.begin(), these.end());
    }
    EXPECT_EQ(spans.size(), 7u) << budget;
    EXPECT_TRUE(count == 0 ? lines.size() > 2 : lines.size() == count) << budget;
  }
  EXPECT_EQ(testing::InvalidArgument([&] {
              render_otlp_json(set, f.names, {1000, 0});
            }),
            "OTLP request budget must be positive");
}

TEST(OtlpJsonTest, RepeatsOfAnIdGetSpansOfTheirOwnAndParentsLinkTheOldest) {
  // Guards restored repeats of an id that all got the id's span id.
  Timeline restored(8);
  std::uint64_t sequence = 0;
  for (TimelineEvent e :
       {At("a", "", "e", "d", 1000), At("a", "", "e", "d", 2000), At("b", "a", "e", "d", 3000)}) {
    e.sequence = ++sequence;
    restored.restore_event(e);
  }
  const TimelineSet set({&restored});
  const std::vector<std::string> names{"restored"};
  const Json spans =
      Json::parse(render_otlp_json(set, names))["resourceSpans"][0]["scopeSpans"][0]["spans"];
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0]["spanId"], otlp_span_id("a"));
  EXPECT_EQ(std::set<Json>({spans[0]["spanId"], spans[1]["spanId"], spans[2]["spanId"]}).size(),
            3u);
  EXPECT_EQ(spans[2]["parentSpanId"], spans[0]["spanId"]);
  // Chrome's arrow into b starts at the oldest a, 0 us after the origin.
  const Json trace = Json::parse(render_chrome_trace(set, names, ChromeProcesses::per_timeline));
  std::map<std::string, Json> flow_ts;  // by phase
  for (const Json& e : trace["traceEvents"]) {
    if (e["ph"] == "s" || e["ph"] == "f") flow_ts[e["ph"]] = e["ts"];
  }
  EXPECT_EQ(flow_ts, (std::map<std::string, Json>{{"f", 2.0}, {"s", 0.0}}));
}

}  // namespace
}  // namespace quorix
