// The one assertion of the M-09 checks.
#ifndef QUORIX_HARNESS_REQUIRE_H_
#define QUORIX_HARNESS_REQUIRE_H_

namespace quorix::m09 {

// Does nothing when `condition` holds; otherwise throws
// std::runtime_error(message). `message` is a fixed NUL-terminated text.
void require(bool condition, const char* message);

}  // namespace quorix::m09

#endif  // QUORIX_HARNESS_REQUIRE_H_
