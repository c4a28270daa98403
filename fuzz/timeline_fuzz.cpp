// Drives a Timeline with appends, restores, cycle checks and traces decoded
// from the input and checks every answer against a deliberately naive model:
// a vector for the retained events, two maps, and walks that scan. Ids come
// from a small alphabet and capacities are small, so duplicates, cycles,
// parents named before they arrive and evictions are all frequent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "fuzz/fuzz_check.h"

namespace {

using namespace std::string_literals;
using quorix::CausalTrace;
using quorix::TimelineEvent;
using quorix::TraceStatus;

// Index 0 is the empty id: refused as an id, a root as a parent.
const std::string kIds[] = {""s,   "a"s,   "b"s,    "c"s,     "d"s,    "e"s,
                            "f"s,  "g"s,   "h"s,    "a\0"s,   "\0"s,   "ab"s,
                            "ba"s, "abc"s, "ev-1"s, "ev-10"s, "\xff"s, "x y"s};
constexpr std::size_t kIdCount = sizeof kIds / sizeof kIds[0];

constexpr char kUnique[] = "timeline event id must be unique";
constexpr char kCycle[] = "causal provenance cycle";

// The store as its rules read, with nothing made fast.
struct Model {
  explicit Model(std::uint64_t cap) : capacity(cap) {}

  std::uint64_t capacity;
  std::uint64_t next_sequence = 1;
  std::vector<TimelineEvent> retained;
  std::map<std::string, std::string> provenance;
  std::map<std::string, std::uint64_t> evicted;

  // The refusal's message, or "" when the event is accepted.
  std::string append(TimelineEvent e) {
    if (e.id.empty() || provenance.contains(e.id)) return kUnique;
    if (e.parent == e.id) return kCycle;
    std::string current = e.parent;
    std::size_t steps = 0;
    while (!current.empty()) {
      if (current == e.id) return kCycle;
      const auto it = provenance.find(current);
      if (it == provenance.end()) break;
      if (++steps > provenance.size()) return kCycle;
      current = it->second;
    }
    e.sequence = next_sequence++;
    provenance[e.id] = e.parent;
    retained.push_back(e);
    while (retained.size() > capacity) {
      evicted[retained.front().id] = retained.front().sequence;
      retained.erase(retained.begin());
    }
    return "";
  }

  void restore(const TimelineEvent& e) {
    retained.push_back(e);
    provenance[e.id] = e.parent;
  }

  // Whether the links of every record, and of every id no longer retained,
  // form a cycle: peel off ids whose links all end, and see what is left.
  bool has_cycle() const {
    std::multimap<std::string, std::string> links;
    for (const TimelineEvent& e : retained) links.emplace(e.id, e.parent);
    for (const auto& [id, parent] : provenance) {
      if (!links.contains(id)) links.emplace(id, parent);
    }
    std::map<std::string, bool> alive;
    for (const auto& link : links) alive[link.first] = true;
    for (bool peeled = true; peeled;) {
      peeled = false;
      for (auto& [id, is_alive] : alive) {
        const auto [begin, end] = links.equal_range(id);
        const bool ends = std::all_of(begin, end, [&](const auto& link) {
          const auto target = alive.find(link.second);
          return link.second.empty() || target == alive.end() || !target->second;
        });
        if (is_alive && ends) is_alive = false, peeled = true;
      }
    }
    return std::any_of(alive.begin(), alive.end(), [](const auto& a) { return a.second; });
  }

  // The trace, or a trace with schema "cycle" where the walk is refused.
  CausalTrace trace(const std::string& id) const {
    CausalTrace t{"quorix-causal-trace/1", id, TraceStatus::not_found, {}};
    std::string current = id;
    while (!current.empty()) {
      const auto found = std::find_if(retained.begin(), retained.end(),
                                      [&](const TimelineEvent& e) { return e.id == current; });
      if (found == retained.end()) {
        t.status = !t.events.empty() || evicted.contains(current) ? TraceStatus::retention_gap
                                                                  : TraceStatus::not_found;
        std::reverse(t.events.begin(), t.events.end());
        return t;
      }
      if (t.events.size() == retained.size()) return {"cycle", id, TraceStatus::not_found, {}};
      t.events.push_back(*found);
      current = found->parent;
    }
    t.status = TraceStatus::complete;
    std::reverse(t.events.begin(), t.events.end());
    return t;
  }
};

CausalTrace store_trace(const quorix::Timeline& timeline, const std::string& id) {
  try {
    return timeline.build_causal_trace(id);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(e.what() == std::string(kCycle));
    return {"cycle", id, TraceStatus::not_found, {}};
  }
}

void check_same_state(const quorix::Timeline& store, const Model& model) {
  FUZZ_CHECK(store.next_sequence() == model.next_sequence);
  FUZZ_CHECK(std::equal(store.retained_events().begin(), store.retained_events().end(),
                        model.retained.begin(), model.retained.end()));
  FUZZ_CHECK(store.provenance_size() == model.provenance.size());
  FUZZ_CHECK(store.evicted_size() == model.evicted.size());
  for (const std::string& id : kIds) {
    const auto parent = store.provenance_parent(id);
    const auto it = model.provenance.find(id);
    FUZZ_CHECK(parent.has_value() == (it != model.provenance.end()));
    FUZZ_CHECK(!parent || *parent == it->second);
    const auto evicted = model.evicted.find(id);
    const auto sequence = store.evicted_sequence(id);
    FUZZ_CHECK(sequence.has_value() == (evicted != model.evicted.end()));
    FUZZ_CHECK(!sequence || *sequence == evicted->second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::uint64_t capacity = 1 + data[0] % 6;
  quorix::Timeline store(capacity);
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
    switch (op % 8) {
      case 0: {  // a trace of `other`
        const CausalTrace expected = model.trace(other);
        FUZZ_CHECK(store_trace(store, other) == expected);
        break;
      }
      case 1: {  // restore: only restored records can give an id two records or make rings
        store.restore_event(event);
        model.restore(event);
        break;
      }
      case 2: {  // copy, then verify the copy
        store = quorix::Timeline(store);
        std::string refusal;
        try {
          store.verify_acyclic();
        } catch (const std::invalid_argument& e) {
          refusal = e.what();
        }
        FUZZ_CHECK(refusal == (model.has_cycle() ? kCycle : ""));
        break;
      }
      default: {  // append
        const std::string before = quorix::write_timeline_snapshot(store);
        std::string refusal;
        try {
          store.append(event);
        } catch (const std::invalid_argument& e) {
          refusal = e.what();
        }
        FUZZ_CHECK(refusal == model.append(event));
        if (!refusal.empty()) FUZZ_CHECK(quorix::write_timeline_snapshot(store) == before);
        break;
      }
    }
    check_same_state(store, model);
  }
  for (const std::string& id : kIds) FUZZ_CHECK(store_trace(store, id) == model.trace(id));
  return 0;
}
