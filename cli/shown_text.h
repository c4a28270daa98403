// How the quorix command shows byte strings in its pictures and tables, so
// that every byte is visible and none can break the output's structure.
//
//   std::string out;
//   quorix::cli::append_shown(out, "a\tb", quorix::cli::Markup::none);  // a\x09b
//
// Printable UTF-8 shows as itself, a backslash as \\, and every other byte
// as the text \xNN (two upper-case hex digits). Not printable, so escaped
// byte by byte: control characters (U+0000 to U+001F, U+007F, and the C1
// controls U+0080 to U+009F; tab, line feed and carriage return among
// them), U+FFFE and U+FFFF, which XML cannot carry; the line and paragraph
// separators U+2028 and U+2029 and the bidirectional controls (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), which would break a
// line or reorder the text around them; and bytes that are not valid UTF-8
// (overlong forms, surrogates, code points above U+10FFFF, stray or
// missing continuation bytes). Different strings show differently as long
// as neither is cut. For XML character data, & < > " ' are written as
// entity references.
#ifndef QUORIX_CLI_SHOWN_TEXT_H_
#define QUORIX_CLI_SHOWN_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quorix::cli {

enum class Markup { none, xml };

inline constexpr std::size_t kNoLimit = std::string_view::npos;
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026 in UTF-8

// Appends `bytes` as shown above and returns how many characters that shows
// (a \xNN counting 4, a \\ 2, an entity reference 1). A text that shows
// wider than `max_width` characters is cut to leave room for kEllipsis,
// which ends it and counts 1; with `max_width` 0 nothing is appended.
// Refuses nothing. Cost: linear in `bytes`.
std::size_t append_shown(std::string& out, std::string_view bytes, Markup markup,
                         std::size_t max_width = kNoLimit);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_SHOWN_TEXT_H_
