#include <quorix/timeline/internal/id_table.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <random>
#include <stdexcept>
#include <utility>

namespace quorix::internal {
namespace {

// The high and low halves of a 128-bit product, folded together.
std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ using U128 = unsigned __int128;
  const U128 product = static_cast<U128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
#else
  const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
  const std::uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
  const std::uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
  const std::uint64_t high = (hi_lo >> 32) + (cross >> 32) + hi_hi;
  const std::uint64_t low = (cross << 32) | (lo_lo & 0xFFFFFFFFu);
  return high ^ low;
#endif
}

std::uint64_t process_seed() noexcept {
  static const std::uint64_t kSeed = [] {
    std::uint64_t s =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      std::random_device device;
      s ^= (static_cast<std::uint64_t>(device()) << 32) | device();
    } catch (...) {  // no entropy source: the clock alone still varies by run
    }
    return s;
  }();
  return kSeed;
}

std::uint64_t load(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::size_t varint_size(std::size_t n) noexcept {
  std::size_t size = 1;
  for (; n >= 0x80; n >>= 7) ++size;
  return size;
}

constexpr int kTagShift = 56;

}  // namespace

IdTable::IdTable() : seed_(process_seed() | 1) {}

// Block by block into a fully built vector: a vector of vectors copied whole
// leaks the blocks built before a failing allocation under libc++ 14, whose
// vector constructors free nothing when an element's copy throws.
IdTable::IdTable(const IdTable& other)
    : slots_(other.slots_),
      current_(other.current_),
      used_(other.used_),
      count_(other.count_),
      seed_(other.seed_) {
  blocks_.reserve(other.blocks_.size());
  for (const Block& block : other.blocks_) blocks_.push_back(block);
}

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  const std::uint64_t s1 = seed;
  const std::uint64_t s2 = seed * 0x9E3779B97F4A7C15u;
  // Two products for bytes of up to 16.
  std::uint64_t h = s2 ^ n;
  for (; n > 16; p += 16, n -= 16) h = mix(load(p) ^ s1 ^ h, load(p + 8) ^ s2);
  const Words last = n == 0 ? Words{0, 0} : load_words(p, n);  // an empty view may have no data
  return mix(mix(last.low ^ s1 ^ h, last.high ^ s2 ^ bytes.size()), s1);
}

std::string_view IdTable::name_at(const char* entry) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(entry + kHeader);
  std::size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const unsigned char byte = *p++;
    length |= static_cast<std::size_t>(byte & 0x7Fu) << shift;
    if (byte < 0x80) break;
  }
  return {reinterpret_cast<const char*>(p), length};
}

IdRef IdTable::find(std::string_view id, std::uint64_t h) const noexcept {
  if (slots_.empty()) return kNoId;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = h >> kTagShift;
  for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return kNoId;
    if (slot >> kTagShift == tag) {
      const IdRef ref = slot & kLinkMask;
      if (same_bytes(name_at(entry(ref)), id)) return ref;
    }
  }
}

void IdTable::prefetch_entry_for(std::uint64_t h) const noexcept {
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = h >> kTagShift;
  for (std::size_t i = static_cast<std::size_t>(h) & mask; slots_[i] != 0; i = (i + 1) & mask) {
    if (slots_[i] >> kTagShift == tag) {
      prefetch(entry(slots_[i] & kLinkMask));
      return;
    }
  }
}

void IdTable::reserve(std::uint64_t ids) {
  std::size_t count = slots_.empty() ? 16 : slots_.size();
  while ((count_ + ids) * 5 > count * 4) count *= 2;
  if (count != slots_.size()) rehash(count);
}

void IdTable::rehash(std::size_t count) {
  std::vector<std::uint64_t> slots(count, 0);
  const std::size_t mask = count - 1;
  // Each new place is a cache miss: ask for a batch of them before filling.
  constexpr std::size_t kBatch = 16;
  std::size_t pending = 0;
  struct Moved {
    std::uint64_t hash;
    IdRef ref;
  };
  Moved moved[kBatch];
  const auto flush = [&] {
    for (std::size_t b = 0; b < pending; ++b) {
      std::size_t i = static_cast<std::size_t>(moved[b].hash) & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = (moved[b].hash >> kTagShift << kTagShift) | moved[b].ref;
    }
    pending = 0;
  };
  for_each([&](IdRef ref, std::string_view id) {
    const std::uint64_t h = hash(id);
    prefetch(&slots[static_cast<std::size_t>(h) & mask]);
    moved[pending++] = {h, ref};
    if (pending == kBatch) flush();
  });
  flush();
  slots_.swap(slots);
}

IdRef IdTable::place(std::size_t size) {
  if (blocks_.empty()) {
    blocks_.emplace_back(kFirstBlock);
    current_ = 0;
    used_ = 1;  // so that no id has the handle 0
  }
  // Handles must stay below 2^56: so many blocks hold 2^48 bytes at least.
  if (blocks_.size() >= (std::size_t{1} << (kLinkBits - kBlockShift)) - 1) {
    throw std::length_error("timeline id table full");
  }
  if (size > kLastBlock / 4) {  // a long id gets a block of its own
    blocks_.emplace_back(size);
    return static_cast<IdRef>(blocks_.size() - 1) << kBlockShift;
  }
  if (used_ + size > blocks_[current_].size()) {
    const std::size_t next = std::max(std::min(blocks_[current_].size() * 2, kLastBlock), size);
    blocks_.emplace_back(next);
    blocks_[current_].resize(used_);  // its end is where its entries end
    current_ = blocks_.size() - 1;
    used_ = 0;
  }
  const IdRef ref = (static_cast<IdRef>(current_) << kBlockShift) | used_;
  *used_ += size;
  return ref;
}

IdRef IdTable::insert(std::string_view id, std::uint64_t h) {
  assert(find(id, h) == kNoId);  // each id is stored once
  reserve(1);
  const std::size_t header = kHeader + varint_size(id.size());
  const IdRef ref = place(header + id.size());
  // Nothing below allocates.
  char* p = entry(ref);
  store(p, ref);
  std::memset(p + 8, 0, kHeader - 8);
  p += kHeader;
  for (std::size_t n = id.size();; n >>= 7) {
    *p++ = static_cast<char>(n < 0x80 ? n : (n & 0x7Fu) | 0x80u);
    if (n < 0x80) break;
  }
  if (!id.empty()) std::memcpy(p, id.data(), id.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>(h) & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = (h >> kTagShift << kTagShift) | ref;
  ++*count_;
  return ref;
}

void IdTable::unwind(IdRef ref) noexcept {
  const std::size_t mask = slots_.size() - 1;
  const auto home = [&](std::uint64_t slot) {
    return static_cast<std::size_t>(hash(name_at(entry(slot & kLinkMask)))) & mask;
  };
  std::size_t i = static_cast<std::size_t>(hash(name_at(entry(ref)))) & mask;
  while ((slots_[i] & kLinkMask) != ref) i = (i + 1) & mask;
  // Close the gap: move back every later slot of the run that may stand
  // where the removed one stood.
  for (std::size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    const std::size_t k = home(slots_[j]);
    const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = 0;
  --*count_;
  const auto block = static_cast<std::size_t>(ref >> kBlockShift);
  if (block == current_) {
    used_ = static_cast<std::size_t>(ref & ((IdRef{1} << kBlockShift) - 1));
  } else {
    assert(block + 1 == blocks_.size());  // a long id's own block, added last
    blocks_.pop_back();
  }
}

}  // namespace quorix::internal
