#include <quorix/render/json_text.h>

#include "render/json_writer.h"

namespace quorix {

std::string json_quote(std::string_view bytes) {
  return json::build(json::quoted_size(bytes),
                     [bytes](json::Cursor& out) { out.put_quoted(bytes); });
}

}  // namespace quorix
