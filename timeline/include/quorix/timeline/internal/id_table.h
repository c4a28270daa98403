// Internal to the timeline: not part of the library's interface, and may
// change in any release. Included by <quorix/timeline/timeline.h> only
// because a Timeline holds one by value.
//
// IdTable stores every id a timeline has seen once, as bytes in an arena of
// blocks, and finds it again through an open-addressing hash table. An id is
// known by its handle: where its entry starts in the arena. Beside the bytes,
// each entry holds four 64-bit words for the timeline's own use (`link` with
// eight flag bits on top, `where`, `child` and `sibling`), so that looking an
// id up also brings what the timeline knows of it.
#ifndef QUORIX_TIMELINE_INTERNAL_ID_TABLE_H_
#define QUORIX_TIMELINE_INTERNAL_ID_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <quorix/timeline/internal/record_ring.h>

namespace quorix::internal {

// A 64-bit hash of `bytes` under `seed`: every product has a factor that
// depends on the seed, so without it no choice of bytes can aim at a value.
std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept;

// Asks for the cache line at `p` ahead of its use; nothing where the
// compiler offers no way to ask.
inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  static_cast<void>(p);
#endif
}

// The `n` bytes at `p`, 1 to 16 of them, as two words that together hold
// every byte, read with loads that may overlap rather than a copy of
// variable length, which is a call: for a given `n`, different bytes give
// different words.
struct Words {
  std::uint64_t low;
  std::uint64_t high;
};
inline Words load_words(const char* p, std::size_t n) noexcept {
  const auto load = [p]<typename U>(U, std::size_t at) {
    U v;
    std::memcpy(&v, p + at, sizeof v);
    return std::uint64_t{v};
  };
  if (n > 8) return {load(std::uint64_t{}, 0), load(std::uint64_t{}, n - 8)};
  if (n >= 4) return {load(std::uint32_t{}, 0) | (load(std::uint32_t{}, n - 4) << 32), 0};
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return {byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16), 0};
}

// a == b, without a call when they are 16 bytes or shorter.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.empty() || a.size() > 16) return a == b;
  const Words x = load_words(a.data(), a.size());
  const Words y = load_words(b.data(), b.size());
  return ((x.low ^ y.low) | (x.high ^ y.high)) == 0;
}

// Where an id's entry starts in the arena: (block << kBlockShift) | offset.
// Stable for the life of the table, copied with it; 0 stands for no id.
using IdRef = std::uint64_t;
inline constexpr IdRef kNoId = 0;

class IdTable {
 public:
  // Handles below 2^56 leave the top byte of `link` for flags.
  static constexpr int kLinkBits = 56;
  static constexpr std::uint64_t kLinkMask = (std::uint64_t{1} << kLinkBits) - 1;

  IdTable();
  // A copy is a table of its own, with the same handles; a failed
  // allocation while copying leaks nothing. Cost: linear in the table's
  // bytes. A move leaves `other` empty and usable.
  IdTable(const IdTable& other);
  IdTable& operator=(const IdTable& other) = default;
  IdTable(IdTable&& other) noexcept = default;
  IdTable& operator=(IdTable&& other) noexcept = default;
  ~IdTable() = default;

  // The hash of `id`, which find and insert take so that an id is hashed
  // once; prefetch asks for the place where the lookup of that hash starts.
  std::uint64_t hash(std::string_view id) const noexcept { return hash_bytes(id, seed_); }
  void prefetch_slot(std::uint64_t hash) const noexcept {
    if (!slots_.empty()) prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
  }
  void prefetch_entry(IdRef ref) const noexcept { prefetch(entry(ref)); }
  // Asks for the entry that the first slot tagged like `hash` leads to:
  // once prefetch_slot(hash) has brought the slots, the entry a find of
  // that hash will read.
  void prefetch_entry_for(std::uint64_t hash) const noexcept;

  // The handle of `id`, whose hash is `hash`, or kNoId. Cost: a run of
  // adjacent slots, a few cache lines at most at the highest load (80%).
  IdRef find(std::string_view id, std::uint64_t hash) const noexcept;
  IdRef find(std::string_view id) const noexcept { return find(id, hash(id)); }

  // Adds `id`, whose hash is `hash` and which must not be present, with
  // `link` pointing at itself, no flags and the other words 0. A failed allocation
  // changes nothing. Cost: amortized O(1) (the table doubles at 80% load,
  // rehashing from the arena in order).
  IdRef insert(std::string_view id, std::uint64_t hash);

