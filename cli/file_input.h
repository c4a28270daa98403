// Reading the whole of a file, or of standard input, into memory, and
// reading standard input a line at a time.
#ifndef QUORIX_CLI_FILE_INPUT_H_
#define QUORIX_CLI_FILE_INPUT_H_

#include <cstdio>
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

// The next line of `in` into `line`, without its line feed; false at the
// end of the input. A last line without a line feed counts; bytes are taken
// as they are, a zero byte included. Returns as soon as the line feed has
// arrived, never waiting for more input, so that a writer on the other end
// of a pipe can wait for an answer to each line. Refuses a failed read:
// FileError with the system's reason. Cost: one stdio call per byte.
bool read_line(std::FILE* in, std::string& line);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_FILE_INPUT_H_
