// What every text a timeline is written as (trace documents and snapshots
// alike) is made of: numbers in one form, ASCII decimal digits with no sign,
// leading zeros, grouping or padding, that depends on nothing but the value
// (no locale, no stream state); and bytes copied as they are. Texts are
// built front to back in a TextBuffer, which no write can overrun.
//
//   quorix::TextBuffer text(4);
//   text.put_decimal(1000);
//   std::string done = std::move(text).take();  // "1000"
//
// Nothing here depends on a compiler's extensions: words are moved with
// std::memcpy and searched with plain 64-bit arithmetic.
#ifndef QUORIX_TIMELINE_TEXT_FORM_H_
#define QUORIX_TIMELINE_TEXT_FORM_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace quorix {

// The digits of 2^64 - 1, the longest number.
inline constexpr std::size_t kMaxDecimalDigits = 20;

namespace text_form_detail {

inline constexpr std::uint64_t kPowersOfTen[] = {1u,
                                                 10u,
                                                 100u,
                                                 1000u,
                                                 10000u,
                                                 100000u,
                                                 1000000u,
                                                 10000000u,
                                                 100000000u,
                                                 1000000000u,
                                                 10000000000u,
                                                 100000000000u,
                                                 1000000000000u,
                                                 10000000000000u,
                                                 100000000000000u,
                                                 1000000000000000u,
                                                 10000000000000000u,
                                                 100000000000000000u,
                                                 1000000000000000000u,
                                                 10000000000000000000u};

}  // namespace text_form_detail

// How many digits `value` takes: 1 for 0, 20 for 2^64 - 1. O(1).
constexpr std::size_t decimal_size(std::uint64_t value) noexcept {
  // 1233 / 4096 is just above log10(2): a guess that is exact or one short.
  const auto guess = static_cast<std::size_t>(std::bit_width(value | 1) * 1233) >> 12;
  // 0 takes one digit, like 1.
  return guess + ((value | 1) >= text_form_detail::kPowersOfTen[guess] ? 1 : 0);
}

namespace text_form_detail {

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// The high bit of each byte of `word` that equals the byte repeated in
// `spread`, and no other bit: no carry runs from one byte into the next.
constexpr std::uint64_t matches(std::uint64_t word, std::uint64_t spread) noexcept {
  constexpr std::uint64_t kLow7 = ~kHighs;
  const std::uint64_t x = word ^ spread;
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

inline std::uint64_t load8(const char* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the last two digits of `value` before `at`; returns where they start.
inline char* put_pair_before(char* at, std::uint32_t value) noexcept {
  const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
  *--at = kDigitPairs[pair + 1];
  *--at = kDigitPairs[pair];
  return at;
}

// The eight digits of `value` < 10^8, with leading zeros, as ASCII bytes in
// a word that a little-endian store puts in reading order: split into
// halves, quarters and digits in parallel lanes.
constexpr std::uint64_t eight_digit_text(std::uint32_t value) noexcept {
  const std::uint64_t halves = (value / 10000) | (std::uint64_t{value % 10000} << 32);
  const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007Fu;  // x / 100
  const std::uint64_t quarters = ((halves - 100 * hundreds) << 16) | hundreds;
  const std::uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Fu;  // x / 10
  return (tens | ((quarters - 10 * tens) << 8)) + 0x3030303030303030u;
}

}  // namespace text_form_detail

// Whether `bytes` holds `a` or `b`: eight bytes at a time, since the fields
// scanned are short and usually hold neither.
inline bool holds_either(std::string_view bytes, char a, char b) noexcept {
  using namespace text_form_detail;
  const std::uint64_t spread_a = kOnes * static_cast<unsigned char>(a);
  const std::uint64_t spread_b = kOnes * static_cast<unsigned char>(b);
  const auto holds = [&](std::uint64_t w) {
    return (matches(w, spread_a) | matches(w, spread_b)) != 0;
  };
  const std::size_t n = bytes.size();
  if (n < 4) {
    for (const char c : bytes) {
      if (c == a || c == b) return true;
    }
    return false;
  }
  if (n < 8) {  // two overlapping halves in one word
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, bytes.data(), 4);
    std::memcpy(&high, bytes.data() + n - 4, 4);
    return holds((std::uint64_t{high} << 32) | low);
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (holds(load8(bytes.data() + i))) return true;
  }
  return holds(load8(bytes.data() + n - 8));  // the last eight, overlapping what was seen
}

// Copies `bytes` to `out` and returns the end of the copy; sets `found` if
// they hold `a` or `b`, looking at each word as it moves it. Fields are
// short: they are moved in a few fixed-size words, without a call.
inline char* put_bytes_finding(char* out, std::string_view bytes, char a, char b,
                               bool& found) noexcept {
  using namespace text_form_detail;
  const std::uint64_t spread_a = kOnes * static_cast<unsigned char>(a);
  const std::uint64_t spread_b = kOnes * static_cast<unsigned char>(b);
  const char* in = bytes.data();
  const std::size_t n = bytes.size();
  std::uint64_t hits = 0;
  if (n >= 8) {  // whole words, then the last eight bytes, overlapping
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      const std::uint64_t w = load8(in + i);
      hits |= matches(w, spread_a) | matches(w, spread_b);
      std::memcpy(out + i, &w, 8);
    }
    const std::uint64_t w = load8(in + n - 8);
    hits |= matches(w, spread_a) | matches(w, spread_b);
    std::memcpy(out + n - 8, &w, 8);
  } else if (n >= 4) {  // two overlapping halves
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, in, 4);
    std::memcpy(&high, in + n - 4, 4);
    const std::uint64_t w = (std::uint64_t{high} << 32) | low;
    hits = matches(w, spread_a) | matches(w, spread_b);
    std::memcpy(out, &low, 4);
    std::memcpy(out + n - 4, &high, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      hits |= static_cast<std::uint64_t>((in[i] == a) | (in[i] == b));
      out[i] = in[i];
    }
  }
  found = found || hits != 0;
  return out + n;
}

