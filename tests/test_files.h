// Helpers for the tests that work on files.
#ifndef QUORIX_TESTS_TEST_FILES_H_
#define QUORIX_TESTS_TEST_FILES_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

namespace quorix::testing {

// A path in the tests' temporary directory, named for `name` and this
// process, so that test binaries running at once do not share it. The test
// removes what it puts there.
inline std::string TempFile(const std::string& name) {
  return ::testing::TempDir() + "quorix-" + std::to_string(::getpid()) + "-" + name;
}

// All the bytes of the file at `path`; none if there is no such file.
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quorix::testing

#endif  // QUORIX_TESTS_TEST_FILES_H_
