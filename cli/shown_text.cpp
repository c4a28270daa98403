#include "shown_text.h"

#include <algorithm>

namespace quorix::cli {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// The size of the character at the start of `bytes` when it is valid UTF-8
// that shows as itself (see shown_text.h); 0 when its first byte must be
// shown escaped.
std::size_t plain_char_size(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes.front());
  if (lead < 0x80U) return lead >= 0x20U && lead != 0x7FU ? 1 : 0;
  // The sequence's size, the payload bits of its lead byte, and the least
  // code point of that size (below it the form is overlong).
  std::size_t size = 4;
  char32_t code = lead & 0x07U;
  char32_t least = 0x10000;
  if ((lead & 0xE0U) == 0xC0U) {
    size = 2;
    code = lead & 0x1FU;
    least = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    size = 3;
    code = lead & 0x0FU;
    least = 0x800;
  } else if ((lead & 0xF8U) != 0xF0U) {
    return 0;  // a continuation byte, or no lead byte of UTF-8
  }
  if (bytes.size() < size) return 0;
  for (std::size_t i = 1; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!is_continuation(byte)) return 0;
    code = (code << 6U) | (byte & 0x3FU);
  }
  const bool c1_control = code <= 0x9F;
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool not_xml = code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF;
  const bool reorders = code == 0x061C || code == 0x200E || code == 0x200F ||
                        (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
  return code < least || c1_control || surrogate || not_xml || reorders ? 0 : size;
}

// How wide the character (or escaped byte) at the start of `bytes` shows.
std::size_t shown_width(std::string_view bytes, std::size_t plain_size) {
  if (plain_size == 0) return 4;  // \xNN
  return bytes.front() == '\\' ? 2 : 1;
}

void append_char(std::string& out, std::string_view bytes, std::size_t plain_size, Markup markup) {
  if (plain_size == 0) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(bytes.front());
    out.append("\\x").append(1, kHex[byte >> 4U]).append(1, kHex[byte & 0xFU]);
    return;
  }
  if (bytes.front() == '\\') {
    out.append("\\\\");
    return;
  }
  if (markup == Markup::none) {
    out.append(bytes.substr(0, plain_size));
    return;
  }
  switch (bytes.front()) {
    case '&':
      out.append("&amp;");
      return;
    case '<':
      out.append("&lt;");
      return;
    case '>':
      out.append("&gt;");
      return;
    case '"':
      out.append("&quot;");
      return;
    case '\'':
      out.append("&apos;");
      return;
    default:
      out.append(bytes.substr(0, plain_size));
  }
}

}  // namespace

std::size_t append_shown(std::string& out, std::string_view bytes, Markup markup,
                         std::size_t max_width) {
  if (max_width == 0) return 0;
  std::size_t total = 0;
  for (std::size_t i = 0; i < bytes.size() && total <= max_width;) {
    const std::size_t size = plain_char_size(bytes.substr(i));
    total += shown_width(bytes.substr(i), size);
    i += std::max<std::size_t>(size, 1);
  }
  const bool cut = total > max_width;
  const std::size_t room = cut ? max_width - 1 : kNoLimit;
  std::size_t width = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::string_view rest = bytes.substr(i);
    const std::size_t size = plain_char_size(rest);
    const std::size_t char_width = shown_width(rest, size);
    if (width + char_width > room) break;
    width += char_width;
    append_char(out, rest, size, markup);
    i += std::max<std::size_t>(size, 1);
  }
  if (!cut) return width;
  out.append(kEllipsis);
  return width + 1;
}

}  // namespace quorix::cli
