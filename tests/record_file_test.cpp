// The record file's refusals, and what damage to a file costs its readers.
#include <quorix/record/record_file.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <quorix/timeline/internal/record_ring.h>
#include "test_files.h"

namespace quorix {
namespace {

constexpr std::uint64_t kCapacity = 8;
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kHeader = 4096;
constexpr std::size_t kRecord = 1024;  // four to a chunk
const std::string kInvalid = "invalid_argument: invalid record file";

// Root event `n`, "e013" for 13, whose self-contained record takes `bytes`.
TimelineEvent Sized(std::uint64_t n, std::size_t bytes = kRecord) {
  TimelineEvent e;
  char id[16];
  std::snprintf(id, sizeof id, "e%03llu", static_cast<unsigned long long>(n));
  e.id = id;
  e.sequence = n;
  e.wall_time_ns = 1000 + n;
  const std::size_t bare = internal::record_size(e, n, false);
  e.message.assign(bytes - bare - 1, 'm');  // its length takes a second byte
  return e;
}

// What `f` returns, or the type and message of what it throws.
template <typename F>
std::string Outcome(F f) {
  try {
    return f();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::length_error& e) {
    return std::string("length_error: ") + e.what();
  } catch (const std::runtime_error& e) {
    return std::string("runtime_error: ") + e.what();
  }
}

// What a recovered timeline holds: "first-last, N dropped", if each of its
// records is Sized(n) exactly.
std::string Holds(const Timeline& t, std::uint64_t dropped) {
  const EventWindow& window = t.retained_events();
  std::uint64_t n = window.empty() ? 0 : window.front().sequence;
  for (const EventView& e : window) {
    if (e != EventView(Sized(n++))) return "record " + std::to_string(n - 1) + " differs";
  }
  const std::string run =
      window.empty() ? "none"
                     : std::to_string(window.front().sequence) + "-" + std::to_string(n - 1);
  return run + ", " + std::to_string(dropped) + " dropped";
}

// A record file of the test's own, and the verbs of the tests.
class RecordFileTest : public ::testing::Test {
 public:
  RecordFile Open(std::uint64_t capacity = kCapacity, std::size_t chunk = kChunk,
                  bool sync = false) {
    return {path_, capacity, {.sync = sync, .chunk_size = chunk}};
  }
  // Appends Sized(first) to Sized(last), creating the file if need be.
  void Append(std::uint64_t first, std::uint64_t last, bool sync = false) {
    RecordFile file = Open(kCapacity, kChunk, sync);
    for (std::uint64_t n = first; n <= last; ++n) file.append(Sized(n));
  }
  void TearDown() override { std::remove(path_.c_str()); }
  std::string Bytes() const { return testing::FileBytes(path_); }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  void Truncate(std::size_t size) { Write(Bytes().substr(0, size)); }
  void FlipByte(std::size_t at) {
    std::string bytes = Bytes();
    bytes.at(at) ^= 0x04;
    Write(bytes);
  }
  // Sets the header's published word: the number and its check byte.
  void SetPublished(std::uint64_t n, std::uint8_t check) {
    const std::uint64_t word = n | std::uint64_t{check} << 56;
    Write(Bytes().replace(48, 8, reinterpret_cast<const char*>(&word), 8));
  }
  // Where the record of Sized(n) starts in the file.
  std::size_t RecordAt(std::uint64_t n) const {
    const std::size_t at = Bytes().find(Sized(n).id);
    return kHeader + (at - kHeader) / kRecord * kRecord;
  }
  // Holds() of what read_record_file makes of the file, or its refusal. The
  // writer must make the same of it, leave a file it refuses as it was, and
  // append after the newest record of one it takes.
  std::string Read() {
    const std::string before = Bytes();
    std::string read = Outcome([&] {
      const RecoveredTimeline recovered = read_record_file(before);
      return Holds(recovered.timeline, recovered.dropped);
    });
    EXPECT_EQ(Outcome([&] {
                RecordFile file = Open();
                std::string held = Holds(file.timeline(), file.dropped());
                const std::uint64_t next = file.timeline().next_sequence();
                file.append(Sized(next));
                EXPECT_EQ(read_record_file(Bytes()).timeline.retained_events().back(),
                          EventView(Sized(next)));
                return held;
              }),
              read);
    if (read.find("dropped") == std::string::npos) {
      EXPECT_EQ(Bytes(), before);
    }
    return read;
  }

