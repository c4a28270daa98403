// Record memory on the heap that behaves as a record file's, for the tests
// and the store fuzzer.
#ifndef QUORIX_TESTS_TEST_MEMORY_H_
#define QUORIX_TESTS_TEST_MEMORY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include <quorix/timeline/record_memory.h>

namespace quorix::testing {

// Chunks of at least `chunk` bytes. A chunk given back is handed out again,
// whatever it holds, to the next record that fits it (the latest given back
// first); `wraps` notes the value of `appending` at each such reuse.
class HeapMemory final : public RecordMemory {
 public:
  explicit HeapMemory(std::size_t chunk) : chunk_(chunk) {}
  // The bytes of all of `other`'s chunks, none given back, the first
  // `rotate` moved to the end, and its published number: what a process
  // that maps the file finds.
  HeapMemory(const HeapMemory& other, std::size_t rotate)
      : published(other.published), chunk_(other.chunk_) {
    for (std::size_t i = 0; i < other.chunks_.size(); ++i) {
      chunks_.push_back(other.chunks_[(i + rotate) % other.chunks_.size()]);
    }
    free_.reserve(chunks_.size());
  }
  std::span<std::byte> acquire(std::size_t size) override {
    for (auto it = free_.rbegin(); it != free_.rend(); ++it) {
      if (it->size() < size) continue;
      const std::span<std::byte> chunk = *it;
      wraps.push_back(appending);
      free_.erase(std::next(it).base());
      return chunk;
    }
    chunks_.emplace_back(std::max(size, chunk_));
    free_.reserve(chunks_.size());  // so that release never allocates
    return chunks_.back();
  }
  void release(std::span<std::byte> chunk) noexcept override { free_.push_back(chunk); }
  void publish(std::uint64_t sequence) noexcept override { published = sequence; }
  std::vector<std::span<std::byte>> Chunks() { return {chunks_.begin(), chunks_.end()}; }

  std::uint64_t published = 0;
  std::uint64_t appending = 0;
  std::vector<std::uint64_t> wraps;

 private:
  std::size_t chunk_;
  std::vector<std::vector<std::byte>> chunks_;
  std::vector<std::span<std::byte>> free_;
};

}  // namespace quorix::testing

#endif  // QUORIX_TESTS_TEST_MEMORY_H_
