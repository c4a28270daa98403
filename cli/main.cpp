// The quorix command: answers questions about a timeline snapshot or record
// file, and records events in a record file.
//
//   quorix check FILE                  counts over the file's records
//   quorix trace FILE ID...            each id's trace document, one a line
//   quorix effects FILE ID             the document of what one id caused
//   quorix latency [--effects] FILE ID the time each hop of one id's trace
//                                      (or its effects' critical path) took
//   quorix show [--effects] FILE ID    an SVG picture of one id's trace
//                                      (or of its effects, as a tree)
//   quorix record FILE --capacity N    appends standard input's record lines
//   quorix recover FILE                a record file's timeline as a snapshot
//
// All but record and recover take a snapshot or a record file, told apart
// by its first bytes. FILE "-" is standard input, except for record, which
// reads its records there. A file is read once, whole, without a lock (a record
// file may be being written meanwhile), and released as soon as the
// timeline is built from it, before any answer is computed.
// Exit status: 0 answered; 1 the file could not be read, written or was
// refused, a record line was refused, or standard output failed, with a
// line on standard error for each; 2 a usage error, with the usage line on
// standard error.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <quorix/record/record_file.h>
#include <quorix/render/effects_json.h>
#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/causal_latency.h>
#include <quorix/timeline/timeline.h>
#include <quorix/version.h>

#include "check.h"
#include "file_input.h"
#include "latency_table.h"
#include "svg.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr std::string_view kUsage =
    "usage: quorix check FILE | quorix trace FILE ID... | quorix effects FILE ID | "
    "quorix latency [--effects] FILE ID | quorix show [--effects] FILE ID | "
    "quorix record FILE --capacity N | quorix recover FILE | quorix --help | quorix --version\n";

constexpr std::string_view kHelp =
    "usage: quorix COMMAND FILE [ARG...]\n"
    "Answers questions about a timeline snapshot or record file, and records events in a\n"
    "record file. FILE - reads standard input (not for record).\n"
    "\n"
    "  check FILE        one \"key: value\" line each: format, capacity, next_sequence,\n"
    "                    records, distinct_ids, duplicate_ids, roots, orphans, over_capacity,\n"
    "                    and for a record file dropped\n"
    "  trace FILE ID...  the JSON document of each ID's causal trace, one a line\n"
    "  effects FILE ID   the JSON document of the events ID caused, each with its depth\n"
    "  latency [--effects] FILE ID\n"
    "                    a table of the wall-time and model-time step of each hop of ID's\n"
    "                    causal trace (with --effects, of the critical path of its effects)\n"
    "  show [--effects] FILE ID\n"
    "                    an SVG picture of ID's causal trace (with --effects, of its effects\n"
    "                    as a tree), at most 16384 pixels each way, long chains elided\n"
    "  record FILE --capacity N\n"
    "                    appends each snapshot record line of standard input to the record\n"
    "                    file FILE (created if new, else continued: N must be its capacity)\n"
    "                    and prints each one's sequence number, a line each, once it is in\n"
    "                    the file; a refused line is reported as \"line N: reason\"\n"
    "  recover FILE      the timeline the record file FILE holds, as a snapshot\n"
    "  --help            this text\n"
    "  --version         the version of the quorix libraries\n"
    "\n"
    "All but record and recover read a snapshot or a record file. --effects comes right\n"
    "after the command; anything after FILE is an id, even --effects.\n"
    "Exit status: 0 answered, 1 unreadable or refused file or line, 2 usage error.\n";

constexpr char kNoMemory[] = "not enough memory";

enum class Command { check, trace, effects, latency, show, record, recover };

struct Request {
  Command command;
  std::string file;
  std::vector<std::string_view> ids;  // trace, effects, latency and show
  std::uint64_t capacity = 0;         // record
  bool effects = false;               // latency and show: of the effects, not the trace
};

// A capacity argument: plain decimal digits, positive and within 64 bits.
std::optional<std::uint64_t> parse_capacity(std::string_view text) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc{} || stop != end || value == 0) return std::nullopt;
  return value;
}

// The request the arguments make, or nullopt for a usage error. --effects
// counts only right after latency or show; every argument after FILE is an
// id, taken as it is even when it starts with '-' ("--effects" included).
// A file name that starts with '-' (other than "-" itself) is taken for an
// unknown option.
std::optional<Request> parse_request(std::vector<std::string_view> args) {
  const bool effects =
      args.size() > 1 && (args[0] == "latency" || args[0] == "show") && args[1] == "--effects";
  if (effects) args.erase(args.begin() + 1);
  if (args.size() < 2 || (args[1].starts_with('-') && args[1] != "-")) return std::nullopt;
  const std::string_view name = args[0];
  const std::size_t rest = args.size() - 2;
  Request request{Command::check, std::string(args[1]), {}, 0, effects};
  if (name == "check" && rest == 0) {
    request.command = Command::check;
  } else if (name == "trace" && rest >= 1) {
    request.command = Command::trace;
  } else if (name == "effects" && rest == 1) {
    request.command = Command::effects;
  } else if (name == "latency" && rest == 1) {
    request.command = Command::latency;
  } else if (name == "show" && rest == 1) {
    request.command = Command::show;
  } else if (name == "recover" && rest == 0) {
    request.command = Command::recover;
  } else if (name == "record" && rest == 2 && args[1] != "-" && args[2] == "--capacity") {
    const std::optional<std::uint64_t> capacity = parse_capacity(args[3]);
    if (!capacity) return std::nullopt;
    request.command = Command::record;
    request.capacity = *capacity;
    return request;
  } else {
    return std::nullopt;
  }
  request.ids.assign(args.begin() + 2, args.end());
  return request;
}

