// A JSON string literal of any bytes, for formats that other programs read.
//
//   quorix::json_string("a\"b\n\xff");  // "a\"b\n\ufffd" (with the quotes)
//
// The literal is always valid JSON (RFC 8259) and valid UTF-8, whatever the
// bytes:
//   - a quote and a backslash get a backslash before them;
//   - the control bytes 0x00-0x1F become \b \f \n \r \t, the rest \u00XX
//     with lowercase hex digits (a zero byte is \u0000);
//   - a valid UTF-8 sequence is copied as it is, and so is 0x7F;
//   - every byte that is not part of a valid UTF-8 sequence becomes \ufffd,
//     one per byte: a stray continuation byte, a lead byte whose sequence
//     is cut short or broken, and each byte of an overlong form, of an
//     encoded surrogate (U+D800-U+DFFF) or of a sequence above U+10FFFF.
// So text that is valid UTF-8 reads back unchanged, and other bytes lose only
// what UTF-8 cannot say. The result depends on nothing but the bytes.
#ifndef QUORIX_EXPORT_JSON_STRING_H_
#define QUORIX_EXPORT_JSON_STRING_H_

#include <string>
#include <string_view>

namespace quorix {

// The quoted literal of `bytes`, by the rule above. Never refuses.
// Cost: one pass over the bytes.
std::string json_string(std::string_view bytes);

}  // namespace quorix

#endif  // QUORIX_EXPORT_JSON_STRING_H_
