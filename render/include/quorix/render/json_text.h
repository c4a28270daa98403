// The two kinds of value a causal trace document is made of: quoted byte
// strings and plain decimal numbers.
//
//   std::string text = quorix::json_quote("a\"b");  // "a\"b" with the quote escaped
//
// Exactly two byte values are escaped, the quote (0x22) and the backslash
// (0x5C), each by a backslash in front of it. Every other byte, zero bytes,
// control bytes and bytes from 0x80 up included, is copied unchanged: the
// literal is lossless for any bytes, and conforms to the JSON string grammar
// whenever the input is printable ASCII or UTF-8 without bytes below 0x20.
// Numbers are ASCII decimal digits with no sign, grouping, padding or leading
// zeros. Neither depends on a locale or on any state a caller has set up.
#ifndef QUORIX_RENDER_JSON_TEXT_H_
#define QUORIX_RENDER_JSON_TEXT_H_

#include <string>
#include <string_view>

namespace quorix {

// The quoted literal of `bytes`: n + k + 2 bytes for n input bytes of which k
// are quotes or backslashes. Refuses nothing. Cost: one pass, one buffer.
std::string json_quote(std::string_view bytes);

}  // namespace quorix

#endif  // QUORIX_RENDER_JSON_TEXT_H_
