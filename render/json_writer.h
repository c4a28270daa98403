// Internal to the renderer, not installed: the two passes by which every
// document is built in one buffer of exact size. The first pass adds up the
// bytes each piece needs; the second writes the pieces through a cursor into
// a string sized to that sum, so nothing is allocated or checked per byte.
#ifndef QUORIX_RENDER_JSON_WRITER_H_
#define QUORIX_RENDER_JSON_WRITER_H_

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

#include "timeline/text_form.h"

namespace quorix::json {

// How many bytes of `bytes` need a backslash: quotes and backslashes only.
inline std::size_t special_count(std::string_view bytes) noexcept {
  if (!holds_either(bytes, '"', '\\')) return 0;
  std::size_t count = 0;
  for (const char c : bytes) count += static_cast<std::size_t>((c == '"') | (c == '\\'));
  return count;
}

inline std::size_t quoted_size(std::string_view bytes) noexcept {
  return bytes.size() + 2 + special_count(bytes);
}

// Writes into memory that the first pass sized; never past its end.
class Cursor {
 public:
  explicit Cursor(char* at) noexcept : at_(at) {}

  void put(char c) noexcept { *at_++ = c; }

  void put(std::string_view bytes) noexcept { at_ = put_bytes(at_, bytes); }

  // The quoted literal: a backslash before each quote and backslash, every
  // other byte as it is.
  void put_quoted(std::string_view bytes) noexcept {
    put('"');
    if (!holds_either(bytes, '"', '\\')) {
      put(bytes);
    } else {
      for (const char c : bytes) {
        if (c == '"' || c == '\\') put('\\');
        put(c);
      }
    }
    put('"');
  }

  void put_decimal(std::uint64_t value) noexcept { at_ = quorix::put_decimal(at_, value); }

  const char* position() const noexcept { return at_; }

 private:
  char* at_;
};

// A string of exactly `size` bytes, filled by `write` through a cursor.
template <typename Write>
std::string build(std::size_t size, Write write) {
  std::string out(size, '\0');
  Cursor cursor(out.data());
  write(cursor);
  assert(cursor.position() == out.data() + size && "the sizing pass and the writing pass agree");
  return out;
}

}  // namespace quorix::json

#endif  // QUORIX_RENDER_JSON_WRITER_H_
