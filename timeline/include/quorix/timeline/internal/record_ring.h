// Internal to the timeline: not part of the library's interface, and may
// change in any release. Included by <quorix/timeline/timeline.h> only
// because a Timeline holds its window by value.
//
// A record is one retained event encoded in bytes, in one of two forms:
// self-contained, with the bytes of its id and parent, so that a chunk of
// records can be read back from a file by another process; or compact, on
// the heap, naming its id and parent by their handles in the id table,
// which holds their bytes anyway.
//
//   offset 0   u32 size | kCompact   the record's bytes; the top bit marks
//                                    the compact form
//   offset 4   u32 check             self-contained: a hash of the size and
//                                    of bytes [24, size); compact: 0
//   offset 8   u64 id, u64 parent    their handles in this process's id table
//                                    (0 for no parent); in a self-contained
//                                    record outside the check, and set anew
//                                    whenever records are recovered
//   offset 24  u64 wall_time_ns
//   offset 32  varints: sequence, model_time, then the lengths of id and
//              parent (self-contained only), kind, entity_id, clock_domain
//              and message; then those strings, in that order
//
// Integers are little-endian; a varint is base-128, low group first; nothing
// is padded or aligned. A RecordRing keeps records back to back in chunks,
// oldest first; a record never spans two chunks. A record's place is its
// chunk's serial number, modulo 2^32 (counted from the first chunk the ring
// ever had), and its offset there.
#ifndef QUORIX_TIMELINE_INTERNAL_RECORD_RING_H_
#define QUORIX_TIMELINE_INTERNAL_RECORD_RING_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <quorix/timeline/record_memory.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix::internal {

// A value that a move leaves at `kInitial`, so that a class of such members
// can default its moves and still leave its source as new.
template <typename T, T kInitial = T{}>
class Resetting {
 public:
  Resetting() = default;
  Resetting(T value) noexcept : value_(value) {}  // NOLINT(google-explicit-constructor)
  Resetting(const Resetting&) = default;
  Resetting& operator=(const Resetting&) = default;
  Resetting(Resetting&& other) noexcept : value_(std::exchange(other.value_, kInitial)) {}
  Resetting& operator=(Resetting&& other) noexcept {
    value_ = std::exchange(other.value_, kInitial);
    return *this;
  }
  ~Resetting() = default;
  operator T() const noexcept { return value_; }  // NOLINT(google-explicit-constructor)
  T& operator*() noexcept { return value_; }
  T operator->() const noexcept requires std::is_pointer_v<T> { return value_; }

 private:
  T value_ = kInitial;
};

