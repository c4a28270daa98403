// Internal to the exporters, not installed: the pieces both formats are
// written with (JSON strings, decimals, hex, hashes of ids) and the index of
// a set's events that both build.
#ifndef QUORIX_EXPORT_EXPORT_TEXT_H_
#define QUORIX_EXPORT_EXPORT_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/timeline_event.h>
#include <quorix/timeline/timeline_set.h>

#include "timeline/text_form.h"

namespace quorix::export_detail {

// The length of the valid UTF-8 sequence that starts `bytes` (1 to 4), or 0
// when its first byte starts none; `bytes` must not be empty.
std::size_t utf8_sequence_size(std::string_view bytes) noexcept;

// Whether all of `bytes` is valid UTF-8.
bool valid_utf8(std::string_view bytes) noexcept;

// Text built front to back in memory reserved ahead: a writer reserves room
// for what it is about to put, then puts it without a check per piece, so
// that a field costs a copy and not a call. Putting more than was reserved
// is a bug of the writer: each put says the most it takes.
class Text {
 public:
  // Room for at least `n` more bytes. Cost: amortized O(n).
  void reserve(std::size_t n) {
    if (buffer_.size() - size_ < n) grow(n);
  }
  void put(std::string_view bytes) noexcept {
    if (!bytes.empty()) std::memcpy(buffer_.data() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  void put(char c) noexcept { buffer_[size_++] = c; }
  // At most kMaxDecimalDigits bytes.
  void put_decimal(std::uint64_t value) noexcept {
    const std::size_t digits = decimal_size(value);
    quorix::put_decimal(buffer_.data() + size_, value, digits);
    size_ += digits;
  }
  // `ns` nanoseconds as microseconds with three decimals: at most
  // kMaxDecimalDigits + 4 bytes.
  void put_micros(std::uint64_t ns) noexcept;
  // The 16 lowercase hex digits of `value`.
  void put_hex(std::uint64_t value) noexcept;
  // json_string(bytes): at most json_room(bytes).
  void put_json_string(std::string_view bytes) noexcept;
  // The standard, padded base64 form of `bytes`: less than json_room(bytes).
  void put_base64(std::string_view bytes) noexcept;

  std::string_view view() const noexcept { return {buffer_.data(), size_}; }
  std::size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }
  // Drops the text after its first `size` bytes; `size` must not exceed size().
  void truncate(std::size_t size) noexcept { size_ = size; }

 private:
  void grow(std::size_t n);
  std::string buffer_;  // its size is the room; size_ bytes are text
  std::size_t size_ = 0;
};

// The most json_string(bytes) takes: 6 bytes a byte (\u00XX, \ufffd), and
// the quotes.
constexpr std::size_t json_room(std::string_view bytes) noexcept { return 6 * bytes.size() + 2; }

// FNV-1a 64 of `bytes` from an offset basis changed by `seed`, then
// splitmix64's finalizer; a zero result becomes 1.
std::uint64_t id_hash(std::string_view bytes, std::uint64_t seed) noexcept;

// The span hash of a later record of an id whose id_hash is `hash`, at
// `place` (its row within its timeline's window, + 1): the two mixed by
// splitmix64's finalizer, never 0.
std::uint64_t repeat_hash(std::uint64_t hash, std::uint64_t place) noexcept;

// The seeds of span ids and of the two halves of trace ids.
inline constexpr std::uint64_t kSpanSeed = 0;
inline constexpr std::uint64_t kTraceHighSeed = 0x9e3779b97f4a7c15u;
inline constexpr std::uint64_t kTraceLowSeed = 0xd1b54a32d192ed03u;

// Refuses `names` unless it names each timeline of `set`.
void check_names(const TimelineSet& set, std::span<const std::string> names);

// The retained events of a set as rows: timeline by timeline, each in
// window order, with the span hash of each row and a hash table from ids to
// rows.
// About 21 words per event.
class EventRows {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit EventRows(const TimelineSet& set);

  std::size_t size() const noexcept { return events_.size(); }
  const EventView& operator[](std::size_t row) const noexcept { return events_[row]; }
  // The index of the timeline that holds `row`.
  std::size_t timeline(std::size_t row) const noexcept { return timelines_[row]; }
  // The first row of timeline `t`; first(set.size()) is size().
  std::size_t first(std::size_t t) const noexcept { return firsts_[t]; }
  // The span hash of `row`: id_hash(operator[](row).id, kSpanSeed) for the
  // oldest row of its id, repeat_hash of that and its place for a later one.
  std::uint64_t span_hash(std::size_t row) const noexcept { return hashes_[row]; }

  // The oldest row whose id is `id`, whose id_hash is `hash`, or kNone when
  // no timeline of the set holds `id`.
  std::size_t find(std::string_view id, std::uint64_t hash) const noexcept;
  // The row of the parent of `row`: find of its parent, kNone for a root.
  std::size_t cause(std::size_t row) const noexcept { return causes_[row]; }

 private:
  std::vector<EventView> events_;
  std::vector<std::size_t> timelines_;
  std::vector<std::size_t> firsts_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::size_t> causes_;
  // A slot holds the high bits of an id's hash above row + 1, 0 when empty:
  // most probes then end without reading a row. Rows stay below 2^40: at
  // 160 bytes each, more than any memory holds.
  static constexpr unsigned kRowBits = 40;
  static constexpr std::uint64_t kTagBits = ~std::uint64_t{0} << kRowBits;
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
};

// Collects text and hands it to a sink in pieces once `piece` bytes are held.
class PieceWriter {
 public:
  PieceWriter(const std::function<void(std::string_view)>& sink, std::size_t piece)
      : sink_(sink), piece_(piece) {
    text_.reserve(piece + piece / 8);
  }
  Text& text() noexcept { return text_; }
  // Hands the text on when it has reached the piece size.
  void maybe_flush() {
    if (text_.size() >= piece_) flush();
  }
  // Hands on what is held, if anything.
  void flush() {
    if (text_.size() == 0) return;
    sink_(text_.view());
    text_.clear();
  }

 private:
  const std::function<void(std::string_view)>& sink_;
  std::size_t piece_;
  Text text_;
};

}  // namespace quorix::export_detail

#endif  // QUORIX_EXPORT_EXPORT_TEXT_H_
