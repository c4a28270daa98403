// A timeline whose retained records live in a file mapped into memory: a
// flight recorder that keeps the newest events of a process through its
// death.
//
//   quorix::RecordFile recorder("service.records", 65536);  // creates or continues
//   recorder.append(std::move(event));  // in the file once this returns
//   quorix::CausalTrace trace = recorder.timeline().build_causal_trace("infer");
//
// After the process dies at any instant (kill -9, abort, a segfault), the
// file holds every event whose append returned, up to the newest `capacity`
// of them, exactly, and nothing half-written: a record is written, then
// published by its sequence number in the file's header, and a reader takes
// only published records whose check holds. Evicted ids are not kept in the
// file: a timeline recovered from it knows only the records it holds, as
// one read from a snapshot does.
//
// The file: a header of 4,096 bytes, then chunks of `chunk_size` bytes, each
// a run of records as a timeline encodes them self-contained (see
// <quorix/timeline/internal/record_ring.h>). The header begins with the
// text "quorix-records 1" and a line feed; little-endian u64s follow: the
// capacity at byte 24, the chunk size at 32, a u32 check of bytes 0 to 39
// at 40, and at 48 the sequence number of the newest published record in
// the low 56 bits, with a check byte above them: the CRC-8 (polynomial
// x^8 + x^2 + x + 1, lowest bit first, initial 0) of those seven bytes,
// lowest first, XOR 0xA5. A header whose u32 check fails is refused; a
// number whose check fails is taken as not known, and recovery goes by the
// records alone (see Timeline::recover).
//
// One writer at a time: a RecordFile holds an exclusive lock (flock) on its
// file for its life. Readers take no lock and may read at any time, even
// while a writer appends: read_record_file sees the records that were
// published and intact when it read them. If the writer went on meanwhile,
// that may include newer ones than the header it read named, and miss the
// oldest, evicted and their chunk reused before the reader got to it (it
// counts them as dropped). A file that no writer holds reads exactly.
#ifndef QUORIX_RECORD_RECORD_FILE_H_
#define QUORIX_RECORD_RECORD_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <quorix/timeline/timeline.h>

namespace quorix {

struct RecordFileOptions {
  // Writes each append's chunk and the header through to the device before
  // append returns (two msyncs), so that a power loss keeps them too. Costs
  // two device writes per append; off, a record survives the process's
  // death but reaches the device when the kernel writes it back.
  bool sync = false;
  // The size of a chunk when the file is created: a power of two from
  // 4,096 to 2^30. No record may be larger. A file being continued keeps
  // its own.
  std::size_t chunk_size = std::size_t{1} << 20;
};

class RecordFile {
 public:
  // Opens the record file at `path`, creating it if it does not exist or is
  // empty, and continues it: its records are recovered (see
  // Timeline::recover_in_place) and appends follow the newest taken.
  // Refuses, changing nothing a reader of the file sees (see
  // Timeline::recover_in_place for the bytes that only a writer uses):
  //   std::invalid_argument("timeline capacity must be positive")  capacity
  //       0, before the file is opened or created;
  //   std::invalid_argument("invalid record file")  the file does not begin
  //       with a record file's header, or its header fails its check;
  //   std::invalid_argument("record file version not supported")  a record
  //       file of another version;
  //   std::invalid_argument("record file capacity differs")  one made with
  //       another capacity;
  //   std::invalid_argument("invalid record file chunk size")  options
  //       naming a chunk size that is not a power of two from 4,096 to 2^30;
  //   std::runtime_error("record file locked by another writer");
  //   std::system_error  the system refused to open, lock, read, grow or map
  //       it (what() begins "record file: ");
  // and what recovery refuses: records whose parents form a cycle ("causal
  // provenance cycle"). With sync, the file's directory is synced too, so
  // that the file itself survives a power loss.
  // Cost: reads every chunk once.
  RecordFile(const std::string& path, std::uint64_t capacity, RecordFileOptions options = {});

  // Unmaps and unlocks the file; the records stay in it.
  ~RecordFile();
  RecordFile(RecordFile&&) noexcept;
  RecordFile& operator=(RecordFile&&) noexcept;
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Timeline::append, with the record in the file, published, once it
  // returns. Refuses what Timeline::append refuses and, changing nothing,
  // an event once the next sequence number is 2^56, which the header cannot
  // hold ("timeline sequence out of range"),
  // std::length_error("timeline event too large for record file") for a
  // record larger than a chunk, and std::system_error when the file cannot
  // grow. With sync, a failed msync is reported after the append, as
  // std::system_error: the event is then in the timeline and in the file's
  // pages, published, but not known to be on the device.
  // Cost: the timeline's append plus a check over the record's bytes, and a
  // chunk's growth of the file now and then.
  void append(TimelineEvent event);

  // The timeline, for traces, snapshots and counts. Valid while this lives.
  const Timeline& timeline() const noexcept;

  // How many numbers of the window the file lacked when it was opened (see
  // Timeline::recover).
  std::uint64_t dropped() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether `bytes` begin as a record file does ("quorix-records "), of any
// version.
bool is_record_file(std::string_view bytes) noexcept;

// The timeline that the bytes of a record file hold, copied to the heap, as
// a reader sees it: the bytes need stay valid only during the call. Refuses
// what RecordFile refuses of a file's contents ("invalid record file",
// "record file version not supported") and what recovery refuses: a header
// capacity of 0 ("timeline capacity must be positive"), a cycle of parents
// ("causal provenance cycle").
// Cost: linear in the bytes.
RecoveredTimeline read_record_file(std::string_view bytes);

}  // namespace quorix

#endif  // QUORIX_RECORD_RECORD_FILE_H_
