// Reads any text with the reader and with a naive reader made of the
// format's rules (formatted stream input for the header, getline and find
// for the records, std::stoull for the numbers, a search for rings) and
// requires the same refusal, or the same timeline as written back; on that
// timeline every retained id traces to an end.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/timeline.h>
#include "fuzz/fuzz_check.h"

namespace {

// Whether following parents from `id` through every record comes back to it.
bool on_ring(const std::multimap<std::string, std::string>& links, const std::string& id) {
  std::vector<std::string> pending{id};
  std::map<std::string, bool> seen;
  while (!pending.empty()) {
    const std::string at = pending.back();
    pending.pop_back();
    for (auto [it, end] = links.equal_range(at); it != end; ++it) {
      if (it->second.empty()) continue;  // a root, not the empty id
      if (it->second == id) return true;
      if (!seen[it->second]) {
        seen[it->second] = true;
        pending.push_back(it->second);
      }
    }
  }
  return false;
}

// The snapshot text of what `text` describes, or "<type>: <message>".
std::string naive_read(std::string_view text) {
  std::istringstream in{std::string(text)};
  in.imbue(std::locale::classic());
  std::string magic;
  std::int32_t version = 0;
  std::uint64_t capacity = 0;
  std::uint64_t next = 0;
  std::uint64_t count = 0;
  in >> magic >> version >> capacity >> next >> count;
  if (in.fail() || magic != "quorix-timeline" || version != 1) {
    return "invalid_argument: invalid timeline snapshot";
  }
  if (capacity == 0) return "invalid_argument: timeline capacity must be positive";
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  std::string out = "quorix-timeline 1 " + std::to_string(capacity) + " " + std::to_string(next) +
                    " " + std::to_string(count) + "\n";
  std::multimap<std::string, std::string> links;
  std::string line;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (!std::getline(in, line)) return "invalid_argument: truncated timeline snapshot";
    std::string fields[9];
    std::size_t at = 0;
    for (int f = 0; f < 8; ++f) {
      const std::size_t tab = line.find('\t', at);
      if (tab == std::string::npos) return "invalid_argument: invalid timeline record";
      fields[f] = line.substr(at, tab - at);
      at = tab + 1;
    }
    fields[8] = line.substr(at);
    for (int f = 5; f < 8; ++f) {
      try {
        fields[f] = std::to_string(std::stoull(fields[f], nullptr, 10));
      } catch (const std::invalid_argument&) {
        return "invalid_argument: invalid stoull argument";
      } catch (const std::out_of_range&) {
        return "out_of_range: stoull argument out of range";
      }
    }
    for (int f = 0; f < 9; ++f) out += fields[f] + (f < 8 ? "\t" : "\n");
    links.emplace(fields[0], fields[1]);
  }
  for (const auto& link : links) {
    if (on_ring(links, link.first)) return "invalid_argument: causal provenance cycle";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;  // longer texts find nothing new, only take longer
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string read;
  try {
    const quorix::Timeline timeline = quorix::read_timeline_snapshot(text);
    read = quorix::write_timeline_snapshot(timeline);
    for (const quorix::EventView event : timeline.retained_events()) {
      const quorix::CausalTrace trace = timeline.build_causal_trace(event.id);
      FUZZ_CHECK(event.id.empty() || trace.events.back().id == event.id);
    }
  } catch (const std::out_of_range& e) {
    read = std::string("out_of_range: ") + e.what();
  } catch (const std::invalid_argument& e) {
    read = std::string("invalid_argument: ") + e.what();
  }
  FUZZ_CHECK(read == naive_read(text));
  return 0;
}
