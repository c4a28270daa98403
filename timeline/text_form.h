// What every text a timeline is written as (trace documents and snapshots
// alike) is made of: numbers in one form, ASCII decimal digits with no sign,
// leading zeros, grouping or padding, that depends on nothing but the value
// (no locale, no stream state); and bytes copied as they are. Texts are
// built front to back in a TextBuffer, which no write can overrun.
//
//   quorix::TextBuffer text(4);
//   text.put_decimal(1000);
//   std::string done = std::move(text).take();  // "1000"
#ifndef QUORIX_TIMELINE_TEXT_FORM_H_
#define QUORIX_TIMELINE_TEXT_FORM_H_

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

// Whether `bytes` holds `a` or `b`: eight bytes at a time, since the fields
// scanned are short and usually hold neither.
inline bool holds_either(std::string_view bytes, char a, char b) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  const auto has_zero_byte = [](std::uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; };
  const std::uint64_t spread_a = kOnes * static_cast<unsigned char>(a);
  const std::uint64_t spread_b = kOnes * static_cast<unsigned char>(b);
  const auto holds = [&](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return has_zero_byte(w ^ spread_a) || has_zero_byte(w ^ spread_b);
  };
  const std::size_t n = bytes.size();
  if (n < 8) {
    for (const char c : bytes) {
      if (c == a || c == b) return true;
    }
    return false;
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (holds(bytes.data() + i)) return true;
  }
  return holds(bytes.data() + n - 8);  // the last eight, overlapping what was seen
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

// A text built front to back in one string that grows when it must. Each
// write asks for room for the most it can write before it writes, so no
// estimate can make it write past the end: an `expected` size that is right
// makes the whole text one allocation, one that is short costs a regrowth.
class TextBuffer {
 public:
  explicit TextBuffer(std::size_t expected) : text_(expected, '\0') {}

  void put(char c) {
    put_at_most(1, [c](char* at) {
      *at = c;
      return at + 1;
    });
  }
  void put(std::string_view bytes) {
    put_at_most(bytes.size(), [bytes](char* at) { return put_bytes(at, bytes); });
  }
  void put_decimal(std::uint64_t value) {
    const std::size_t size = decimal_size(value);
    put_at_most(size, [value, size](char* at) { return std::to_chars(at, at + size, value).ptr; });
  }

  // Lets `write(at)` fill at most `size` bytes from `at`; it returns the end
  // of what it wrote.
  template <typename Write>
  void put_at_most(std::size_t size, Write write) {
    if (size > text_.size() - used_) grow(size);
    char* const at = text_.data() + used_;
    used_ = static_cast<std::size_t>(write(at) - text_.data());
  }

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