// Standard output, remembering the first failure to write to it.
class Output {
 public:
  void write(std::string_view bytes) {
    if (error_ == 0 && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      error_ = errno;
    }
  }
  bool failed() const { return error_ != 0; }
  // Hands what was written so far to the system.
  void flush() {
    if (error_ == 0 && std::fflush(stdout) != 0) error_ = errno;
  }
  // Flushes; the error number of the first failure, or 0.
  int finish() {
    flush();
    return error_;
  }

 private:
  int error_ = 0;
};

void write_error(std::string_view subject, std::string_view reason) {
  std::string line = "quorix: ";
  line.append(subject).append(": ").append(reason).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Flushes standard output and reports a failure to write to it.
int finish(Output& output) {
  if (const int error = output.finish(); error != 0) {
    write_error("standard output", std::system_category().message(error));
    return kFailed;
  }
  return kAnswered;
}

// A timeline read from a snapshot or a record file.
struct Loaded {
  quorix::Timeline timeline;
  std::optional<std::uint64_t>
      dropped;  // numbers a record file's window lacks; unset for a snapshot
};

// The timeline of the file, whichever kind its first bytes say it is. The
// bytes are released before it returns.
Loaded load(const std::string& file) {
  const std::string bytes = quorix::cli::read_file(file);
  if (quorix::is_record_file(bytes)) {
    quorix::RecoveredTimeline recovered = quorix::read_record_file(bytes);
    return {std::move(recovered.timeline), recovered.dropped};
  }
  return {quorix::read_timeline_snapshot(bytes), std::nullopt};
}

void answer(const Request& request, const Loaded& loaded, Output& output) {
  const quorix::Timeline& timeline = loaded.timeline;
  switch (request.command) {
    case Command::check: {
      quorix::cli::SnapshotStats stats = quorix::cli::snapshot_stats(timeline);
      stats.dropped = loaded.dropped;
      output.write(quorix::cli::format_stats(stats));
      break;
    }
    case Command::trace:
      for (const std::string_view id : request.ids) {
        if (output.failed()) break;
        output.write(quorix::render_trace_json(timeline.build_causal_trace(id)));
        output.write("\n");
      }
      break;
    case Command::effects:
      output.write(quorix::render_effects_json(timeline.build_causal_effects(request.ids[0])));
      output.write("\n");
      break;
    case Command::latency:
      if (request.effects) {
        const quorix::CausalEffects effects = timeline.build_causal_effects(request.ids[0]);
        output.write(quorix::cli::format_latency(quorix::critical_path(effects), effects.status));
      } else {
        const quorix::CausalTrace trace = timeline.build_causal_trace(request.ids[0]);
        output.write(quorix::cli::format_latency(quorix::trace_latency(trace), trace.status));
      }
      break;
    case Command::show:
      output.write(
          request.effects
              ? quorix::cli::render_effects_svg(timeline.build_causal_effects(request.ids[0]))
              : quorix::cli::render_trace_svg(timeline.build_causal_trace(request.ids[0])));
      break;
    case Command::record:
    case Command::recover:
      break;  // not questions about a timeline
  }
}

// Appends each line of standard input to the open record file, and prints
// each one's sequence number, flushed, once the append has returned: a
// number on standard output is a record in the file. A refused line is
// reported with its number and the run goes on; a failure to read standard
// input or to write standard output ends it.
int record_lines(quorix::RecordFile& recorder, Output& output) {
  bool refused = false;
  std::string line;
  for (std::uint64_t number = 1;; ++number) {
    try {
      if (!quorix::cli::read_line(stdin, line)) break;
    } catch (const quorix::cli::FileError& error) {
      write_error("standard input", error.what());
      return kFailed;
    }
    const auto refuse = [&refused, number](std::string_view reason) {
      refused = true;
      std::string report = "line " + std::to_string(number) + ": ";
      report.append(reason).push_back('\n');
      std::fwrite(report.data(), 1, report.size(), stderr);
    };
    try {
      recorder.append(quorix::read_timeline_record(line));
    } catch (const std::bad_alloc&) {
      refuse(kNoMemory);
      continue;
    } catch (const std::exception& error) {  // the line's or the append's refusal
      refuse(error.what());
      continue;
    }
    output.write(std::to_string(recorder.timeline().next_sequence() - 1) + "\n");
    output.flush();
    if (output.failed()) break;
  }
  if (finish(output) != kAnswered || refused) return kFailed;
  return kAnswered;
}

int run(const Request& request) {
  Output output;
  try {
    switch (request.command) {
      case Command::record: {
        quorix::RecordFile recorder(request.file, request.capacity);
        return record_lines(recorder, output);
      }
      case Command::recover: {
        const quorix::RecoveredTimeline recovered = [&request] {
          const std::string bytes = quorix::cli::read_file(request.file);
          return quorix::read_record_file(bytes);
        }();  // the bytes are gone before the snapshot is written
        output.write(quorix::write_timeline_snapshot(recovered.timeline));
        break;
      }
      default:
        answer(request, load(request.file), output);
    }
  } catch (const std::bad_alloc&) {
    write_error(request.file, kNoMemory);
    return kFailed;
  } catch (const std::exception& error) {  // the file's, the reader's or the writer's refusal
    write_error(request.file, error.what());
    return kFailed;
  }
  return finish(output);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) {
    Output output;
    output.write(args[0] == "--help" ? kHelp : "quorix " + std::string(quorix::kVersion) + "\n");
    return finish(output);
  }
  const std::optional<Request> request = parse_request(args);
  if (!request) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stderr);
    return kUsageError;
  }
  return run(*request);
}
