// How the quorix command shows byte strings in its pictures and tables, so
// that every byte is visible and none can break the output's structure.
//
//   std::string out;
//   quorix::cli::append_shown(out, "a\tb", quorix::cli::Markup::none);  // a\x09b
//
// Valid UTF-8 characters show as themselves, a backslash as \\, and every
// other byte as the text \xNN (two upper-case hex digits): control bytes
// (tab, line feed and carriage return included, and the C1 controls),
// bytes that do not form valid UTF-8, surrogates, and U+FFFE and U+FFFF,
// which XML cannot carry at all. Different strings always show differently.
// For XML character data, & < > " ' are written as entity references.
#ifndef QUORIX_CLI_SHOWN_TEXT_H_
#define QUORIX_CLI_SHOWN_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quorix::cli {

enum class Markup { none, xml };

inline constexpr std::size_t kNoLimit = std::string_view::npos;

// Appends `bytes` as shown above. A text that shows wider than `max_width`
// characters (a \xNN counting 4, a \\ 2) is cut to leave room for an
// ellipsis, U+2026, which ends it. Refuses nothing. Cost: linear in `bytes`.
void append_shown(std::string& out, std::string_view bytes, Markup markup,
                  std::size_t max_width = kNoLimit);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_SHOWN_TEXT_H_
