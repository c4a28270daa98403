// A child process appends to a record file and acknowledges each append once
// it returns; the test kills it with SIGKILL at random moments and at
// wrap-arounds. The file must then hold every acknowledged event of the
// window, exactly and in order, nothing past the one append in flight and
// nothing lost to damage; the timeline read from it must trace as one that
// never died; and the file must go on from its newest event, in this process
// and in the next appender.
#include <quorix/record/record_file.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <quorix/snapshot/snapshot.h>
#include "test_files.h"
#include "test_memory.h"

namespace quorix {
namespace {

constexpr std::size_t kChunk = 4096;
constexpr RecordFileOptions kOptions{.sync = false, .chunk_size = kChunk};

// Event `n` of the run `seed`, as appended with sequence n. Every fourth is a
// root, which the three before it may name before it arrives; the others name
// an earlier event or none. Links lead only to earlier events or to roots, so
// none closes a cycle. One in nineteen is large: a chunk holds one or two.
TimelineEvent Generated(std::uint64_t seed, std::uint64_t n) {
  std::uint64_t h = ((seed << 32) ^ n) * 0x9E3779B97F4A7C15u;
  h ^= h >> 29;
  TimelineEvent e;
  e.id = "e" + std::to_string(n);
  if (n % 4 != 0 && h % 3 == 0) e.parent = "e" + std::to_string(n + 4 - n % 4);
  if (n % 4 != 0 && h % 3 == 1 && n > 1) {
    e.parent = "e" + std::to_string(n - 1 - (h >> 8) % std::min<std::uint64_t>(n - 1, 40));
  }
  e.kind = "kind";
  e.entity_id = "entity-" + std::to_string(h % 7);
  e.clock_domain = "clock";
  e.message.assign(h % 19 == 0 ? 1200 + h % 1700 : h % 160, static_cast<char>('a' + h % 26));
  e.sequence = n;
  e.wall_time_ns = h;
  e.model_time = h >> (h % 64);
  return e;
}

struct Scenario {
  std::uint64_t capacity;
  int kills;
  std::uint64_t batch;  // about the most events appended between two kills
};

// Where to kill the appender: once it has acknowledged `target` (or at
// once, when that is before its first) and `pause` has passed. It stops,
// waiting to be killed, once it has appended `limit`.
struct Kill {
  std::uint64_t target;
  std::uint64_t limit;
  std::chrono::microseconds pause;
};

// The child: appends the events after the file's newest, writing each
// sequence number to `ack` once its append returned.
[[noreturn]] void Appender(const std::string& path, std::uint64_t capacity, std::uint64_t limit,
                           int ack) {
  try {
    RecordFile file(path, capacity, kOptions);
    for (std::uint64_t n = file.timeline().next_sequence(); n <= limit; ++n) {
      file.append(Generated(capacity, n));
      if (::write(ack, &n, sizeof n) != sizeof n) ::_exit(4);
    }
    for (;;) ::pause();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "appender: %s\n", e.what());
    ::_exit(3);
  }
}

// Runs an appender that continues the file from `start` and kills it as
// `kill` says. Returns the newest sequence number it acknowledged, or
// start - 1.
std::uint64_t RunAndKill(const std::string& path, std::uint64_t capacity, std::uint64_t start,
                         const Kill& kill) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    Appender(path, capacity, kill.limit, fds[1]);
  }
  ::close(fds[1]);
  std::uint64_t acked = start - 1;
  bool killed = false;
  std::uint64_t acks[512];
  for (;;) {
    if (!killed && acked >= kill.target) {
      std::this_thread::sleep_for(kill.pause);
      ::kill(pid, SIGKILL);
      killed = true;
    }
    const ssize_t n = ::read(fds[0], acks, sizeof acks);
    if (n <= 0) break;  // the appender is dead
    for (const std::uint64_t a : std::span(acks, static_cast<std::size_t>(n) / sizeof acks[0])) {
      EXPECT_EQ(a, acked + 1) << "acknowledgements out of order";
      acked = a;
    }
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the appender ended by itself, status " << status;
  return acked;
}

