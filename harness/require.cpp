#include "harness/require.h"

#include <stdexcept>

namespace quorix::m09 {

void require(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

}  // namespace quorix::m09
