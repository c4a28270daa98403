// The quorix command: answers questions about the timelines that snapshot
// and record files hold, exports them as trace JSON for other tools, and
// records events in a record file.
//
//   quorix check FILE...                 counts over each file's records, and
//                                        over all of them
//   quorix trace FILES ID...             each id's trace document, one a line
//   quorix effects FILES ID              the document of what one id caused
//   quorix latency [--effects] FILES ID  the time each hop of one id's trace
//                                        (or its effects' critical path) took
//   quorix show [--effects] FILES ID     an SVG picture of one id's trace
//                                        (or of its effects, as a tree)
//   quorix export --format=F FILE...     every event, as Chrome trace JSON
//                                        (F chrome) or OTLP/JSON lines (F otlp)
//   quorix record FILE --capacity N      appends standard input's record lines
//   quorix recover FILE                  a record file's timeline as a snapshot
//
// FILES is one FILE, or FILE... followed by "--". Several files are the
// timelines of several processes, answered as one quorix::TimelineSet: a
// trace follows a parent into the file that holds it, and effects go on
// into the files that hold their descendants. An id that two files hold is
// refused, never settled by picking one. All but record and recover read
// snapshots and record files alike, told apart by their first bytes; FILE
// "-" is standard input, at most once, except for record, which reads its
// records there. Each file is read once, whole, without a lock (a record
// file may be being written meanwhile), and its bytes are released as soon
// as its timeline is built, before the next file is read.
// Exit status: 0 answered; 1 a file could not be read, written or was
// refused, the files conflict, a record line was refused, or standard output
// failed, with a line on standard error for each; 2 a usage error, with the
// usage text on standard error.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <quorix/export/chrome_trace.h>
#include <quorix/export/otlp_json.h>
#include <quorix/record/record_file.h>
#include <quorix/render/effects_json.h>
#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/causal_latency.h>
#include <quorix/timeline/timeline.h>
#include <quorix/timeline/timeline_set.h>
#include <quorix/version.h>

#include "check.h"
#include "file_input.h"
#include "latency_table.h"
#include "shown_text.h"
#include "svg.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr std::string_view kUsage =
    "usage: quorix check FILE... | quorix trace FILES ID... | quorix effects FILES ID | "
    "quorix latency [--effects] FILES ID | quorix show [--effects] FILES ID | "
    "quorix export --format=chrome|otlp FILE... | quorix record FILE --capacity N | "
    "quorix recover FILE | quorix --help | quorix --version\n"
    "FILES: one FILE, or FILE... --\n";

constexpr std::string_view kHelp =
    "usage: quorix COMMAND FILE... [ARG...]\n"
    "Answers questions about the timelines of snapshot and record files, exports them as\n"
    "trace JSON, and records events in a record file. FILE - reads standard input, at most\n"
    "once (not for record). FILES is one FILE, or one or more FILEs followed by --.\n"
    "Several files are the timelines of several processes, answered as one: a trace\n"
    "follows a parent into the file that holds it; an id that two files hold is refused.\n"
    "\n"
    "  check FILE...     one \"key: value\" line each: format, capacity, next_sequence,\n"
    "                    records, distinct_ids, duplicate_ids, roots, orphans, over_capacity,\n"
    "                    and for a record file dropped; with several files, each file's\n"
    "                    lines after \"file: NAME\", then files, records and orphans (records\n"
    "                    whose parent no file holds) over all of them\n"
    "  trace FILES ID... the JSON document of each ID's causal trace, one a line\n"
    "  effects FILES ID  the JSON document of the events ID caused, each with its depth\n"
    "  latency [--effects] FILES ID\n"
    "                    a table of the wall-time and model-time step of each hop of ID's\n"
    "                    causal trace (with --effects, of the critical path of its effects)\n"
    "  show [--effects] FILES ID\n"
    "                    an SVG picture of ID's causal trace (with --effects, of its effects\n"
    "                    as a tree), at most 16384 pixels each way, long chains elided\n"
    "  export --format=chrome FILE...\n"
    "                    every event as Chrome trace event JSON (for Perfetto): a process per\n"
    "                    clock domain for one file, a process per file for several\n"
    "  export --format=otlp FILE...\n"
    "                    every event as OTLP/JSON trace requests, one a line, a resource per\n"
    "                    file\n"
    "  record FILE --capacity N\n"
    "                    appends each snapshot record line of standard input to the record\n"
    "                    file FILE (created if new, else continued: N must be its capacity)\n"
    "                    and prints each one's sequence number, a line each, once it is in\n"
    "                    the file; a refused line is reported as \"line N: reason\"\n"
    "  recover FILE      the timeline the record file FILE holds, as a snapshot\n"
    "  --help            this text\n"
    "  --version         the version of the quorix libraries\n"
    "\n"
    "All but record and recover read snapshots and record files alike. --effects and\n"
    "--format come right after the command. Without --, anything after the first FILE is an\n"
    "id, even --effects; after --, every argument is an id, even --.\n"
    "Exit status: 0 answered, 1 unreadable, refused or conflicting files or a refused line,\n"
    "2 usage error.\n";

