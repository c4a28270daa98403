// Internal to the renderer, not installed: the quoted form of a string
// value, written into a TextBuffer.
#ifndef QUORIX_RENDER_JSON_WRITER_H_
#define QUORIX_RENDER_JSON_WRITER_H_

#include <cstddef>
#include <string_view>

#include "timeline/text_form.h"

namespace quorix::json {

// The size of the quoted literal of `bytes` when it holds nothing to escape,
// as it usually does: what a document is sized by beforehand.
inline std::size_t plain_quoted_size(std::string_view bytes) noexcept { return bytes.size() + 2; }

// The quoted literal: a backslash before each quote and backslash, every
// other byte as it is; n + k + 2 bytes for n input bytes of which k are
// quotes or backslashes.
inline void put_quoted(TextBuffer& out, std::string_view bytes) {
  if (!holds_either(bytes, '"', '\\')) {
    out.put_at_most(bytes.size() + 2, [bytes](char* at) {
      *at = '"';
      at = put_bytes(at + 1, bytes);
      *at = '"';
      return at + 1;
    });
    return;
  }
  std::size_t escaped = 0;
  for (const char c : bytes) escaped += static_cast<std::size_t>((c == '"') | (c == '\\'));
  out.put_at_most(bytes.size() + escaped + 2, [bytes](char* at) {
    *at++ = '"';
    for (const char c : bytes) {
      if (c == '"' || c == '\\') *at++ = '\\';
      *at++ = c;
    }
    *at++ = '"';
    return at;
  });
}

}  // namespace quorix::json

#endif  // QUORIX_RENDER_JSON_WRITER_H_
