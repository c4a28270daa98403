#include <cstdint>
#include <istream>
#include <limits>
#include <locale>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include <quorix/snapshot/snapshot.h>

namespace quorix {
namespace {

constexpr std::string_view kMagic = "quorix-timeline";
constexpr const char kInvalidSnapshot[] = "invalid timeline snapshot";
constexpr const char kTruncatedSnapshot[] = "truncated timeline snapshot";
constexpr const char kInvalidRecord[] = "invalid timeline record";
constexpr const char kNoDigit[] = "invalid stoull argument";
constexpr const char kOutOfRange[] = "stoull argument out of range";

// A stream buffer over a text the reader owns, so that formatted input reads
// the header without another copy and tells how far it got.
class TextBuffer : public std::streambuf {
 public:
  explicit TextBuffer(std::string& text) {
    setg(text.data(), text.data(), text.data() + text.size());
  }
  std::size_t consumed() const { return static_cast<std::size_t>(gptr() - eback()); }
};

struct Header {
  std::uint64_t capacity;
  std::uint64_t next_sequence;
  std::uint64_t record_count;
  std::size_t size;  // bytes up to and including the header's line feed
};

Header read_header(std::string& text) {
  TextBuffer buffer(text);
  std::istream in(&buffer);
  in.imbue(std::locale::classic());      // no digit grouping, whatever the global locale
  in.exceptions(std::ios_base::badbit);  // an allocation failure stays itself
  std::string magic;
  std::int32_t version = 0;
  Header header{0, 0, 0, 0};
  in >> magic >> version >> header.capacity >> header.next_sequence >> header.record_count;
  if (in.fail() || magic != kMagic || version != 1) throw std::invalid_argument(kInvalidSnapshot);
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  header.size = buffer.consumed();
  return header;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Base-10 text to a number the way std::stoull reads it.
std::uint64_t parse_number(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && is_space(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  if (i == field.size() || !is_digit(field[i])) throw std::invalid_argument(kNoDigit);
  // Nineteen digits always fit; only from the twentieth on can the value
  // pass 2^64 - 1, so only there is it checked.
  const std::size_t first = i;
  std::uint64_t value = 0;
  for (; i < field.size() && i - first < 19 && is_digit(field[i]); ++i) {
    value = value * 10 + static_cast<std::uint64_t>(field[i] - '0');
  }
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  bool overflow = false;
  for (; i < field.size() && is_digit(field[i]); ++i) {  // keep reading: all digits count
    const auto digit = static_cast<std::uint64_t>(field[i] - '0');
    if (value > (kMax - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (overflow) throw std::out_of_range(kOutOfRange);
  return negative ? 0 - value : value;
}

// The event of one record line: nine fields split at the first eight tabs.
TimelineEvent parse_record(std::string_view line) {
  std::string_view fields[9];
  std::size_t position = 0;
  for (int i = 0; i < 8; ++i) {
    const std::size_t tab = line.find('\t', position);
    if (tab == std::string_view::npos) throw std::invalid_argument(kInvalidRecord);
    fields[i] = line.substr(position, tab - position);
    position = tab + 1;
  }
  fields[8] = line.substr(position);

  TimelineEvent event;
  event.wall_time_ns = parse_number(fields[5]);
  event.model_time = parse_number(fields[6]);
  event.sequence = parse_number(fields[7]);
  event.id = fields[0];
  event.parent = fields[1];
  event.kind = fields[2];
  event.entity_id = fields[3];
  event.clock_domain = fields[4];
  event.message = fields[8];
  return event;
}

}  // namespace

Timeline read_timeline_snapshot(std::string_view text) {
  // A private copy: the caller's bytes need to stay valid only for the call.
  std::string owned(text);
  const Header header = read_header(owned);
  Timeline timeline(header.capacity);
  std::string_view rest = std::string_view(owned).substr(header.size);
  for (std::uint64_t i = 0; i < header.record_count; ++i) {
    if (rest.empty()) throw std::invalid_argument(kTruncatedSnapshot);
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    timeline.restore_event(parse_record(line));
  }
  timeline.verify_acyclic();
  timeline.restore_next_sequence(header.next_sequence);
  return timeline;
}

}  // namespace quorix
