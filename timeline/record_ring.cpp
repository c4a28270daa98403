#include <quorix/timeline/internal/record_ring.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

#include <quorix/timeline/internal/id_table.h>

namespace quorix::internal {
namespace {

constexpr const char kEventTooLarge[] = "timeline event too large to store";
// Fixed, so that a record checks the same in every process that reads it.
constexpr std::uint64_t kCheckSeed = 0x71756F7269782D31u;
// Heap chunks grow from this size to kHeapChunk; a larger record gets a
// chunk of its own size.
constexpr std::size_t kFirstHeapChunk = 256;
constexpr std::size_t kHeapChunk = std::size_t{1} << 16;

std::size_t varint_size(std::uint64_t n) noexcept {
  std::size_t size = 1;
  for (; n >= 0x80; n >>= 7) ++size;
  return size;
}

// Copies `bytes` to `out`: fields are short, so they are moved in one or
// two fixed-size words that may overlap, without a call.
void put_bytes(std::byte* out, std::string_view bytes) noexcept {
  const char* in = bytes.data();
  const std::size_t n = bytes.size();
  if (n >= 8 && n <= 16) {
    std::memcpy(out, in, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>(in[i]);
  } else {
    std::memcpy(out, in, n);
  }
}

std::byte* put_varint(std::byte* out, std::uint64_t n) noexcept {
  for (; n >= 0x80; n >>= 7) *out++ = static_cast<std::byte>((n & 0x7Fu) | 0x80u);
  *out++ = static_cast<std::byte>(n);
  return out;
}

// Reads a varint at `at`, not past `end`; nullopt if it runs past it or
// past 64 bits.
std::optional<std::uint64_t> get_varint(const std::byte*& at, const std::byte* end) noexcept {
  std::uint64_t value = 0;
  for (int shift = 0; at != end && shift < 64; shift += 7) {
    const auto byte = static_cast<std::uint64_t>(*at++);
    value |= (byte & 0x7Fu) << shift;
    if (byte < 0x80) return value;
  }
  return std::nullopt;
}

// A varint of a record this process wrote: most are one byte.
inline std::uint64_t read_varint(const std::byte*& at) noexcept {
  auto value = static_cast<std::uint64_t>(*at++);
  if (value < 0x80) return value;
  value &= 0x7Fu;
  for (int shift = 7;; shift += 7) {
    const auto byte = static_cast<std::uint64_t>(*at++);
    value |= (byte & 0x7Fu) << shift;
    if (byte < 0x80) return value;
  }
}

// Over everything but the size, the check and the handles: from the wall
// time on.
std::uint32_t check_of(const std::byte* record, std::uint32_t size) noexcept {
  constexpr std::size_t kCheckedFrom = 24;
  const std::string_view bytes(reinterpret_cast<const char*>(record) + kCheckedFrom,
                               size - kCheckedFrom);
  const std::uint64_t h = hash_bytes(bytes, kCheckSeed ^ size);
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// The strings in their stored order; a compact record leaves out the first two.
using StringField = std::string_view EventView::*;
constexpr StringField kStrings[] = {
    &EventView::id,        &EventView::parent,       &EventView::kind,
    &EventView::entity_id, &EventView::clock_domain, &EventView::message,
};
constexpr std::size_t kNamed = 2;

// The strings a record of `compact` form holds.
std::span<const StringField> strings(bool compact) noexcept {
  return std::span(kStrings).subspan(compact ? kNamed : 0);
}

// The rest of a record from its varints on: the strings, whose lengths
// follow the two numbers at `at`.
void decode_strings(const std::byte* at, bool compact, EventView& e) noexcept {
  e.sequence = read_varint(at);
  e.model_time = read_varint(at);
  std::size_t lengths[6];
  const auto fields = strings(compact);
  for (std::size_t i = 0; i < fields.size(); ++i)
    lengths[i] = static_cast<std::size_t>(read_varint(at));
  const auto* text = reinterpret_cast<const char*>(at);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    e.*fields[i] = {text, lengths[i]};
    text += lengths[i];
  }
}

}  // namespace

std::size_t record_size(const EventView& e, std::uint64_t sequence, bool compact) {
  std::size_t size = kRecordFixed + varint_size(sequence) + varint_size(e.model_time);
  for (const auto field : strings(compact)) {
    const std::size_t n = (e.*field).size();
    if (n > kLargestRecord) throw std::length_error(kEventTooLarge);
    size += varint_size(n) + n;
    if (size > kLargestRecord) throw std::length_error(kEventTooLarge);
  }
  return size;
}

void encode_record(const EventView& e, std::uint64_t sequence, std::uint64_t id,
                   std::uint64_t parent, bool compact, std::byte* out, std::size_t size) noexcept {
  const auto size32 = static_cast<std::uint32_t>(size);
  set_stored_handles(out, id, parent);
  std::memcpy(out + 24, &e.wall_time_ns, 8);
  std::byte* at = put_varint(out + kRecordFixed, sequence);
  at = put_varint(at, e.model_time);
  const auto fields = strings(compact);
  for (const auto field : fields) at = put_varint(at, (e.*field).size());
  for (const auto field : fields) {
    const std::string_view bytes = e.*field;
    put_bytes(at, bytes);
    at += bytes.size();
  }
  assert(static_cast<std::size_t>(at - out) == size);
  const std::uint32_t check = compact ? 0 : check_of(out, size32);
  std::memcpy(out + 4, &check, 4);
  // The size last: until it is stored, a reader of the chunk finds the zero
  // that the ring put there, and stops, rather than a torn record whose
  // bytes may leave an older record beyond it intact.
  if (!compact) std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::uint32_t word = size32 | (compact ? kCompact : 0);
  std::memcpy(out, &word, 4);
}

std::uint64_t stored_sequence(const std::byte* record) noexcept {
  const std::byte* at = record + kRecordFixed;
  return read_varint(at);
}

EventView decode_record(const std::byte* record, const IdTable& ids) noexcept {
  EventView e;
  e.wall_time_ns = load64(record + 24);
  const bool compact = (load32(record) & kCompact) != 0;
  decode_strings(record + kRecordFixed, compact, e);
  if (compact) {
    e.id = ids.name(stored_id(record));
    const std::uint64_t parent = stored_parent(record);
    if (parent != 0) e.parent = ids.name(parent);
  }
  return e;
}

std::optional<EventView> check_record(const std::byte* record, std::size_t available) noexcept {
  if (available < kSmallestRecord) return std::nullopt;
  const std::uint32_t word = load32(record);
  const std::uint32_t size = word & ~kCompact;
  if ((word & kCompact) != 0 || size < kSmallestRecord || size > available) return std::nullopt;
  const std::byte* at = record + kRecordFixed;
  const std::byte* const end = record + size;
  std::uint64_t total = 0;
  for (int i = 0; i < 8; ++i) {
    const std::optional<std::uint64_t> value = get_varint(at, end);
    if (!value) return std::nullopt;
    if (i >= 2) total += std::min<std::uint64_t>(*value, size);
  }
  if (total != static_cast<std::uint64_t>(end - at)) return std::nullopt;
  if (check_of(record, size) != load32(record + 4)) return std::nullopt;
  EventView e;
  e.wall_time_ns = load64(record + 24);
  decode_strings(record + kRecordFixed, false, e);
  return e;
}

// ---- RecordRing -----------------------------------------------------------

RecordRing::RecordRing(const RecordRing& other)
    : first_serial_(other.first_serial_),
      head_(other.head_),
      tail_(other.tail_),
      count_(other.count_) {
  chunks_.reserve(other.chunks_.size());
  try {
    for (const Chunk& chunk : other.chunks_) {
      auto* data = new std::byte[chunk.size];
      chunks_.push_back({data, chunk.size, chunk.used});
      if (chunk.used != 0) std::memcpy(data, chunk.data, chunk.used);
    }
  } catch (...) {
    release_all();
    throw;
  }
}

RecordRing& RecordRing::operator=(const RecordRing& other) {
  if (this != &other) *this = RecordRing(other);
  return *this;
}

RecordRing& RecordRing::operator=(RecordRing&& other) noexcept {
  if (this != &other) {
    release_all();
    chunks_ = std::move(other.chunks_);
    other.chunks_.clear();
    first_serial_ = std::move(other.first_serial_);
    head_ = std::move(other.head_);
    tail_ = std::move(other.tail_);
    count_ = std::move(other.count_);
    memory_ = std::move(other.memory_);
    spare_ = std::move(other.spare_);
  }
  return *this;
}

RecordRing::~RecordRing() { release_all(); }

void RecordRing::release_all() noexcept {
  for (const Chunk& chunk : chunks_) give_back(chunk);
  chunks_.clear();
  delete[] static_cast<std::byte*>(spare_);
  *spare_ = nullptr;
}

std::span<std::byte> RecordRing::take_chunk(std::size_t size) {
  if (memory_ != nullptr) return memory_->acquire(size);
  std::size_t chunk =
      chunks_.empty() ? kFirstHeapChunk : std::min(2 * chunks_.back().size, kHeapChunk);
  chunk = std::max(chunk, size);
  if (chunk == kHeapChunk && spare_ != nullptr) return {std::exchange(*spare_, nullptr), chunk};
  return {new std::byte[chunk], chunk};
}

void RecordRing::give_back(const Chunk& chunk) noexcept {
  if (memory_ != nullptr) {
    memory_->release({chunk.data, chunk.size});
  } else if (chunk.size == kHeapChunk && spare_ == nullptr) {
    *spare_ = chunk.data;
  } else {
    delete[] chunk.data;
  }
}

RecordPos RecordRing::prepare(std::size_t size) {
  RecordPos pos;
  if (!chunks_.empty() && chunks_.back().size - chunks_.back().used >= size) {
    pos = (RecordPos{static_cast<std::uint32_t>(next_serial() - 1)} << 32) | chunks_.back().used;
  } else {
    chunks_.reserve(chunks_.size() + 1);
    const std::span<std::byte> chunk = take_chunk(size);
    assert(chunk.size() >= size && chunk.size() <= (std::size_t{1} << 32));
    chunks_.push_back({chunk.data(), chunk.size(), 0});
    pos = RecordPos{static_cast<std::uint32_t>(next_serial() - 1)} << 32;
  }
  if (memory_ != nullptr) {
    // A reader of the chunk must find nothing where the record begins until
    // it is written, and nothing after it, whatever the bytes held before
    // (a record of the same size written over an older one would lead it
    // on to the next older one): the size words there are cleared first.
    const Chunk& chunk = chunks_.back();
    for (const std::size_t at : {offset_of(pos), offset_of(pos) + size}) {
      if (chunk.size - at >= 4) std::memset(chunk.data + at, 0, 4);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);  // cleared before the record is written
  }
  return pos;
}

void RecordRing::push(RecordPos pos, std::size_t size) noexcept {
  assert(static_cast<std::uint32_t>((pos >> 32) + 1) == next_serial());  // in the newest chunk
  chunks_.back().used = offset_of(pos) + size;
  if (count_ == 0) *head_ = pos;
  *tail_ = pos;
  ++*count_;
}

void RecordRing::pop_front() noexcept {
  assert(count_ != 0);
  const RecordPos next_pos = next(head_);
  --*count_;
  // Every chunk before the new head's holds no retained record; an emptied
  // window keeps its newest chunk, where the next record goes.
  const auto keep_from =
      static_cast<std::uint32_t>(count_ == 0 ? next_serial() - 1u : next_pos >> 32);
  std::size_t drop = 0;
  while (static_cast<std::uint32_t>(first_serial_ + drop) != keep_from) give_back(chunks_[drop++]);
  chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(drop));
  *first_serial_ += static_cast<std::uint32_t>(drop);
  *head_ = count_ == 0 ? RecordPos{0} : next_pos;
  if (count_ == 0) *tail_ = 0;
}

void RecordRing::adopt(std::span<std::byte> chunk, std::size_t used) {
  chunks_.push_back({chunk.data(), chunk.size(), used});
}

void RecordRing::set_window(RecordPos head, RecordPos tail, std::size_t count) noexcept {
  *head_ = head;
  *tail_ = tail;
  *count_ = count;
}

}  // namespace quorix::internal