// Copies `bytes` to `out` and returns the end of the copy. Ids and most
// fields are short: they are copied in a few fixed-size moves, without a call.
inline char* put_bytes(char* out, std::string_view bytes) noexcept {
  const char* in = bytes.data();
  const std::size_t n = bytes.size();
  if (n >= 8 && n <= 16) {  // two moves of eight bytes that may overlap
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
  } else {
    std::memcpy(out, in, n);
  }
  return out + n;
}

// Writes the `size` = decimal_size(value) digits of `value` at `out` and
// returns their end: eight digits at a time, in parallel lanes of one word.
inline char* put_decimal(char* out, std::uint64_t value, std::size_t size) noexcept {
  using text_form_detail::put_pair_before;
  char* const end = out + size;
  char* at = end;
  while (value >= 100000000) {
    auto low = static_cast<std::uint32_t>(value % 100000000);
    value /= 100000000;
    if constexpr (std::endian::native == std::endian::little) {
      at -= 8;
      const std::uint64_t digits = text_form_detail::eight_digit_text(low);
      std::memcpy(at, &digits, 8);
    } else {
      for (int i = 0; i < 4; ++i, low /= 100) at = put_pair_before(at, low);
    }
  }
  auto rest = static_cast<std::uint32_t>(value);
  for (; rest >= 100; rest /= 100) at = put_pair_before(at, rest);
  if (rest >= 10) {
    put_pair_before(at, rest);
  } else {
    *--at = static_cast<char>('0' + rest);
  }
  return end;
}

// Writes into room of a fixed size: every write checks that it fits, and a
// text larger than its room is refused with std::logic_error("text larger
// than its room") before a byte is written past it. Cheap: the two ends
// stay in registers.
class Cursor {
 public:
  Cursor(char* at, char* end) noexcept : at_(at), end_(end) {}

  void put(char c) { *take(1) = c; }
  void put(std::string_view bytes) { put_bytes(take(bytes.size()), bytes); }
  // Copies `bytes`, setting `found` if they hold `a` or `b`.
  void put_finding(std::string_view bytes, char a, char b, bool& found) {
    put_bytes_finding(take(bytes.size()), bytes, a, b, found);
  }
  void put_decimal(std::uint64_t value) {
    const std::size_t size = decimal_size(value);
    quorix::put_decimal(take(size), value, size);
  }
  // Where the next `size` bytes go, which the caller then fills.
  char* take(std::size_t size) {
    if (size > static_cast<std::size_t>(end_ - at_)) overrun();
    return std::exchange(at_, at_ + size);
  }
  char* position() const noexcept { return at_; }

 private:
  [[noreturn]] static void overrun() { throw std::logic_error("text larger than its room"); }

  char* at_;
  char* end_;
};

// A text built front to back in one string that grows when it must, in
// pieces of known size written through a Cursor. An `expected` size that is
// right makes the whole text one allocation; one that is short costs a
// regrowth, never a write past the end.
class TextBuffer {
 public:
  explicit TextBuffer(std::size_t expected) : text_(expected, '\0') {}

  // Lets `write(cursor)` fill at most `size` bytes.
  template <typename Write>
  void put_sized(std::size_t size, Write write) {
    if (size > text_.size() - used_) grow(size);
    Cursor cursor(text_.data() + used_, text_.data() + used_ + size);
    write(cursor);
    used_ = static_cast<std::size_t>(cursor.position() - text_.data());
  }

  void put(std::string_view bytes) {
    put_sized(bytes.size(), [bytes](Cursor& out) { out.put(bytes); });
  }
  void put(char c) {
    put_sized(1, [c](Cursor& out) { out.put(c); });
  }
  void put_decimal(std::uint64_t value) {
    put_sized(decimal_size(value), [value](Cursor& out) { out.put_decimal(value); });
  }

  // How many bytes are written; truncate(n) drops those after the first n.
  std::size_t size() const noexcept { return used_; }
  void truncate(std::size_t size) noexcept { used_ = std::min(used_, size); }

  // The text written, as a string of its own.
  std::string take() && {
    text_.resize(used_);
    return std::move(text_);
  }

 private:
  void grow(std::size_t size) { text_.resize(std::max(used_ + size, text_.size() * 2)); }

  std::string text_;
  std::size_t used_ = 0;
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TEXT_FORM_H_
