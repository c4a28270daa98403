#include "file_input.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>

namespace quorix::cli {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

[[noreturn]] void throw_system_error(int error) {
  throw FileError(std::system_category().message(error));
}

// Reads up to `size` bytes to `to`; fewer only at the end of the file.
std::size_t read_bytes(std::FILE* file, char* to, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const std::size_t got = std::fread(to + filled, 1, size - filled, file);
    if (got == 0) {
      if (std::ferror(file)) throw_system_error(errno);
      break;  // end of file
    }
    filled += got;
  }
  return filled;
}

// The bytes from the current position to the end if the stream can seek (a
// regular file), else 0. Asked only after a read succeeded, since a
// directory seeks to a meaningless end.
std::size_t remaining_size(std::FILE* file) {
  const long start = std::ftell(file);
  if (start < 0 || std::fseek(file, 0, SEEK_END) != 0) return 0;
  const long end = std::ftell(file);
  if (std::fseek(file, start, SEEK_SET) != 0) throw_system_error(errno);
  return end > start ? static_cast<std::size_t>(end - start) : 0;
}

// Reads into the string's unused capacity, which does not reallocate.
void read_into_spare_capacity(std::FILE* file, std::string& text) {
  const std::size_t filled = text.size();
  text.resize(text.capacity());
  text.resize(filled + read_bytes(file, text.data() + filled, text.size() - filled));
}

std::string read_stream(std::FILE* file) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::string chunk(kChunk, '\0');
  std::size_t got = read_bytes(file, chunk.data(), kChunk);
  if (got < kChunk) {  // the whole input
    chunk.resize(got);
    return chunk;
  }
  // Sized once for the rest when its size is known, so a large file is read
  // straight into its final buffer and never copied; the empty read at its
  // end goes to `chunk`. A pipe, or a file that grew meanwhile, makes the
  // string grow geometrically.
  std::string text;
  text.reserve(kChunk + remaining_size(file));
  while (got != 0) {
    text.append(chunk, 0, got);
    read_into_spare_capacity(file, text);
    got = read_bytes(file, chunk.data(), kChunk);
  }
  return text;
}

}  // namespace

std::string read_file(const std::string& path) {
  if (path == "-") return read_stream(stdin);
  errno = 0;
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) throw_system_error(errno);
  return read_stream(file.get());
}

bool read_line(std::FILE* in, std::string& line) {
  line.clear();
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  if (std::ferror(in)) throw_system_error(errno);
  return !line.empty();
}

}  // namespace quorix::cli