// An optional part of a value, on the heap: copied deeply, left empty by a move.
template <typename T>
class Boxed {
 public:
  Boxed() = default;
  Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Boxed& operator=(const Boxed& other) {
    if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(Boxed&&) noexcept = default;
  ~Boxed() = default;
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* operator->() const noexcept { return p_.get(); }
  T& operator*() const noexcept { return *p_; }
  T& emplace() { return *(p_ = std::make_unique<T>()); }
  void reset() noexcept { p_.reset(); }

 private:
  std::unique_ptr<T> p_;
};

// ---- The record encoding ------------------------------------------------

class IdTable;

inline constexpr std::size_t kRecordFixed = 32;     // size, check, handles, wall time
inline constexpr std::size_t kSmallestRecord = 38;  // compact, six one-byte varints
inline constexpr std::size_t kLargestRecord = 0x7FFFFFFFu;
inline constexpr std::uint32_t kCompact = 0x80000000u;

// The bytes `event` takes as a record numbered `sequence`, self-contained or
// compact. Refuses an event too large for the 31-bit size:
// std::length_error("timeline event too large to store").
std::size_t record_size(const EventView& event, std::uint64_t sequence, bool compact);

// Writes `event`, numbered `sequence`, whose id and parent have the handles
// `id` and `parent`, as the record of `size` = record_size(event, sequence,
// compact) bytes at `out`, its size word last.
void encode_record(const EventView& event, std::uint64_t sequence, std::uint64_t id,
                   std::uint64_t parent, bool compact, std::byte* out, std::size_t size) noexcept;

inline std::uint32_t load32(const std::byte* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint64_t load64(const std::byte* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint32_t stored_size(const std::byte* record) noexcept {
  return load32(record) & ~kCompact;
}
inline std::uint64_t stored_id(const std::byte* record) noexcept { return load64(record + 8); }
inline std::uint64_t stored_parent(const std::byte* record) noexcept { return load64(record + 16); }
// Makes an intact self-contained record fail its check, its size kept, so
// that a reader of its chunk steps over it.
inline void spoil_record(std::byte* record) noexcept { record[4] ^= std::byte{1}; }
inline void set_stored_handles(std::byte* record, std::uint64_t id, std::uint64_t parent) noexcept {
  std::memcpy(record + 8, &id, 8);
  std::memcpy(record + 16, &parent, 8);
}

// The sequence number of a record this process wrote.
std::uint64_t stored_sequence(const std::byte* record) noexcept;

// The fields of a record this process wrote, whose handles are in `ids`.
// Cost: eight varints.
EventView decode_record(const std::byte* record, const IdTable& ids) noexcept;

// The fields of the self-contained record at `record` if the `available`
// bytes there start with a whole, intact one (its size, lengths and check
// agree), else nullopt. Reads nothing outside the `available` bytes. Cost:
// linear in the record.
std::optional<EventView> check_record(const std::byte* record, std::size_t available) noexcept;

// ---- The ring -----------------------------------------------------------

using RecordPos = std::uint64_t;  // (chunk serial << 32) | offset

class RecordRing {
 public:
  RecordRing() = default;
  // Chunks from `memory`, or the heap when null; `memory` must outlive the ring.
  explicit RecordRing(RecordMemory* memory) noexcept : memory_(memory) {}
  // A copy keeps its records on the heap, at the same places.
  RecordRing(const RecordRing& other);
  RecordRing& operator=(const RecordRing& other);
  RecordRing(RecordRing&& other) noexcept = default;  // leaves `other` empty, on the heap
  RecordRing& operator=(RecordRing&& other) noexcept;
  ~RecordRing();

  std::size_t size() const noexcept { return count_; }
  RecordPos front() const noexcept { return head_; }
  RecordPos back() const noexcept { return tail_; }
  RecordPos next(RecordPos pos) const noexcept {
    const Chunk& chunk = chunk_of(pos);
    const std::size_t end = offset_of(pos) + stored_size(chunk.data + offset_of(pos));
    if (end < chunk.used) return pos + (end - offset_of(pos));
    return RecordPos{static_cast<std::uint32_t>((pos >> 32) + 1)} << 32;
  }
  const std::byte* at(RecordPos pos) const noexcept { return chunk_of(pos).data + offset_of(pos); }

  // Where a record of `size` bytes goes at the back, taking a chunk if the
  // newest is full. With a RecordMemory, the size words where it begins and
  // right after it are zeroed, so that a reader of the chunk stops there
  // until it is written and after it once it is. A failure changes nothing
  // that can be seen.
  RecordPos prepare(std::size_t size);
  std::byte* at(RecordPos pos) noexcept { return chunk_of(pos).data + offset_of(pos); }
  // Makes the record of `size` bytes written at `pos` = prepare(size) the newest.
  void push(RecordPos pos, std::size_t size) noexcept;
  // Forgets the oldest record, giving back its chunk once it holds no other.
  void pop_front() noexcept;
  void publish(std::uint64_t sequence) noexcept {
    if (memory_ != nullptr) memory_->publish(sequence);
  }

  // For recovery: takes `chunk`, whose first `used` bytes hold records
  // that the window will be set to, as the newest chunk; and sets the
  // window to `count` records from `head` to `tail`.
  void adopt(std::span<std::byte> chunk, std::size_t used);
  void set_window(RecordPos head, RecordPos tail, std::size_t count) noexcept;
  // The serial number the next chunk will get.
  std::uint32_t next_serial() const noexcept {
    return static_cast<std::uint32_t>(first_serial_ + chunks_.size());
  }
  RecordMemory* memory() const noexcept { return memory_; }

 private:
  struct Chunk {
    std::byte* data;
    std::size_t size;
    std::size_t used;
  };
  static std::size_t offset_of(RecordPos pos) noexcept {
    return static_cast<std::size_t>(pos & 0xFFFFFFFFu);
  }
  const Chunk& chunk_of(RecordPos pos) const noexcept {
    return chunks_[static_cast<std::uint32_t>((pos >> 32) - first_serial_)];
  }
  std::span<std::byte> take_chunk(std::size_t size);
  void give_back(const Chunk& chunk) noexcept;
  void release_all() noexcept;

  std::vector<Chunk> chunks_;  // oldest first
  Resetting<std::uint32_t> first_serial_;
  Resetting<RecordPos> head_;
  Resetting<RecordPos> tail_;
  Resetting<std::size_t> count_;
  Resetting<RecordMemory*> memory_;
  Resetting<std::byte*> spare_;  // one heap chunk of the usual size, kept for reuse
};

}  // namespace quorix::internal

#endif  // QUORIX_TIMELINE_INTERNAL_RECORD_RING_H_
