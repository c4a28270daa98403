// Drives a Timeline with appends, restores, copies, moves, cycle checks,
// traces and effects decoded from the input and checks every answer against a
// deliberately naive model: a vector for the retained events, two maps, and
// searches over every link. Ids come from a small alphabet and capacities
// are small, so duplicates, cycles, parents named before they arrive and
// evictions are all frequent.
//
// When the first byte's top bit is set, the timeline keeps its records in
// small chunks of the target's own, reused once given back with what they
// held, as a record file's are: the self-contained records are checked
// against the model too, and now and then the chunks' bytes are recovered,
// as after a crash, into a timeline that must hold the model's window.
//
// Three seeds in corpus/timeline restore an id twice, append until the older
// record is evicted, then offer the event that closes a ring through the
// newer record's parent: on the heap, in chunks, and with ids of 127 and 128
// bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "fuzz/fuzz_check.h"
#include "tests/test_memory.h"

namespace {

using namespace std::string_literals;
using quorix::CausalEffects;
using quorix::CausalTrace;
using quorix::TimelineEvent;
using quorix::TraceStatus;
using quorix::testing::HeapMemory;

// Index 0 is the empty id: refused as an id, a root as a parent. The last
// four sit on either side of where a length's varint grows a byte.
// clang-format off
const std::string kIds[] = {""s,   "a"s,   "b"s,    "c"s,     "d"s,    "e"s,
                            "f"s,  "g"s,   "h"s,    "a\0"s,   "\0"s,   "ab"s,
                            "ba"s, "abc"s, "ev-1"s, "ev-10"s, "\xff"s, "x y"s,
                            std::string(127, 'l'), std::string(128, 'l'),
                            std::string(16383, 'L'), std::string(16384, 'L')};
// clang-format on
constexpr std::size_t kIdCount = sizeof kIds / sizeof kIds[0];

constexpr char kUnique[] = "timeline event id must be unique";
constexpr char kCycle[] = "causal provenance cycle";

// The store as its rules read, with nothing made fast.
struct Model {
  explicit Model(std::uint64_t cap) : capacity(cap) {}

  std::uint64_t capacity;
  std::uint64_t next_sequence = 1;
  std::vector<TimelineEvent> retained;
  std::map<std::string, std::string> recorded;  // every known id: its last parent
  std::map<std::string, std::uint64_t> evicted;
  bool unverified = false;

  // Every link: each retained record's parent, and the recorded parent of
  // each known id no longer retained.
  std::multimap<std::string, std::string> links() const {
    std::multimap<std::string, std::string> all;
    for (const TimelineEvent& e : retained) all.emplace(e.id, e.parent);
    for (const auto& [id, parent] : recorded) {
      if (!all.contains(id)) all.emplace(id, parent);
    }
    return all;
  }

  // Whether following links from `from` can reach `to`.
  bool reaches(const std::string& from, const std::string& to) const {
    const auto all = links();
    std::vector<std::string> pending{from};
    std::set<std::string> seen;
    while (!pending.empty()) {
      const std::string id = pending.back();
      pending.pop_back();
      if (id.empty()) continue;  // a root: an empty parent never names the empty id
      if (id == to) return true;
      if (!seen.insert(id).second) continue;
      for (auto [it, end] = all.equal_range(id); it != end; ++it) pending.push_back(it->second);
    }
    return false;
  }

  bool has_cycle() const {
    for (const auto& [id, parent] : links()) {
      if (!parent.empty() && reaches(parent, id)) return true;
    }
    return false;
  }

  // The refusal's message, or "" when the event is accepted.
  std::string append(TimelineEvent e) {
    if (unverified && has_cycle()) return kCycle;
    unverified = false;
    if (e.id.empty() || recorded.contains(e.id)) return kUnique;
    if (e.parent == e.id || reaches(e.parent, e.id)) return kCycle;
    e.sequence = next_sequence++;
    recorded[e.id] = e.parent;
    retained.push_back(e);
    while (retained.size() > capacity) {
      evicted[retained.front().id] = retained.front().sequence;
      retained.erase(retained.begin());
    }
    return "";
  }

  // Whether the store may restore: not after an eviction.
  bool restore(const TimelineEvent& e) {
    if (!evicted.empty()) return false;
    retained.push_back(e);
    recorded[e.id] = e.parent;
    unverified = true;
    return true;
  }

