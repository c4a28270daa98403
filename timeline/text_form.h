// What every text a timeline is written as (trace documents and snapshots
// alike) is made of: numbers in one form, ASCII decimal digits with no sign,
// leading zeros, grouping or padding, that depends on nothing but the value
// (no locale, no stream state); and bytes copied as they are. Both write
// into memory that the caller sized beforehand.
//
//   char text[quorix::kMaxDecimalDigits];
//   char* end = quorix::put_decimal(text, 1000);  // "1000"
#ifndef QUORIX_TIMELINE_TEXT_FORM_H_
#define QUORIX_TIMELINE_TEXT_FORM_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace text_form_detail

// How many digits `value` takes: 1 for 0, 20 for 2^64 - 1. O(1).
constexpr std::size_t decimal_size(std::uint64_t value) noexcept {
  // 1233 / 4096 is just above log10(2): a guess that is exact or one short.
  const auto guess = static_cast<std::size_t>(std::bit_width(value | 1) * 1233) >> 12;
  // 0 takes one digit, like 1.
  return guess + ((value | 1) >= text_form_detail::kPowersOfTen[guess] ? 1 : 0);
}

// Writes the digits of `value` at `out`, which has room for
// decimal_size(value) bytes, and returns the end of what it wrote. Two
// digits at a time, from the last.
inline char* put_decimal(char* out, std::uint64_t value) noexcept {
  const char* const kPairs = text_form_detail::kDigitPairs;
  char* const end = out + decimal_size(value);
  char* at = end;
  while (value >= 100) {
    const auto pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    *--at = kPairs[pair + 1];
    *--at = kPairs[pair];
  }
  if (value >= 10) {
    const auto pair = static_cast<std::size_t>(value) * 2;
    *--at = kPairs[pair + 1];
    *--at = kPairs[pair];
  } else {
    *--at = static_cast<char>('0' + value);
  }
  return end;
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

}  // namespace quorix

#endif  // QUORIX_TIMELINE_TEXT_FORM_H_
