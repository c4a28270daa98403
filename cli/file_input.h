// Reading the whole of a snapshot file, or of standard input, into memory.
#ifndef QUORIX_CLI_FILE_INPUT_H_
#define QUORIX_CLI_FILE_INPUT_H_

#include <stdexcept>
#include <string>

namespace quorix::cli {

// A file that could not be opened or read. what() is the system's reason,
// e.g. "No such file or directory", without the file's name.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every byte of the file at `path`, or of standard input when `path` is "-".
// When the size can be learnt up front (a regular file, also as standard
// input) the string is allocated once at that size and filled in place, so
// the file's bytes are held once; a pipe grows the string as it arrives.
// Refuses a file that cannot be opened or read: FileError with the reason
// the system gave. Allocation failure propagates as std::bad_alloc.
std::string read_file(const std::string& path);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_FILE_INPUT_H_
