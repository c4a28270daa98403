// The quorix command: answers questions about a timeline snapshot file.
//
//   quorix check FILE        counts over the snapshot's records
//   quorix trace FILE ID...  each id's trace document, one a line
//   quorix show FILE ID      an SVG picture of one id's trace
//
// FILE "-" is standard input. The file is read once, whole, and released as
// soon as the timeline is built from it, before any answer is computed.
// Exit status: 0 answered; 1 the file could not be read, the snapshot was
// refused or standard output failed, with one line on standard error; 2 a
// usage error, with the usage line on standard error.
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include <quorix/version.h>

#include "check.h"
#include "file_input.h"
#include "svg.h"

namespace {

constexpr int kAnswered = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr std::string_view kUsage =
    "usage: quorix check FILE | quorix trace FILE ID... | quorix show FILE ID | quorix --help | "
    "quorix --version\n";

constexpr std::string_view kHelp =
    "usage: quorix COMMAND FILE [ID...]\n"
    "Answers questions about a timeline snapshot file; FILE - reads standard input.\n"
    "\n"
    "  check FILE        one \"key: value\" line each: format, capacity, next_sequence,\n"
    "                    records, distinct_ids, duplicate_ids, roots, orphans, over_capacity\n"
    "  trace FILE ID...  the JSON document of each ID's causal trace, one a line\n"
    "  show FILE ID      an SVG picture of ID's causal trace\n"
    "  --help            this text\n"
    "  --version         the version of the quorix libraries\n"
    "\n"
    "Exit status: 0 answered, 1 unreadable or refused file, 2 usage error.\n";

enum class Command { check, trace, show };

struct Request {
  Command command;
  std::string file;
  std::vector<std::string_view> ids;
};

// The request the arguments make, or nullopt for a usage error. Ids are
// taken as they are, even when they start with '-'; a file name that starts
// with '-' (other than "-" itself) is taken for an unknown option.
std::optional<Request> parse_request(const std::vector<std::string_view>& args) {
  if (args.size() < 2 || (args[1].starts_with('-') && args[1] != "-")) return std::nullopt;
  const std::string_view name = args[0];
  const std::size_t id_count = args.size() - 2;
  Command command = Command::check;
  if (name == "check" && id_count == 0) {
    command = Command::check;
  } else if (name == "trace" && id_count >= 1) {
    command = Command::trace;
  } else if (name == "show" && id_count == 1) {
    command = Command::show;
  } else {
    return std::nullopt;
  }
  return Request{command, std::string(args[1]), {args.begin() + 2, args.end()}};
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
  // Flushes; the error number of the first failure, or 0.
  int finish() {
    if (error_ == 0 && std::fflush(stdout) != 0) error_ = errno;
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

void answer(const Request& request, const quorix::Timeline& timeline, Output& output) {
  switch (request.command) {
    case Command::check:
      output.write(quorix::cli::format_stats(quorix::cli::snapshot_stats(timeline)));
      break;
    case Command::trace:
      for (const std::string_view id : request.ids) {
        if (output.failed()) break;
        output.write(quorix::render_trace_json(timeline.build_causal_trace(id)));
        output.write("\n");
      }
      break;
    case Command::show:
      output.write(quorix::cli::render_trace_svg(timeline.build_causal_trace(request.ids[0])));
      break;
  }
}

int run(const Request& request) {
  Output output;
  try {
    const quorix::Timeline timeline = [&request] {
      const std::string text = quorix::cli::read_file(request.file);
      return quorix::read_timeline_snapshot(text);
    }();  // the text is gone before any answer is computed
    answer(request, timeline, output);
  } catch (const std::bad_alloc&) {
    write_error(request.file, "not enough memory");
    return kFailed;
  } catch (const std::exception& error) {  // the file's or the reader's refusal
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
