#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <istream>
#include <limits>
#include <locale>
#include <span>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include <quorix/snapshot/snapshot.h>
#include "snapshot/record_line.h"
#include "timeline/text_form.h"

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
std::uint64_t parse_any_number(std::string_view field) {
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

// The value of the eight digits of `word`, loaded from memory in order, or
// kNotDigits if a byte is not a digit. Needs a little-endian word.
constexpr std::uint64_t kNotDigits = ~std::uint64_t{0};
constexpr std::uint64_t eight_digits(std::uint64_t word) {
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0u;
  constexpr std::uint64_t kZeros = 0x3030303030303030u;
  if ((word & kHighNibbles) != kZeros || ((word + 0x0606060606060606u) & kHighNibbles) != kZeros) {
    return kNotDigits;
  }
  word -= kZeros;  // each byte a digit, the first one lowest
  word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFu;
  word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFu;
  return (word * 10000 + (word >> 32)) & 0xFFFFFFFFu;
}

// As parse_any_number, quickly for what the writer writes: 1 to 19 digits
// and nothing else, which always fit.
std::uint64_t parse_number(std::string_view field) {
  const char* at = field.data();
  std::size_t n = field.size();
  if (n == 0 || n > 19) return parse_any_number(field);
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; n >= 8; at += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, 8);
      const std::uint64_t digits = eight_digits(word);
      if (digits == kNotDigits) return parse_any_number(field);
      value = value * 100000000 + digits;
    }
  }
  for (; n != 0; ++at, --n) {
    if (*at < '0' || *at > '9') return parse_any_number(field);
    value = value * 10 + static_cast<std::uint64_t>(*at - '0');
  }
  return value;
}

// Where the line at `at` ends (its line feed, or `end`) and where its first
// eight tabs stand in `tabs`; returns how many of those it has. Looks at
// every tab and line feed in turn, eight bytes at a time where it can.
std::size_t split_line(const char* at, const char* end, const char* (&tabs)[8],
                       const char*& line_end) {
  using namespace text_form_detail;
  std::size_t found = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; end - at >= 8; at += 8) {
      const std::uint64_t word = load8(at);
      const std::uint64_t line_feeds = matches(word, kOnes * '\n');
      std::uint64_t hits = found < 8 ? matches(word, kOnes * '\t') : 0;
      if (line_feeds != 0) hits &= (line_feeds & (0 - line_feeds)) - 1;  // before the line feed
      for (; hits != 0 && found < 8; hits &= hits - 1) {
        tabs[found++] = at + std::countr_zero(hits) / 8;
      }
      if (line_feeds != 0) {
        line_end = at + std::countr_zero(line_feeds) / 8;
        return found;
      }
    }
  }
  for (; at != end && *at != '\n'; ++at) {
    if (*at == '\t' && found < 8) tabs[found++] = at;
  }
  line_end = at;
  return found;
}

// Reads the record that starts at `at` into `event` and returns where the
// next line starts: nine fields split at the first eight tabs of the line,
// the numbers converted in line order before any string is set. Without
// `WithSequence`, the sequence field is left unread and `event`'s is 0.
template <bool WithSequence = true>
const char* read_record(const char* at, const char* end, EventView& event) {
  const char* tabs[8];
  const char* line_end = nullptr;
  if (split_line(at, end, tabs, line_end) < 8) throw std::invalid_argument(kInvalidRecord);
  std::string_view fields[kRecordFieldCount];
  for (std::size_t i = 0; i < 8; ++i) {
    fields[i] = {at, static_cast<std::size_t>(tabs[i] - at)};
    at = tabs[i] + 1;
  }
  fields[kRecordFieldCount - 1] = {at, static_cast<std::size_t>(line_end - at)};
  for_each_record_field([&](auto index, auto field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(event.*field)>, std::uint64_t>) {
      event.*field =
          WithSequence || field != &EventView::sequence ? parse_number(fields[index]) : 0;
    }
  });
  for_each_record_field([&](auto index, auto field) {
    if constexpr (std::is_same_v<std::decay_t<decltype(event.*field)>, std::string_view>) {
      event.*field = fields[index];
    }
  });
  return line_end == end ? end : line_end + 1;
}

}  // namespace

Timeline read_timeline_snapshot(std::string_view text) {
  const Header header = read_header(text);
  Timeline timeline(header.capacity);
  std::string_view rest = text.substr(header.size);
  // Room for the records it claims, but no more than its size could hold
  // (a record line has eight tabs, three digits and a line feed at least):
  // sized by the text, never by a number read from it alone.
  constexpr std::size_t kShortestLine = 12;
  const std::uint64_t expected =
      std::min<std::uint64_t>(header.record_count, rest.size() / kShortestLine + 1);
  if (expected != 0) timeline.reserve(static_cast<std::size_t>(expected));
  // Records are restored a batch at a time, so that the store can look
  // their ids up side by side.
  constexpr std::size_t kBatch = 32;
  std::array<EventView, kBatch> batch;
  std::size_t batched = 0;
  const char* at = rest.data();
  const char* const end = at + rest.size();
  for (std::uint64_t i = 0; i < header.record_count; ++i) {
    if (at == end) throw std::invalid_argument(kTruncatedSnapshot);
    at = read_record(at, end, batch[batched++]);
    if (batched == kBatch) {
      timeline.restore_events(batch);
      batched = 0;
    }
  }
  timeline.restore_events(std::span(batch).first(batched));
  timeline.verify_acyclic();
  timeline.restore_next_sequence(header.next_sequence);
  return timeline;
}

TimelineEvent read_timeline_record(std::string_view line) {
  EventView event;
  const char* const end = line.data() + line.size();
  // A line feed ends a record early: the rest of the line would be lost.
  if (read_record<false>(line.data(), end, event) != end || line.ends_with('\n')) {
    throw std::invalid_argument(kInvalidRecord);
  }
  return event.to_event();
}

}  // namespace quorix