constexpr char kNoMemory[] = "not enough memory";

enum class Command { check, trace, effects, latency, show, export_events, record, recover };
enum class ExportFormat { chrome, otlp };

struct Request {
  Command command = Command::check;
  std::vector<std::string> files;              // record and recover: one
  std::vector<std::string_view> ids;           // trace, effects, latency and show
  std::uint64_t capacity = 0;                  // record
  bool effects = false;                        // latency and show: of the effects, not the trace
  ExportFormat format = ExportFormat::chrome;  // export
  bool separated = false;                      // the files and ids were split by --
};

// A capacity argument: plain decimal digits, positive and within 64 bits.
std::optional<std::uint64_t> parse_capacity(std::string_view text) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc{} || stop != end || value == 0) return std::nullopt;
  return value;
}

// A file name that starts with '-' (other than "-" itself) is taken for an
// unknown option.
bool is_file_name(std::string_view arg) { return arg == "-" || !arg.starts_with('-'); }

// Takes `args` as the request's files: at least one, standard input at most
// once, since its bytes can be read only once.
bool take_files(std::span<const std::string_view> args, Request& request) {
  if (args.empty() || !std::all_of(args.begin(), args.end(), is_file_name) ||
      std::count(args.begin(), args.end(), "-") > 1) {
    return false;
  }
  request.files.assign(args.begin(), args.end());
  return true;
}

// Takes `args` as files and ids: FILE ID..., or FILE... -- ID... when an
// argument is "--" (the first such is the separator, any after it ids).
// At least one id, or exactly one when `one_id`.
bool take_files_and_ids(std::span<const std::string_view> args, bool one_id, Request& request) {
  const auto separator = std::find(args.begin(), args.end(), "--");
  const std::size_t files = separator == args.end()
                                ? std::min<std::size_t>(args.size(), 1)
                                : static_cast<std::size_t>(separator - args.begin());
  const std::size_t first_id = separator == args.end() ? files : files + 1;
  const std::size_t ids = args.size() - std::min(first_id, args.size());
  if ((one_id ? ids != 1 : ids == 0) || !take_files(args.first(files), request)) return false;
  request.separated = separator != args.end();
  request.ids.assign(args.begin() + static_cast<std::ptrdiff_t>(first_id), args.end());
  return true;
}