// Checks the file after a kill against `reference`, a timeline of the same
// capacity fed the same events that never died, and appends one event to it
// as the writer that continues it. `stopped`: the appender was killed
// waiting, with no append in flight. Returns the newest sequence number.
std::uint64_t CheckAndContinue(const std::string& path, std::uint64_t acked, bool stopped,
                               Timeline& reference) {
  const std::uint64_t capacity = reference.capacity();
  const std::string bytes = testing::FileBytes(path);
  std::uint64_t newest = 0;
  if (!bytes.empty() || acked != 0) {  // else killed before it wrote a header
    const RecoveredTimeline read = read_record_file(bytes);
    const Timeline& t = read.timeline;
    newest = t.next_sequence() - 1;
    EXPECT_EQ(read.dropped, 0u);
    EXPECT_GE(newest, acked) << "an acknowledged event was lost";
    EXPECT_LE(newest, acked + (stopped ? 0 : 1)) << "more than the append in flight";
    while (reference.next_sequence() <= newest) {
      reference.append(Generated(capacity, reference.next_sequence()));
    }
    EXPECT_EQ(write_timeline_snapshot(t), write_timeline_snapshot(reference));
    const EventWindow& window = t.retained_events();
    std::size_t i = 0;
    for (const EventView& e : window) {
      if (i++ % (window.size() / 16 + 1) != 0 && i != window.size()) continue;
      EXPECT_EQ(t.build_causal_trace(e.id), reference.build_causal_trace(e.id)) << e.id;
    }
  }
  RecordFile file(path, capacity, kOptions);
  EXPECT_EQ(file.dropped(), 0u);
  EXPECT_EQ(file.timeline().next_sequence(), newest + 1);
  file.append(Generated(capacity, newest + 1));
  reference.append(Generated(capacity, newest + 1));
  EXPECT_TRUE(file.timeline().retained_events() == reference.retained_events());
  return newest + 1;
}

TEST(RecordCrashTest, KilledAppendersLoseNothingAcknowledged) {
  // Capacities from one record to many chunks; batches long enough to wrap
  // the file around many times.
  const Scenario scenarios[] = {{1, 120, 120}, {3, 120, 200}, {64, 100, 700}, {1000, 80, 3000}};
  std::mt19937_64 rng(20261206);
  int kills = 0;
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE("capacity " + std::to_string(s.capacity));
    const std::string path = testing::TempFile("records");
    Timeline reference(s.capacity);
    // Runs ahead of the appenders in memory that reuses chunks as the file
    // does, to find where the file wraps around.
    testing::HeapMemory wrap_memory(kChunk);
    Timeline wrapping(s.capacity, wrap_memory);
    std::uint64_t newest = 0;
    for (int k = 0; k < s.kills && !::testing::Test::HasFailure(); ++k, ++kills) {
      const std::uint64_t start = newest + 1;
      // At random, maybe before the first append (while the appender
      // recovers the file); or, every fourth time, stopped just before or
      // just after it starts a chunk given back, stale records behind it.
      Kill kill{start - 1 + rng() % s.batch, UINT64_MAX, std::chrono::microseconds(rng() % 400)};
      while (wrapping.next_sequence() < start + s.batch) {
        wrap_memory.appending = wrapping.next_sequence();
        wrapping.append(Generated(s.capacity, wrapping.next_sequence()));
      }
      const auto wrap = std::upper_bound(wrap_memory.wraps.begin(), wrap_memory.wraps.end(), start);
      if (k % 4 == 0 && wrap != wrap_memory.wraps.end()) {
        kill.limit = kill.target = *wrap - rng() % 2;
        kill.pause = {};
      }
      const std::uint64_t acked = RunAndKill(path, s.capacity, start, kill);
      newest = CheckAndContinue(path, acked, kill.limit == acked, reference);
    }
    std::remove(path.c_str());
  }
  std::printf("killed %d appenders\n", kills);
}

}  // namespace
}  // namespace quorix