 private:
  const std::string path_ = testing::TempFile("records");
};

// Each row changes a file of capacity 8 that holds Sized(1) to Sized(20),
// four to a chunk of 4,096 bytes: chunk 0 holds 13-16, chunk 1 holds 17-20,
// and chunk 2 still holds 9-12, evicted.
TEST_F(RecordFileTest, DamageCostsOnlyTheRecordsItTouches) {
  const struct {
    const char* name;
    void (*damage)(RecordFileTest&);
    std::string expected;  // Holds(), or the refusal
  } cases[] = {
      {"intact", [](auto&) {}, "13-20, 0 dropped"},
      // Not a record file, or not one of this version.
      {"text", [](auto& f) { f.Write("id\tparent\tkind\n"); }, kInvalid},
      {"version 2", [](auto& f) { f.Write("quorix-records 2\n" + std::string(kHeader, 0)); },
       "invalid_argument: record file version not supported"},
      // Guards against taking a version that begins with "1" for 1.
      {"version 10", [](auto& f) { f.Write("quorix-records 10\n" + std::string(kHeader, 0)); },
       "invalid_argument: record file version not supported"},
      // The header's check covers the capacity and the chunk size.
      {"capacity flipped", [](auto& f) { f.FlipByte(24); }, kInvalid},
      {"chunk size flipped", [](auto& f) { f.FlipByte(33); }, kInvalid},
      {"check flipped", [](auto& f) { f.FlipByte(40); }, kInvalid},
      // Truncation.
      {"cut inside the header", [](auto& f) { f.Truncate(100); }, kInvalid},
      {"header only", [](auto& f) { f.Truncate(kHeader); }, "none, 8 dropped"},
      {"newest chunk cut", [](auto& f) { f.Truncate(kHeader + kChunk + 1000); },
       "13-16, 4 dropped"},
      {"evicted chunk cut", [](auto& f) { f.Truncate(kHeader + 3 * kChunk - 1); },
       "13-20, 0 dropped"},
      // A damaged record: the run of newest records ends after it.
      {"newest record's message", [](auto& f) { f.FlipByte(f.RecordAt(20) + kRecord - 1); },
       "13-19, 1 dropped"},
      {"newest record's wall time", [](auto& f) { f.FlipByte(f.RecordAt(20) + 24); },
       "13-19, 1 dropped"},
      {"first of a chunk", [](auto& f) { f.FlipByte(f.RecordAt(17) + 32); }, "18-20, 5 dropped"},
      {"a record's check", [](auto& f) { f.FlipByte(f.RecordAt(19) + 4); }, "20-20, 7 dropped"},
      // A size that no longer fits the chunk ends what the chunk holds.
      {"a record's size", [](auto& f) { f.FlipByte(f.RecordAt(19) + 1); }, "13-18, 2 dropped"},
      // The handles are this process's, rewritten by every recovery.
      {"handles", [](auto& f) { f.FlipByte(f.RecordAt(20) + 8), f.FlipByte(f.RecordAt(20) + 16); },
       "13-20, 0 dropped"},
      // A damaged published number is not known, and one that the records
      // contradict gives way to them. Guards against a number too high or too
      // low making the writer free chunks of retained records.
      {"published flipped", [](auto& f) { f.FlipByte(48); }, "13-20, 0 dropped"},
      {"published zeroed", [](auto& f) { f.SetPublished(0, 0); }, "13-20, 0 dropped"},
      {"published 10", [](auto& f) { f.SetPublished(10, 0xcc); }, "13-20, 0 dropped"},
      {"published 2^40", [](auto& f) { f.SetPublished(std::uint64_t{1} << 40, 0xc8); },
       "13-20, 0 dropped"},
      // Record 21 lost to a power loss: counted, and its number given out again.
      {"published 21", [](auto& f) { f.SetPublished(21, 0x26); }, "14-20, 1 dropped"},
      // 21-24 in the reused chunk, 24 in flight, 22's size damaged; then 22
      // again, as large as the first. Guards against a gap in numbers ending
      // a later run, 23 and 24 coming back after the new 22, and evicted 15
      // joining the run of a window that is not yet full.
      {"in flight past a damaged size, then one appended",
       [](auto& f) {
         f.Append(21, 24), f.SetPublished(23, 0x84), f.FlipByte(f.RecordAt(22) + 1);
         f.Append(22, 22);
       },
       "16-22, 1 dropped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    Append(1, 20);
    c.damage(*this);
    EXPECT_EQ(Read(), c.expected);
  }
}

TEST_F(RecordFileTest, TheWriterRefusesWhatTheFileCannotTake) {
  const auto open = [&](std::uint64_t capacity, std::size_t chunk) {
    return Outcome([&] { return Holds(Open(capacity, chunk).timeline(), 0); });
  };
  const std::string chunk = "invalid_argument: invalid record file chunk size";
  EXPECT_EQ(open(0, kChunk), "invalid_argument: timeline capacity must be positive");
  EXPECT_EQ(open(kCapacity, 2048), chunk);
  EXPECT_FALSE(std::filesystem::exists(testing::TempFile("records")));
  Append(1, 3);
  const std::string before = Bytes();
  EXPECT_EQ(open(kCapacity + 1, kChunk), "invalid_argument: record file capacity differs");
  EXPECT_EQ(open(kCapacity, 6144), chunk);
  EXPECT_EQ(open(kCapacity, std::size_t{1} << 31), chunk);
  RecordFile writer = Open();
  EXPECT_EQ(open(kCapacity, kChunk), "runtime_error: record file locked by another writer");
  // A record larger than a chunk changes nothing; one as large as a chunk fits.
  EXPECT_EQ(Outcome([&] {
              writer.append(Sized(4, kChunk + 1));
              return std::string();
            }),
            "length_error: timeline event too large for record file");
  EXPECT_FALSE(writer.timeline().knows(Sized(4).id));
  EXPECT_EQ(Bytes(), before);
  writer.append(Sized(4, kChunk));
  EXPECT_EQ(read_record_file(Bytes()).timeline.retained_events().back(),
            EventView(Sized(4, kChunk)));
}

// Record 21 was written at the start of a chunk and not published when its
// writer died, another chunk free; the next writer puts its 21 in that one.
// Guards against a later recovery finding two records of 21, the run ending
// there, even once a size is written over the cleared one (damage, or a
// file an earlier writer left).
TEST_F(RecordFileTest, AnUnpublishedRecordIsNotTakenForALaterOneOfItsNumber) {
  Append(1, 21);
  SetPublished(20, 0x77);
  Write(Bytes() + std::string(kChunk, '\0'));  // a chunk the dead writer grew the file by
  Append(21, 23);
  const std::uint32_t size = kRecord;
  Write(Bytes().replace(RecordAt(21), 4, reinterpret_cast<const char*>(&size), 4));
  EXPECT_EQ(Read(), "16-23, 0 dropped");
}

// Syncing (the new file's directory too) changes no byte of the file.
TEST_F(RecordFileTest, SyncedAppendsWriteTheSameFile) {
  Append(1, 10);
  const std::string unsynced = Bytes();
  TearDown();
  Append(1, 10, true);
  EXPECT_EQ(Bytes(), unsynced);
}

// 2^56 - 1, the last number the header holds, published in a file with no
// records: nothing can follow it, and the refusal changes nothing.
TEST_F(RecordFileTest, NothingFollowsTheLastNumberTheHeaderHolds) {
  Open();
  SetPublished((std::uint64_t{1} << 56) - 1, 0x95);
  const std::string before = Bytes();
  RecordFile file = Open();
  EXPECT_EQ(Outcome([&] {
              file.append(Sized(1));
              return std::string();
            }),
            "invalid_argument: timeline sequence out of range");
  EXPECT_EQ(Bytes(), before);
}

}  // namespace
}  // namespace quorix