  // The trace, or a trace with schema "cycle" where the walk is refused.
  CausalTrace trace(const std::string& id) const {
    CausalTrace t{"quorix-causal-trace/1", id, TraceStatus::complete, {}};
    for (std::string current = id; !current.empty();) {
      const auto found = std::find_if(retained.begin(), retained.end(),
                                      [&](const TimelineEvent& e) { return e.id == current; });
      if (found == retained.end()) {
        t.status = !t.events.empty() || evicted.contains(current) ? TraceStatus::retention_gap
                                                                  : TraceStatus::not_found;
        break;
      }
      if (t.events.size() == retained.size()) return {"cycle", id, TraceStatus::not_found, {}};
      t.events.push_back(*found);
      current = found->parent;
    }
    std::reverse(t.events.begin(), t.events.end());
    return t;
  }

  // Where an id hangs below its parent: its oldest retained record's
  // parent, else its last record's; nullopt for an id never accepted.
  std::optional<std::string> place(const std::string& id) const {
    for (const TimelineEvent& e : retained) {
      if (e.id == id) return e.parent;
    }
    const auto known = recorded.find(id);
    if (known == recorded.end()) return std::nullopt;
    return known->second;
  }
  std::optional<std::size_t> oldest(const std::string& id) const {
    for (std::size_t i = 0; i < retained.size(); ++i) {
      if (retained[i].id == id) return i;
    }
    return std::nullopt;
  }

  // The effects, found by walking up from every retained record; schema
  // "cycle" where `id` lies on a ring of places.
  CausalEffects effects(const std::string& id) const {
    CausalEffects result{"quorix-causal-effects/1", id, TraceStatus::not_found, {}};
    if (id.empty()) return result;
    std::size_t steps = 0;  // more than there are ids: a ring above, not through `id`
    for (std::optional<std::string> up = place(id); up && !up->empty() && steps <= recorded.size();
         up = place(*up), ++steps) {
      if (*up == id) return {"cycle", id, TraceStatus::not_found, {}};
    }
    struct Found {
      std::uint64_t depth;
      std::size_t index;                 // in `retained`
      std::optional<std::size_t> cause;  // in `retained`
      bool gap;
    };
    std::vector<Found> found;
    const std::optional<std::size_t> own = oldest(id);
    if (own) found.push_back({0, *own, std::nullopt, false});
    for (std::size_t i = 0; i < retained.size(); ++i) {
      std::optional<std::size_t> cause;
      bool gap = false;
      std::uint64_t depth = 1;
      for (std::string up = retained[i].parent; !up.empty() && depth <= recorded.size() + 1;
           ++depth) {
        if (up == id) {
          found.push_back({depth, i, cause ? cause : own, gap});
          break;
        }
        const std::optional<std::size_t> record = oldest(up);
        if (!cause) cause = record;
        gap = gap || !record;
        const std::optional<std::string> next = place(up);
        if (!next) break;
        up = *next;
      }
    }
    // Of equal sequences (restored beside appended), the older in the window first.
    std::stable_sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
      return std::pair(a.depth, retained[a.index].sequence) <
             std::pair(b.depth, retained[b.index].sequence);
    });
    bool gap = !own;
    for (const Found& f : found) {
      gap = gap || f.gap;
      quorix::EffectEvent e{retained[f.index], f.depth, std::nullopt};
      for (std::size_t j = 0; f.cause && j < found.size(); ++j) {
        if (found[j].index == *f.cause) e.cause = j;
      }
      result.events.push_back(e);
    }
    if (!found.empty() || recorded.contains(id)) {
      result.status = gap ? TraceStatus::retention_gap : TraceStatus::complete;
    }
    return result;
  }
};

