// Internal to the renderer, not installed: the quoted form of a string
// value, written into a TextBuffer.
#ifndef QUORIX_RENDER_JSON_WRITER_H_
#define QUORIX_RENDER_JSON_WRITER_H_

#include <cstddef>
#include <string_view>

#include "timeline/text_form.h"

namespace quorix::json {

// The size of the quoted literal of `bytes` when it holds nothing to escape,
// as it usually does: what a document is first sized by.
inline std::size_t plain_quoted_size(std::string_view bytes) noexcept { return bytes.size() + 2; }

// How many bytes of `bytes` need a backslash: quotes and backslashes only.
inline std::size_t special_count(std::string_view bytes) noexcept {
  if (!holds_either(bytes, '"', '\\')) return 0;
  std::size_t count = 0;
  for (const char c : bytes) count += static_cast<std::size_t>((c == '"') | (c == '\\'));
  return count;
}

// n + k + 2 bytes for n input bytes of which k are quotes or backslashes.
inline std::size_t quoted_size(std::string_view bytes) noexcept {
  return bytes.size() + 2 + special_count(bytes);
}

// The quoted literal: a backslash before each quote and backslash, every
// other byte as it is.
inline void put_quoted(Cursor& out, std::string_view bytes) {
  out.put('"');
  if (!holds_either(bytes, '"', '\\')) {
    out.put(bytes);
  } else {
    for (const char c : bytes) {
      if (c == '"' || c == '\\') out.put('\\');
      out.put(c);
    }
  }
  out.put('"');
}

}  // namespace quorix::json

#endif  // QUORIX_RENDER_JSON_WRITER_H_
