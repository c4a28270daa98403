#include <quorix/record/record_file.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace quorix {
namespace {

constexpr const char kInvalidFile[] = "invalid record file";
constexpr const char kOtherVersion[] = "record file version not supported";
constexpr const char kOtherCapacity[] = "record file capacity differs";
constexpr const char kBadChunkSize[] = "invalid record file chunk size";
constexpr const char kLocked[] = "record file locked by another writer";
constexpr const char kTooLarge[] = "timeline event too large for record file";
constexpr const char kSystemError[] = "record file";

// The header's layout.
constexpr std::string_view kMagic = "quorix-records ";  // then the version
constexpr std::string_view kVersion = "1\n";
constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kCapacityAt = 24;
constexpr std::size_t kChunkSizeAt = 32;
constexpr std::size_t kCheckAt = 40;
constexpr std::size_t kPublishedAt = 48;
constexpr std::size_t kSmallestChunk = 4096;
constexpr std::size_t kLargestChunk = std::size_t{1} << 30;
constexpr std::uint64_t kLastPublished = (std::uint64_t{1} << 56) - 1;

[[noreturn]] void throw_system_error(int error) {
  throw std::system_error(error, std::system_category(), kSystemError);
}

std::uint64_t load64(const std::byte* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// FNV-1a over the header's fixed part.
std::uint32_t header_check(const std::byte* header) noexcept {
  std::uint32_t h = 2166136261u;
  for (std::size_t i = 0; i < kCheckAt; ++i) {
    h = (h ^ static_cast<std::uint32_t>(header[i])) * 16777619u;
  }
  return h;
}

// CRC-8 (polynomial x^8 + x^2 + x + 1, lowest bit first) of each byte
// value: over a published word it catches every error of up to three bits
// and every run of damaged bits up to eight long.
constexpr std::array<std::uint8_t, 256> kCrc8 = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < 256; ++i) {
    auto crc = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint8_t>((crc & 1) != 0 ? (crc >> 1) ^ 0xE0 : crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}();

// The published number as the header holds it: the number in the low 56
// bits, and in the top byte the CRC-8 of its seven bytes, lowest first,
// XOR 0xA5 (so that a zeroed word fails too). One word, so that one store
// publishes it whole.
std::uint64_t published_word(std::uint64_t sequence) noexcept {
  std::uint8_t crc = 0;
  for (int shift = 0; shift < 56; shift += 8) {
    crc = kCrc8[static_cast<std::uint8_t>(crc ^ (sequence >> shift))];
  }
  return sequence | (std::uint64_t{static_cast<std::uint8_t>(crc ^ 0xA5)} << 56);
}

bool valid_chunk_size(std::uint64_t size) noexcept {
  return size >= kSmallestChunk && size <= kLargestChunk && (size & (size - 1)) == 0;
}

struct Header {
  std::uint64_t capacity;
  std::size_t chunk_size;
  std::optional<std::uint64_t> published;  // none if its check fails
};

// The header at the start of `bytes`, all of the file that was read.
Header parse_header(std::span<const std::byte> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!text.starts_with(kMagic)) throw std::invalid_argument(kInvalidFile);
  if (!text.substr(kMagic.size()).starts_with(kVersion)) throw std::invalid_argument(kOtherVersion);
  if (bytes.size() < kHeaderSize) throw std::invalid_argument(kInvalidFile);
  std::uint32_t check;
  std::memcpy(&check, bytes.data() + kCheckAt, 4);
  const std::uint64_t chunk_size = load64(bytes.data() + kChunkSizeAt);
  if (check != header_check(bytes.data()) || !valid_chunk_size(chunk_size)) {
    throw std::invalid_argument(kInvalidFile);
  }
  // A published number that fails its check (damaged, or torn by a reader
  // copying the file while a writer publishes) is not known; recovery then
  // goes by the records alone.
  const std::uint64_t word = load64(bytes.data() + kPublishedAt);
  const std::uint64_t published = word & kLastPublished;
  return {load64(bytes.data() + kCapacityAt), static_cast<std::size_t>(chunk_size),
          published_word(published) == word ? std::optional(published) : std::nullopt};
}

std::vector<std::byte> new_header(std::uint64_t capacity, std::size_t chunk_size) {
  std::vector<std::byte> header(kHeaderSize, std::byte{0});
  std::memcpy(header.data(), kMagic.data(), kMagic.size());
  std::memcpy(header.data() + kMagic.size(), kVersion.data(), kVersion.size());
  const std::uint64_t chunk = chunk_size;
  std::memcpy(header.data() + kCapacityAt, &capacity, 8);
  std::memcpy(header.data() + kChunkSizeAt, &chunk, 8);
  const std::uint32_t check = header_check(header.data());
  std::memcpy(header.data() + kCheckAt, &check, 4);
  const std::uint64_t published = published_word(0);
  std::memcpy(header.data() + kPublishedAt, &published, 8);
  return header;
}

// Writes all of `bytes` at `offset`, or throws.
void write_at(int fd, std::span<const std::byte> bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_system_error(errno);
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += n;
  }
}

