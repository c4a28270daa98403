#include <quorix/render/json_text.h>

#include "render/json_writer.h"

namespace quorix {

std::string json_quote(std::string_view bytes) {
  const std::size_t size = json::quoted_size(bytes);
  TextBuffer text(size);
  text.put_sized(size, [bytes](Cursor& out) { json::put_quoted(out, bytes); });
  return std::move(text).take();
}

}  // namespace quorix
