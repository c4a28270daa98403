// Where a timeline keeps its retained records.
//
// A Timeline encodes each retained event as one record in chunks of bytes:
// it asks for a chunk when the newest one is full and gives a chunk back
// once every record in it has been evicted. Without a RecordMemory the
// chunks come from the heap. A RecordMemory of one's own puts them elsewhere:
// a record file (<quorix/record/record_file.h>) maps them from a file, so
// that the records outlive the process.
//
// The order of calls is what makes a crash safe: a timeline writes a record
// completely, then publishes its sequence number, and only after that
// releases a chunk whose records that record pushed out of the window.
#ifndef QUORIX_TIMELINE_RECORD_MEMORY_H_
#define QUORIX_TIMELINE_RECORD_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorix {

class RecordMemory {
 public:
  RecordMemory() = default;
  RecordMemory(const RecordMemory&) = delete;
  RecordMemory& operator=(const RecordMemory&) = delete;
  virtual ~RecordMemory() = default;

  // A chunk of at least `size` bytes, 8-byte aligned, valid until it is
  // released or the memory destroyed; its bytes may hold anything. Throws
  // (std::bad_alloc, std::length_error, std::system_error) when it cannot,
  // having changed nothing.
  virtual std::span<std::byte> acquire(std::size_t size) = 0;

  // Takes back a chunk that acquire returned (or that recovery found),
  // which holds no retained record any more.
  virtual void release(std::span<std::byte> chunk) noexcept = 0;

  // Every record up to and including the one numbered `sequence`, never
  // above last_sequence(), is complete in its chunk.
  virtual void publish(std::uint64_t sequence) noexcept = 0;

  // The largest number publish can take: a timeline refuses to append an
  // event it would number above it. By default 2^64 - 2, the last number a
  // timeline gives out in any case.
  virtual std::uint64_t last_sequence() const noexcept { return UINT64_MAX - 1; }
};

}  // namespace quorix

#endif  // QUORIX_TIMELINE_RECORD_MEMORY_H_
