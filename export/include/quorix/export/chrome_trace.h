// A set of timelines as a Chrome trace event JSON file, the form the Perfetto
// UI and browsers' trace viewers open: each event a slice on the thread of
// its entity, each cause an arrow from the parent's slice to the child's.
//
//   std::vector<std::string> names{"front.snap", "worker.snap"};
//   std::string json = quorix::render_chrome_trace(
//       set, names, quorix::ChromeProcesses::per_timeline);
//
// The text is {"otherData":{"wall_time_origin_ns":"<origin>"},"traceEvents":[
// then one trace event per line, then ]} and a line end. The origin, a
// decimal string, is the smallest wall time of the set rounded down to a
// whole microsecond (0 for a set of no events); every ts counts from it. The
// events come in this order:
//   1. For each process (pid 1, 2, ...), its process_name metadata event,
//      then a thread_name event per entity_id within it: tid 1, 2, ... in
//      ascending byte order of the entity, named by it.
//   2. A complete ("X") slice per retained event, in (pid, tid, time)
//      order, named by its kind (by its id when the kind is empty), in
//      category "quorix", with the nine fields of the event as args (the
//      keys of the trace document). A number up to 2^53 is a JSON number;
//      a larger one (a wall time of today is one) is a string of its
//      digits, since readers that hold numbers as doubles would round it.
//      ts is the wall time less the origin, in microseconds with three
//      decimals, so no nanosecond is lost in the text. Readers that parse
//      ts as a double and multiply by 1000 (Perfetto does) get the
//      nanosecond back exactly while it is below 2^51 ns after the origin,
//      about 26 days; a set that spans more loses nanoseconds there, and
//      its slices may overlap in such readers. A thread's events are
//      ordered by wall time, sequence, timeline and window order; each
//      slice lasts until 1 ns before the next one starts (0 when they are
//      at most 1 ns apart), the last one 1 us, so slices of one thread
//      never overlap.
//   3. For each event whose parent a timeline of the set holds, a flow
//      "s" on the parent's thread at the parent's ts and an "f" (bp "e") on
//      the child's at the child's ts, both named "cause", ids 1, 2, ...
//      Readers bind each to the slice of its thread that has its ts: when a
//      thread has two events at one wall time, which of them an arrow starts
//      or ends at is the reader's choice.
// Every string goes through json_string, so the file is valid JSON and
// UTF-8 whatever the bytes. The text depends on nothing but the set and the
// names: no locale, no floating point.
#ifndef QUORIX_EXPORT_CHROME_TRACE_H_
#define QUORIX_EXPORT_CHROME_TRACE_H_

#include <span>
#include <string>

#include <quorix/export/export_sink.h>
#include <quorix/timeline/timeline_set.h>

namespace quorix {

// What a trace viewer's processes stand for. per_clock_domain: a process per
// clock domain that an event names (pid 1, 2, ... in ascending byte order of
// the domain, named by it), right for the timeline of one process whose
// domains are its parts. per_timeline: a process per timeline of the set
// (pid = index + 1, named by its name, listed even when empty), right for
// several, whose domains and entities may share names.
enum class ChromeProcesses { per_clock_domain, per_timeline };

// Writes the trace file of `set` to `sink` in pieces of about 64 KiB, in
// order. `names[i]` names `set[i]` (a file name, say); refuses names of
// another count with std::invalid_argument("export needs one name per
// timeline") before writing anything. What the sink throws propagates.
// Cost: O(n log n) for n events, to sort them; memory: the set, an index of
// about 26 words per event, and one piece of text.
void write_chrome_trace(const TimelineSet& set, std::span<const std::string> names,
                        ChromeProcesses processes, const ExportSink& sink);

// The same text as one string. Refuses what write_chrome_trace refuses.
std::string render_chrome_trace(const TimelineSet& set, std::span<const std::string> names,
                                ChromeProcesses processes);

}  // namespace quorix

#endif  // QUORIX_EXPORT_CHROME_TRACE_H_
