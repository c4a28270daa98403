#include "export/export_text.h"

#include <quorix/export/json_string.h>

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>

namespace quorix {
namespace export_detail {
namespace {

// Bytes copied into a JSON string as they are: printable ASCII but the
// quote and the backslash, and DEL.
constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (std::size_t c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_sequence_size(std::string_view bytes) noexcept {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  // The size a lead byte announces and the range its second byte must fall
  // in, which rules out overlong forms, surrogates and values above U+10FFFF.
  std::size_t size = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < size || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < size; ++i) {
    if (!continuation(at(i))) return 0;
  }
  return size;
}

bool valid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t size = utf8_sequence_size(bytes.substr(i));
    if (size == 0) return false;
    i += size;
  }
  return true;
}

void Text::grow(std::size_t n) {
  buffer_.resize(std::max({2 * buffer_.size(), size_ + n, std::size_t{4096}}));
}

void Text::put_json_string(std::string_view bytes) noexcept {
  char* at = buffer_.data() + size_;
  *at++ = '"';
  const char* data = bytes.data();
  std::size_t run = 0;  // the start of the bytes not yet copied
  std::size_t i = 0;
  const auto copy_run = [&] {
    if (i > run) std::memcpy(at, data + run, i - run);
    at += i - run;
  };
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (kPlainBytes[c]) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t size = utf8_sequence_size(bytes.substr(i));
      if (size != 0) {
        i += size;
        continue;
      }
    }
    copy_run();
    *at++ = '\\';
    switch (c) {
      case '"':
        *at++ = '"';
        break;
      case '\\':
        *at++ = '\\';
        break;
      case '\b':
        *at++ = 'b';
        break;
      case '\f':
        *at++ = 'f';
        break;
      case '\n':
        *at++ = 'n';
        break;
      case '\r':
        *at++ = 'r';
        break;
      case '\t':
        *at++ = 't';
        break;
      default: {
        const bool control = c < 0x20;
        const char escape[] = {'u', control ? '0' : 'f', control ? '0' : 'f',
                               control ? kHexDigits[c >> 4] : 'f',
                               control ? kHexDigits[c & 0xF] : 'd'};
        std::memcpy(at, escape, sizeof escape);
        at += sizeof escape;
      }
    }
    run = ++i;
  }
  copy_run();
  *at++ = '"';
  size_ = static_cast<std::size_t>(at - buffer_.data());
}

void Text::put_micros(std::uint64_t ns) noexcept {
  put_decimal(ns / 1000);
  const auto fraction = static_cast<unsigned>(ns % 1000);
  char* at = buffer_.data() + size_;
  at[0] = '.';
  at[1] = static_cast<char>('0' + fraction / 100);
  at[2] = static_cast<char>('0' + fraction / 10 % 10);
  at[3] = static_cast<char>('0' + fraction % 10);
  size_ += 4;
}

void Text::put_hex(std::uint64_t value) noexcept {
  char* at = buffer_.data() + size_;
  for (std::size_t i = 16; i-- > 0; value >>= 4) at[i] = kHexDigits[value & 0xF];
  size_ += 16;
}

void Text::put_base64(std::string_view bytes) noexcept {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto at = [&](std::size_t i) -> std::uint32_t {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
  };
  char* out = buffer_.data() + size_;
  for (std::size_t i = 0; i < bytes.size(); i += 3, out += 4) {
    const std::uint32_t group = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    const std::size_t left = bytes.size() - i;
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 0x3F];
    out[2] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[3] = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  size_ = static_cast<std::size_t>(out - buffer_.data());
}

namespace {

// splitmix64's finalizer, with 0 made 1.
std::uint64_t finalize(std::uint64_t h) noexcept {
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9u;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebu;
  h ^= h >> 31;
  return h == 0 ? 1 : h;
}

}  // namespace

std::uint64_t id_hash(std::string_view bytes, std::uint64_t seed) noexcept {
  std::uint64_t h = 0xcbf29ce484222325u ^ seed;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  return finalize(h);
}

std::uint64_t repeat_hash(std::uint64_t hash, std::uint64_t place) noexcept {
  constexpr std::uint64_t kGoldenRatio = 0x9e3779b97f4a7c15u;  // spreads small places apart
  return finalize(hash ^ (place * kGoldenRatio));
}

void check_names(const TimelineSet& set, std::span<const std::string> names) {
  if (names.size() != set.size()) throw std::invalid_argument("export needs one name per timeline");
}

EventRows::EventRows(const TimelineSet& set) {
  std::size_t total = 0;
  for (std::size_t t = 0; t < set.size(); ++t) total += set[t].retained_events().size();
  events_.reserve(total);
  timelines_.reserve(total);
  hashes_.reserve(total);
  firsts_.reserve(set.size() + 1);
  for (std::size_t t = 0; t < set.size(); ++t) {
    firsts_.push_back(events_.size());
    for (const EventView event : set[t].retained_events()) {
      events_.push_back(event);
      timelines_.push_back(t);
      hashes_.push_back(export_detail::id_hash(event.id, kSpanSeed));
    }
  }
  firsts_.push_back(events_.size());
  // At most half full, so that a probe ends soon.
  const std::size_t slots = std::bit_ceil(2 * total + 16);
  slots_.assign(slots, 0);
  mask_ = slots - 1;
  // A later row of an id lands after the older ones on their probe path, so
  // that find meets the oldest first, and so that the probe that places it
  // meets them and tells it is a repeat.
  for (std::size_t row = 0; row < total; ++row) {
    const std::uint64_t hash = hashes_[row];
    std::size_t slot = hash & mask_;
    bool repeat = false;
    for (; slots_[slot] != 0; slot = (slot + 1) & mask_) {
      const std::uint64_t entry = slots_[slot];
      repeat = repeat ||
               ((entry & kTagBits) == (hash & kTagBits) &&
                events_[static_cast<std::size_t>(entry & ~kTagBits) - 1].id == events_[row].id);
    }
    slots_[slot] = (hash & kTagBits) | (row + 1);
    if (repeat) hashes_[row] = repeat_hash(hash, row - firsts_[timelines_[row]] + 1);
  }
  // All in one pass of lookups that do not wait for each other, since
  // most miss the cache.
  causes_.resize(total);
  for (std::size_t row = 0; row < total; ++row) {
    const std::string_view parent = events_[row].parent;
    causes_[row] = parent.empty() ? kNone : find(parent, export_detail::id_hash(parent, kSpanSeed));
  }
}

std::size_t EventRows::find(std::string_view id, std::uint64_t hash) const noexcept {
  for (std::size_t slot = hash & mask_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
    const std::uint64_t entry = slots_[slot];
    if ((entry & kTagBits) != (hash & kTagBits)) continue;
    const std::size_t row = static_cast<std::size_t>(entry & ~kTagBits) - 1;
    if (events_[row].id == id) return row;
  }
  return kNone;
}

}  // namespace export_detail

std::string json_string(std::string_view bytes) {
  export_detail::Text text;
  text.reserve(export_detail::json_room(bytes));
  text.put_json_string(bytes);
  return std::string(text.view());
}

}  // namespace quorix