// The message of the std::invalid_argument that `f` throws, or "".
template <typename F>
std::string refusal_of(F f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

// The store's answer of `query` for `id`, or one with schema "cycle" where
// it refuses to walk a ring (as the model answers then).
template <typename Result>
Result store_answer(Result (quorix::Timeline::*query)(std::string_view) const,
                    const quorix::Timeline& timeline, const std::string& id) {
  try {
    return (timeline.*query)(id);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(e.what() == std::string(kCycle));
    return {"cycle", id, TraceStatus::not_found, {}};
  }
}
CausalTrace store_trace(const quorix::Timeline& timeline, const std::string& id) {
  return store_answer(&quorix::Timeline::build_causal_trace, timeline, id);
}
CausalEffects store_effects(const quorix::Timeline& timeline, const std::string& id) {
  return store_answer(&quorix::Timeline::build_causal_effects, timeline, id);
}

void check_same_state(const quorix::Timeline& store, const Model& model) {
  FUZZ_CHECK(store.next_sequence() == model.next_sequence);
  FUZZ_CHECK(std::equal(store.retained_events().begin(), store.retained_events().end(),
                        model.retained.begin(), model.retained.end()));
  FUZZ_CHECK(store.known_ids() == model.recorded.size());
  FUZZ_CHECK(store.evicted_ids() == model.evicted.size());
  for (const std::string& id : kIds) {
    FUZZ_CHECK(store.knows(id) == model.recorded.contains(id));
    const auto evicted = model.evicted.find(id);
    FUZZ_CHECK(store.evicted_sequence(id) ==
               (evicted == model.evicted.end() ? std::nullopt : std::optional(evicted->second)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::uint64_t capacity = 1 + data[0] % 6;
  std::unique_ptr<HeapMemory> memory;
  if ((data[0] & 0x80) != 0) memory = std::make_unique<HeapMemory>(64 + 64 * ((data[0] >> 5) & 3));
  quorix::Timeline store =
      memory ? quorix::Timeline(capacity, *memory) : quorix::Timeline(capacity);
  bool restored = false;  // then the chunks hold records of numbers append did not give
  Model model(capacity);
  std::uint64_t stamp = 0;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    const std::uint8_t op = data[i];
    const std::string& id = kIds[(op >> 3) % kIdCount];
    const std::string& other = kIds[data[i + 1] % kIdCount];
    TimelineEvent event;
    event.id = id;
    event.parent = other;
    event.message = std::to_string(++stamp);
    event.sequence = stamp;  // what append must overwrite and restore keep
    // Recovery, only with a memory, is rarer than the other operations.
    const bool recovers = op % 8 == 3 && memory && data[i + 1] % 4 == 0;
    switch (op % 8 == 3 && !recovers ? 4 : op % 8) {
      case 0: {  // a trace and the effects of `other`
        const CausalTrace expected = model.trace(other);
        FUZZ_CHECK(store_trace(store, other) == expected);
        FUZZ_CHECK(store_effects(store, other) == model.effects(other));
        break;
      }
      case 1: {  // restore: only restored records can give an id two records or make rings
        bool accepted = true;
        try {
          store.restore_event(event);
        } catch (const std::logic_error&) {
          accepted = false;
        }
        FUZZ_CHECK(accepted == model.restore(event));
        restored = restored || accepted;
        break;
      }
      case 2: {  // copy, move, then verify; a copy is on the heap, so with a
                 // memory the store moves out and back
        quorix::Timeline copy(store);
        check_same_state(copy, model);
        quorix::Timeline moved(std::move(store));
        store = memory ? std::move(moved) : std::move(copy);
        const std::string refusal = refusal_of([&] { store.verify_acyclic(); });
        const bool cycle = model.unverified && model.has_cycle();
        FUZZ_CHECK(refusal == (cycle ? kCycle : ""));
        if (!cycle) model.unverified = false;
        break;
      }
      case 3: {  // sometimes, with a memory: recover its chunks as after a crash
        auto next_memory = std::make_unique<HeapMemory>(*memory, data[i + 1] / 4);
        const std::vector<std::span<std::byte>> chunks = next_memory->Chunks();
        if (restored) {  // no model of what it finds: only that it ends
          const std::vector<std::span<const std::byte>> read(chunks.begin(), chunks.end());
          try {
            quorix::Timeline::recover(capacity, memory->published, read);
          } catch (const std::invalid_argument& e) {
            FUZZ_CHECK(e.what() == std::string(kCycle));
          }
          break;
        }
        quorix::RecoveredTimeline recovered =
            quorix::Timeline::recover_in_place(capacity, memory->published, chunks, *next_memory);
        FUZZ_CHECK(recovered.dropped == 0);
        store = std::move(recovered.timeline);
        memory = std::move(next_memory);
        // It knows only the window's ids, and their parents.
        model.recorded.clear();
        for (const TimelineEvent& e : model.retained) model.recorded[e.id] = e.parent;
        model.evicted.clear();
        break;
      }
      default: {  // append
        const std::string before = quorix::write_timeline_snapshot(store);
        const std::string refusal = refusal_of([&] { store.append(event); });
        FUZZ_CHECK(refusal == model.append(event));
        const std::string after = quorix::write_timeline_snapshot(store);
        if (!refusal.empty()) FUZZ_CHECK(after == before);
        // Whatever append built reads back: no ring of links, not even
        // through restored duplicates.
        if (refusal.empty()) {
          FUZZ_CHECK(quorix::write_timeline_snapshot(quorix::read_timeline_snapshot(after)) ==
                     after);
        }
        break;
      }
    }
    check_same_state(store, model);
  }
  for (const std::string& id : kIds) {
    FUZZ_CHECK(store_trace(store, id) == model.trace(id));
    FUZZ_CHECK(store_effects(store, id) == model.effects(id));
  }
  return 0;
}
