// The one assertion of the fuzz targets: a broken invariant aborts, so that
// libFuzzer keeps the input and the corpus replay fails.
#ifndef QUORIX_FUZZ_FUZZ_CHECK_H_
#define QUORIX_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

#endif  // QUORIX_FUZZ_FUZZ_CHECK_H_