// Reads up to `size` bytes at 0; fewer only at the end of the file.
std::vector<std::byte> read_start(int fd, std::size_t size) {
  std::vector<std::byte> bytes(size);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t n = ::pread(fd, bytes.data() + filled, size - filled, static_cast<off_t>(filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_system_error(errno);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  bytes.resize(filled);
  return bytes;
}

std::byte* map(int fd, std::size_t size, off_t offset) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  if (p == MAP_FAILED) throw_system_error(errno);
  return static_cast<std::byte*>(p);
}

// The chunks of an open, locked record file, mapped, and its header's
// published number. Chunks past the file's end are added by growing it.
class FileMemory final : public RecordMemory {
 public:
  FileMemory(int fd, std::size_t chunk_size, bool sync) noexcept
      : fd_(fd), chunk_size_(chunk_size), sync_(sync) {}
  FileMemory(const FileMemory&) = delete;
  FileMemory& operator=(const FileMemory&) = delete;
  ~FileMemory() override {
    for (std::byte* chunk : chunks_) ::munmap(chunk, chunk_size_);
    if (header_ != nullptr) ::munmap(header_, kHeaderSize);
    ::close(fd_);  // and with it the lock
  }

  // Maps the header and the `count` whole chunks the file holds.
  void map_file(std::size_t count) {
    header_ = map(fd_, kHeaderSize, 0);
    chunks_.reserve(count);
    free_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      chunks_.push_back(map(fd_, chunk_size_, offset_of(i)));
    }
  }
  std::vector<std::span<std::byte>> chunks() const {
    std::vector<std::span<std::byte>> all;
    all.reserve(chunks_.size());
    for (std::byte* chunk : chunks_) all.emplace_back(chunk, chunk_size_);
    return all;
  }
  // The chunk the newest record is written to, for sync.
  void set_tail(std::byte* chunk) noexcept { tail_ = chunk; }
  std::byte* chunk_holding(const void* p) const noexcept {
    for (std::byte* chunk : chunks_) {
      if (p >= chunk && p < chunk + chunk_size_) return chunk;
    }
    return nullptr;
  }

  std::span<std::byte> acquire(std::size_t size) override {
    if (size > chunk_size_) throw std::length_error(kTooLarge);
    if (free_.empty()) grow();
    tail_ = free_.back();
    free_.pop_back();
    return {tail_, chunk_size_};
  }

  void release(std::span<std::byte> chunk) noexcept override {
    free_.push_back(chunk.data());  // never allocates: room for every chunk
  }

  void publish(std::uint64_t sequence) noexcept override {
    // The record's bytes reach the file's pages before the number that
    // makes them count; with sync, the device too. A failed sync cannot
    // stop the append, which is committed by now: it is kept for
    // take_sync_error.
    if (sync_ && tail_ != nullptr && ::msync(tail_, chunk_size_, MS_SYNC) != 0) sync_error_ = errno;
    // A release store that readers mapping the file see whole; the builtin,
    // as libc++ 14 has no std::atomic_ref.
    assert(sequence <= kLastPublished);  // the timeline appends no further
    __atomic_store_n(reinterpret_cast<std::uint64_t*>(header_ + kPublishedAt),
                     published_word(sequence), __ATOMIC_RELEASE);
    if (sync_ && ::msync(header_, kHeaderSize, MS_SYNC) != 0) sync_error_ = errno;
  }
  std::uint64_t last_sequence() const noexcept override { return kLastPublished; }
  // The error of the last failed sync since the last call, or 0.
  int take_sync_error() noexcept { return std::exchange(sync_error_, 0); }

 private:
  off_t offset_of(std::size_t chunk) const noexcept {
    return static_cast<off_t>(kHeaderSize + chunk * chunk_size_);
  }
  // One more chunk at the end of the file, on the free list. A failure
  // leaves at most a longer file whose new chunk is all zeros.
  void grow() {
    chunks_.reserve(chunks_.size() + 1);
    free_.reserve(chunks_.size() + 1);
    const off_t at = offset_of(chunks_.size());
    if (::ftruncate(fd_, at + static_cast<off_t>(chunk_size_)) != 0) throw_system_error(errno);
    chunks_.push_back(map(fd_, chunk_size_, at));
    free_.push_back(chunks_.back());
  }

  int fd_;
  std::size_t chunk_size_;
  bool sync_;
  int sync_error_ = 0;
  std::byte* header_ = nullptr;
  std::byte* tail_ = nullptr;
  std::vector<std::byte*> chunks_;  // in file order
  std::vector<std::byte*> free_;    // chunks that hold no retained record
};

