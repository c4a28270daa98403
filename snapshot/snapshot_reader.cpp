#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <istream>
#include <limits>
#include <locale>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include <quorix/snapshot/snapshot.h>
#include "snapshot/record_line.h"

namespace quorix {
namespace {

using snapshot::for_each_record_field;
using snapshot::kRecordFieldCount;

constexpr std::string_view kMagic = "quorix-timeline";
constexpr const char kInvalidSnapshot[] = "invalid timeline snapshot";
constexpr const char kTruncatedSnapshot[] = "truncated timeline snapshot";
constexpr const char kInvalidRecord[] = "invalid timeline record";
constexpr const char kNoDigit[] = "invalid stoull argument";
constexpr const char kOutOfRange[] = "stoull argument out of range";

// A stream buffer over the caller's text, so that formatted input reads the
// header in place and tells how far it got. Input only ever reads the get
// area (a putback of the byte just read moves back over it), so the text is
// never written to.
class TextView : public std::streambuf {
 public:
  explicit TextView(std::string_view text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
  std::size_t consumed() const { return static_cast<std::size_t>(gptr() - eback()); }
};

struct Header {
  std::uint64_t capacity;
  std::uint64_t next_sequence;
  std::uint64_t record_count;
  std::size_t size;  // bytes up to and including the header's line feed
};

Header read_header(std::string_view text) {
  TextView buffer(text);
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

// Base-10 text to a number the way std::stoull reads it: white space, an
// optional sign (a minus wraps modulo 2^64), then digits as far as they go.
std::uint64_t parse_number(std::string_view field) {
  const char* at = field.data();
  const char* const end = at + field.size();
  while (at != end && is_space(*at)) ++at;
  bool negative = false;
  if (at != end && (*at == '+' || *at == '-')) negative = *at++ == '-';
  std::uint64_t value = 0;
  const std::errc error = std::from_chars(at, end, value).ec;
  if (error == std::errc::invalid_argument) throw std::invalid_argument(kNoDigit);
  if (error == std::errc::result_out_of_range) throw std::out_of_range(kOutOfRange);
  return negative ? 0 - value : value;
}

// Reads the record `line` into `event`: nine fields split at the first
// eight tabs, the numbers converted in line order before any string is set.
void read_record(std::string_view line, TimelineEvent& event) {
  std::string_view fields[kRecordFieldCount];
  const char* at = line.data();
  const char* const end = at + line.size();
  for (std::size_t i = 0; i + 1 < kRecordFieldCount; ++i) {
    const void* tab = std::memchr(at, '\t', static_cast<std::size_t>(end - at));
    if (tab == nullptr) throw std::invalid_argument(kInvalidRecord);
    fields[i] = {at, static_cast<std::size_t>(static_cast<const char*>(tab) - at)};
    at = static_cast<const char*>(tab) + 1;
  }
  fields[kRecordFieldCount - 1] = {at, static_cast<std::size_t>(end - at)};
  for_each_record_field([&](auto index, auto field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(event.*field)>, std::uint64_t>) {
      event.*field = parse_number(fields[index]);
    }
  });
  for_each_record_field([&](auto index, auto field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(event.*field)>, std::string>) {
      (event.*field).assign(fields[index]);
    }
  });
}

}  // namespace

Timeline read_timeline_snapshot(std::string_view text) {
  const Header header = read_header(text);
  Timeline timeline(header.capacity);
  std::string_view rest = text.substr(header.size);
  // Room for as many records as the text has lines, but no more than it
  // claims: sized by the text, never by a number read from it alone.
  const auto lines = static_cast<std::uint64_t>(std::count(rest.begin(), rest.end(), '\n')) + 1;
  const std::uint64_t expected = std::min(lines, header.record_count);
  if (expected != 0) timeline.reserve(static_cast<std::size_t>(expected));
  TimelineEvent event;
  for (std::uint64_t i = 0; i < header.record_count; ++i) {
    if (rest.empty()) throw std::invalid_argument(kTruncatedSnapshot);
    const void* line_feed = std::memchr(rest.data(), '\n', rest.size());
    const std::size_t length =
        line_feed == nullptr
            ? rest.size()
            : static_cast<std::size_t>(static_cast<const char*>(line_feed) - rest.data());
    read_record(rest.substr(0, length), event);
    rest.remove_prefix(std::min(length + 1, rest.size()));
    timeline.restore_event(std::move(event));
  }
  timeline.verify_acyclic();
  timeline.restore_next_sequence(header.next_sequence);
  return timeline;
}

}  // namespace quorix
