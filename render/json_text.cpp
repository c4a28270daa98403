#include <quorix/render/json_text.h>

#include "render/json_writer.h"

namespace quorix {

std::string json_quote(std::string_view bytes) {
  TextBuffer text(json::plain_quoted_size(bytes));
  json::put_quoted(text, bytes);
  return std::move(text).take();
}

}  // namespace quorix