// Syncs the directory entry of a new file, without which a power loss can
// lose the file whatever was synced of its contents.
void sync_directory_of(const std::string& path) {
  const std::string directory = std::filesystem::path(path).parent_path().string();
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw_system_error(errno);
  const int synced = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (synced != 0) throw_system_error(error);
}

int open_locked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw_system_error(errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) throw std::runtime_error(kLocked);
    throw_system_error(error);
  }
  return fd;
}

}  // namespace

struct RecordFile::State {
  State(int fd, std::size_t chunk_size, bool sync) : memory(fd, chunk_size, sync) {}
  FileMemory memory;                           // outlives the timeline
  std::optional<RecoveredTimeline> recovered;  // set once the file is read
};

RecordFile::RecordFile(const std::string& path, std::uint64_t capacity, RecordFileOptions options) {
  // The refusals that need no file come before the file is opened.
  static_cast<void>(Timeline(capacity));  // refuses capacity 0
  if (!valid_chunk_size(options.chunk_size)) throw std::invalid_argument(kBadChunkSize);
  const int fd = open_locked(path);
  std::unique_ptr<State> state;
  Header header{};
  try {
    struct stat about {};
    if (::fstat(fd, &about) != 0) throw_system_error(errno);
    if (about.st_size == 0) {  // a new file
      try {
        write_at(fd, new_header(capacity, options.chunk_size), 0);
        if (options.sync && ::fsync(fd) != 0) throw_system_error(errno);
      } catch (...) {
        // Empty again, so that a later open creates it anew rather than
        // refusing a torn header.
        static_cast<void>(::ftruncate(fd, 0));
        throw;
      }
    }
    header = parse_header(read_start(fd, kHeaderSize));
    if (header.capacity != capacity) throw std::invalid_argument(kOtherCapacity);
    // Whether or not this open created it, the file's name is durable from
    // here, as its records are with sync.
    if (options.sync) sync_directory_of(path);
    state = std::make_unique<State>(fd, header.chunk_size, options.sync);
  } catch (...) {
    ::close(fd);
    throw;
  }
  // From here the state owns the descriptor.
  struct stat about {};
  if (::fstat(fd, &about) != 0) throw_system_error(errno);
  const auto size = static_cast<std::size_t>(about.st_size);
  state->memory.map_file((size - kHeaderSize) / header.chunk_size);
  const std::vector<std::span<std::byte>> chunks = state->memory.chunks();
  state->recovered.emplace(
      Timeline::recover_in_place(capacity, header.published, chunks, state->memory));
  // With sync, what recovery changed reaches the device before any append
  // can give out a number again.
  if (options.sync && ::fsync(fd) != 0) throw_system_error(errno);
  const EventWindow& window = state->recovered->timeline.retained_events();
  if (!window.empty()) state->memory.set_tail(state->memory.chunk_holding(window.back().id.data()));
  state_ = std::move(state);
}

RecordFile::~RecordFile() = default;
RecordFile::RecordFile(RecordFile&&) noexcept = default;
RecordFile& RecordFile::operator=(RecordFile&&) noexcept = default;

void RecordFile::append(TimelineEvent event) {
  state_->recovered->timeline.append(std::move(event));
  if (const int error = state_->memory.take_sync_error(); error != 0) throw_system_error(error);
}

const Timeline& RecordFile::timeline() const noexcept { return state_->recovered->timeline; }

std::uint64_t RecordFile::dropped() const noexcept { return state_->recovered->dropped; }

bool is_record_file(std::string_view bytes) noexcept { return bytes.starts_with(kMagic); }

RecoveredTimeline read_record_file(std::string_view bytes) {
  const std::span<const std::byte> all(reinterpret_cast<const std::byte*>(bytes.data()),
                                       bytes.size());
  const Header header = parse_header(all);
  std::vector<std::span<const std::byte>> chunks;
  for (std::size_t at = kHeaderSize; bytes.size() - at >= header.chunk_size;
       at += header.chunk_size) {
    chunks.push_back(all.subspan(at, header.chunk_size));
  }
  return Timeline::recover(header.capacity, header.published, chunks);
}

}  // namespace quorix