// The request the arguments make, or nullopt for a usage error. --effects
// counts only right after latency or show, --format only right after
// export; an id is taken as it is even when it starts with '-'.
std::optional<Request> parse_request(std::span<const std::string_view> args) {
  if (args.empty()) return std::nullopt;
  const std::string_view name = args[0];
  std::span<const std::string_view> rest = args.subspan(1);
  Request request;
  if ((name == "latency" || name == "show") && !rest.empty() && rest[0] == "--effects") {
    request.effects = true;
    rest = rest.subspan(1);
  }
  bool taken = false;
  if (name == "check") {
    request.command = Command::check;
    taken = take_files(rest, request);
  } else if (name == "trace") {
    request.command = Command::trace;
    taken = take_files_and_ids(rest, false, request);
  } else if (name == "effects" || name == "latency" || name == "show") {
    request.command = name == "effects"   ? Command::effects
                      : name == "latency" ? Command::latency
                                          : Command::show;
    taken = take_files_and_ids(rest, true, request);
  } else if (name == "export" && !rest.empty() &&
             (rest[0] == "--format=chrome" || rest[0] == "--format=otlp")) {
    request.command = Command::export_events;
    request.format = rest[0] == "--format=otlp" ? ExportFormat::otlp : ExportFormat::chrome;
    taken = take_files(rest.subspan(1), request);
  } else if (name == "recover") {
    request.command = Command::recover;
    taken = rest.size() == 1 && take_files(rest, request);
  } else if (name == "record" && rest.size() == 3 && rest[0] != "-" && rest[1] == "--capacity") {
    const std::optional<std::uint64_t> capacity = parse_capacity(rest[2]);
    request.command = Command::record;
    request.capacity = capacity.value_or(0);
    taken = capacity && take_files(rest.first(1), request);
  }
  if (!taken) return std::nullopt;
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

// Runs `step`; a refusal it throws is reported as "quorix: SUBJECT: reason"
// and gives false.
template <typename Step>
bool reported(std::string_view subject, const Step& step) {
  try {
    step();
    return true;
  } catch (const std::bad_alloc&) {
    write_error(subject, kNoMemory);
  } catch (const std::exception& error) {  // the file's, the reader's or the writer's refusal
    write_error(subject, error.what());
  }
  return false;
}

// The files' names as one subject, "a.snap, b.snap".
std::string joined(std::span<const std::string> files) {
  std::string subject;
  for (const std::string& file : files) {
    if (!subject.empty()) subject.append(", ");
    subject.append(file);
  }
  return subject;
}

// "quorix: A, B: timeline id held by two timelines: "ID"", the id shown as
// the tables show ids, so no byte of it can break the line.
void write_conflict(std::span<const std::string> files, const quorix::TimelineConflict& conflict) {
  std::string subject = files[conflict.first()];
  subject.append(", ").append(files[conflict.second()]);
  std::string reason = conflict.what();
  reason.append(": \"");
  quorix::cli::append_shown(reason, conflict.id(), quorix::cli::Markup::none);
  reason.push_back('"');
  write_error(subject, reason);
}

// Thrown by the export's sink once standard output has failed, so that the
// export stops at once; finish() reports the failure.
struct OutputFailed {};

void answer(const Request& request, std::span<const Loaded> loaded, const quorix::TimelineSet& set,
            Output& output) {
  switch (request.command) {
    case Command::check: {
      const bool several = loaded.size() > 1;
      for (std::size_t i = 0; i < loaded.size(); ++i) {
        if (several) {
          std::string heading = "file: ";
          quorix::cli::append_shown(heading, request.files[i], quorix::cli::Markup::none);
          heading.push_back('\n');
          output.write(heading);
        }
        quorix::cli::SnapshotStats stats = quorix::cli::snapshot_stats(loaded[i].timeline);
        stats.dropped = loaded[i].dropped;
        output.write(quorix::cli::format_stats(stats));
      }
      if (several) output.write(quorix::cli::format_set_stats(quorix::cli::set_stats(set)));
      break;
    }
    case Command::trace:
      for (const std::string_view id : request.ids) {
        if (output.failed()) break;
        output.write(quorix::render_trace_json(set.build_causal_trace(id)));
        output.write("\n");
      }
      break;
    case Command::effects:
      output.write(quorix::render_effects_json(set.build_causal_effects(request.ids[0])));
      output.write("\n");
      break;
    case Command::latency:
      if (request.effects) {
        const quorix::CausalEffects effects = set.build_causal_effects(request.ids[0]);
        output.write(quorix::cli::format_latency(quorix::critical_path(effects), effects.status));
      } else {
        const quorix::CausalTrace trace = set.build_causal_trace(request.ids[0]);
        output.write(quorix::cli::format_latency(quorix::trace_latency(trace), trace.status));
      }
      break;
    case Command::show:
      output.write(request.effects
                       ? quorix::cli::render_effects_svg(set.build_causal_effects(request.ids[0]))
                       : quorix::cli::render_trace_svg(set.build_causal_trace(request.ids[0])));
      break;
    case Command::export_events: {
      // Each piece goes straight to standard output, so the export is never
      // held whole.
      const quorix::ExportSink sink = [&output](std::string_view piece) {
        output.write(piece);
        if (output.failed()) throw OutputFailed{};
      };
      // Each timeline is named by its file; standard input as "stdin".
      std::vector<std::string> names = request.files;
      std::replace(names.begin(), names.end(), std::string("-"), std::string("stdin"));
      try {
        if (request.format == ExportFormat::otlp) {
          quorix::write_otlp_json(set, names, sink);
        } else {
          // The clock domains of different processes may share names while
          // their entities are different threads, so several files get a
          // process each.
          quorix::write_chrome_trace(set, names,
                                     set.size() == 1 ? quorix::ChromeProcesses::per_clock_domain
                                                     : quorix::ChromeProcesses::per_timeline,
                                     sink);
        }
      } catch (const OutputFailed&) {  // reported by finish()
      }
      break;
    }
    case Command::record:
    case Command::recover:
      break;  // not questions about a timeline
  }
}

// Reads each file in turn into its timeline, builds the set of them and
// answers the request over it. A file's refusal names the file; a conflict
// the two files; anything else all of them.
int answer_files(const Request& request, Output& output) {
  std::vector<Loaded> loaded;
  loaded.reserve(request.files.size());
  for (const std::string& file : request.files) {
    if (!reported(file, [&] { loaded.push_back(load(file)); })) return kFailed;
  }
  std::vector<const quorix::Timeline*> timelines;
  timelines.reserve(loaded.size());
  for (const Loaded& each : loaded) timelines.push_back(&each.timeline);
  const std::string all = joined(request.files);
  std::optional<quorix::TimelineSet> set;
  const bool built = reported(all, [&] {
    try {
      set.emplace(std::move(timelines));
    } catch (const quorix::TimelineConflict& conflict) {
      write_conflict(request.files, conflict);
    }
  });
  if (!built || !set) return kFailed;
  if (!reported(all, [&] { answer(request, loaded, *set, output); })) return kFailed;
  return finish(output);
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

// A note on standard error for each id of the one-file form that names an
// existing file: a second file meant as such needs "--" after the files.
void note_ids_like_files(const Request& request) {
  if (request.separated) return;
  for (const std::string_view id : request.ids) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::path(id), error)) continue;
    std::string note = "id \"";
    quorix::cli::append_shown(note, id, quorix::cli::Markup::none);
    note.append("\" is also a file's name; several files go before --");
    write_error("note", note);
  }
}

int run(const Request& request) {
  Output output;
  note_ids_like_files(request);
  const std::string& file = request.files[0];
  switch (request.command) {
    case Command::record: {
      int status = kFailed;
      reported(file, [&] {
        quorix::RecordFile recorder(file, request.capacity);
        status = record_lines(recorder, output);
      });
      return status;
    }
    case Command::recover: {
      const bool written = reported(file, [&] {
        const quorix::RecoveredTimeline recovered = [&file] {
          const std::string bytes = quorix::cli::read_file(file);
          return quorix::read_record_file(bytes);
        }();  // the bytes are gone before the snapshot is written
        output.write(quorix::write_timeline_snapshot(recovered.timeline));
      });
      return written ? finish(output) : kFailed;
    }
    default:
      return answer_files(request, output);
  }
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
