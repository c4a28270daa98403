#include "render/json_text.h"

namespace quorix {

void append_json_quoted(std::string& out, std::string_view bytes) {
  out.push_back('"');
  // Copy the runs between the bytes that need a backslash in one piece each.
  std::size_t start = 0;
  while (true) {
    const std::size_t special = bytes.find_first_of("\"\\", start);
    if (special == std::string_view::npos) break;
    out.append(bytes.data() + start, special - start);
    out.push_back('\\');
    out.push_back(bytes[special]);
    start = special + 1;
  }
  out.append(bytes.data() + start, bytes.size() - start);
  out.push_back('"');
}

std::string json_quote(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  append_json_quoted(out, bytes);
  return out;
}

}  // namespace quorix
