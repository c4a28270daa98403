// Internal to the exporters, not installed: the pieces both formats are
// written with (JSON strings, decimals, hex, hashes of ids) and the index of
// a set's events that both build.
#ifndef QUORIX_EXPORT_EXPORT_TEXT_H_
#define QUORIX_EXPORT_EXPORT_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/timeline/timeline_event.h>
#include <quorix/timeline/timeline_set.h>

namespace quorix::export_detail {

// The length of the valid UTF-8 sequence that starts `bytes` (1 to 4), or 0
// when its first byte starts none; `bytes` must not be empty.
std::size_t utf8_sequence_size(std::string_view bytes) noexcept;

// Whether all of `bytes` is valid UTF-8.
bool valid_utf8(std::string_view bytes) noexcept;

// Appends json_string(bytes) to `out`.
void append_json_string(std::string& out, std::string_view bytes);

// Appends the decimal digits of `value`.
void append_decimal(std::string& out, std::uint64_t value);

// Appends `ns` nanoseconds as microseconds with exactly three decimals.
void append_micros(std::string& out, std::uint64_t ns);

// Appends the 16 lowercase hex digits of `value`.
void append_hex(std::string& out, std::uint64_t value);

// Appends the standard, padded base64 form of `bytes`.
void append_base64(std::string& out, std::string_view bytes);

// FNV-1a 64 of `bytes` from an offset basis changed by `seed`, then
// splitmix64's finalizer; a zero result becomes 1.
std::uint64_t id_hash(std::string_view bytes, std::uint64_t seed) noexcept;

// The seeds of span ids and of the two halves of trace ids.
inline constexpr std::uint64_t kSpanSeed = 0;
inline constexpr std::uint64_t kTraceHighSeed = 0x9e3779b97f4a7c15u;
inline constexpr std::uint64_t kTraceLowSeed = 0xd1b54a32d192ed03u;

// Refuses `names` unless it names each timeline of `set`.
void check_names(const TimelineSet& set, std::span<const std::string> names);

// The retained events of a set as rows: timeline by timeline, each in
// window order, with the hash of each id and a hash table from ids to rows.
// About 20 words per event.
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
  // id_hash(operator[](row).id, kSpanSeed).
  std::uint64_t id_hash(std::size_t row) const noexcept { return hashes_[row]; }

  // The oldest row whose id is `id`, whose id_hash is `hash`, or kNone when
  // no timeline of the set holds `id`.
  std::size_t find(std::string_view id, std::uint64_t hash) const noexcept;

 private:
  std::vector<EventView> events_;
  std::vector<std::size_t> timelines_;
  std::vector<std::size_t> firsts_;
  std::vector<std::uint64_t> hashes_;
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
  std::string& text() noexcept { return text_; }
  // Hands the text on when it has reached the piece size.
  void maybe_flush() {
    if (text_.size() >= piece_) flush();
  }
  // Hands on what is held, if anything.
  void flush() {
    if (text_.empty()) return;
    sink_(text_);
    text_.clear();
  }

 private:
  const std::function<void(std::string_view)>& sink_;
  std::size_t piece_;
  std::string text_;
};

}  // namespace quorix::export_detail

#endif  // QUORIX_EXPORT_EXPORT_TEXT_H_