  // Removes `ref`, which must be the id inserted last. Used to undo an
  // insert when a later step of the same operation fails.
  void unwind(IdRef ref) noexcept;

  // Makes room for `ids` more ids without rehashing.
  void reserve(std::uint64_t ids);

  // How many ids are stored.
  std::uint64_t size() const noexcept { return count_; }

  // Calls `f(ref, id)` for every id, block by block.
  template <typename F>
  void for_each(F f) const {
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      const char* block = blocks_[b].data();
      const std::size_t end = b == current_ ? std::size_t{used_} : blocks_[b].size();
      for (std::size_t at = b == 0 ? 1 : 0; at < end;) {
        const std::string_view name = name_at(block + at);
        f((static_cast<IdRef>(b) << kBlockShift) | at, name);
        at = static_cast<std::size_t>(name.data() + name.size() - block);
      }
    }
  }

  // The bytes of the id whose handle is `ref`.
  std::string_view name(IdRef ref) const noexcept { return name_at(entry(ref)); }

  // The words kept beside each id.
  std::uint64_t link(IdRef ref) const noexcept { return load(entry(ref)); }
  void set_link(IdRef ref, std::uint64_t value) noexcept { store(entry(ref), value); }
  std::uint64_t where(IdRef ref) const noexcept { return load(entry(ref) + 8); }
  void set_where(IdRef ref, std::uint64_t value) noexcept { store(entry(ref) + 8, value); }
  IdRef child(IdRef ref) const noexcept { return load(entry(ref) + 16); }
  void set_child(IdRef ref, IdRef value) noexcept { store(entry(ref) + 16, value); }
  IdRef sibling(IdRef ref) const noexcept { return load(entry(ref) + 24); }
  void set_sibling(IdRef ref, IdRef value) noexcept { store(entry(ref) + 24, value); }

 private:
  // Regular blocks grow from 256 bytes to 1 MiB; an id too long for one gets
  // a block of its own. Offsets within a block stay below 2^28.
  static constexpr int kBlockShift = 28;
  static constexpr std::size_t kFirstBlock = 256;
  static constexpr std::size_t kLastBlock = std::size_t{1} << 20;

  static std::uint64_t load(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  static void store(char* p, std::uint64_t v) noexcept { std::memcpy(p, &v, 8); }
  // An entry: link, where, child and sibling (8 bytes each), the id's
  // length as a base-128 varint, then its bytes.
  static constexpr std::size_t kHeader = 32;
  static std::string_view name_at(const char* entry) noexcept;

  const char* entry(IdRef ref) const noexcept {
    return blocks_[static_cast<std::size_t>(ref >> kBlockShift)].data() +
           (ref & ((IdRef{1} << kBlockShift) - 1));
  }
  char* entry(IdRef ref) noexcept {
    return blocks_[static_cast<std::size_t>(ref >> kBlockShift)].data() +
           (ref & ((IdRef{1} << kBlockShift) - 1));
  }
  // Rebuilds the slots with `count` of them (a power of two).
  void rehash(std::size_t count);
  // Where a new entry of `size` bytes goes; allocates a block if needed.
  IdRef place(std::size_t size);

  // Each slot is 0 (free) or a handle with the top 8 bits of its id's hash
  // above it, so that most mismatches are seen without reading the arena.
  std::vector<std::uint64_t> slots_;
  // Allocates as std::allocator does, but leaves new bytes unwritten: each
  // entry writes all of its own, and zeroing a block up front would touch
  // all its pages in one insert (a stall of milliseconds for 1 MiB where
  // the kernel charges microseconds per page).
  template <class T>
  struct Unzeroed : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = Unzeroed<U>;
    };
    Unzeroed() = default;
    template <class U>
    Unzeroed(const Unzeroed<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  };
  using Block = std::vector<char, Unzeroed<char>>;
  std::vector<Block> blocks_;
  Resetting<std::size_t> current_;  // the regular block that new entries go to
  Resetting<std::size_t> used_;     // bytes used in it
  Resetting<std::uint64_t> count_;
  std::uint64_t seed_;  // varies by process, so that no input can choose collisions
};

}  // namespace quorix::internal

#endif  // QUORIX_TIMELINE_INTERNAL_ID_TABLE_H_
