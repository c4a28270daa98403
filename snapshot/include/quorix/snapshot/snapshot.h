// The versioned text snapshot of a timeline: its writer and its reader, and
// a reader of one record line on its own.
//
//   std::string text = quorix::write_timeline_snapshot(timeline);
//   quorix::Timeline copy = quorix::read_timeline_snapshot(text);
//
// The text is one header line, "quorix-timeline 1 <capacity> <next sequence>
// <record count>", then one line per retained event, oldest first, of nine
// tab-separated fields: id, parent, kind, entity_id, clock_domain,
// wall_time_ns, model_time, sequence, message. Every line ends with a line
// feed. Strings are written byte for byte, numbers in plain decimal. The
// message runs to the end of its line and may hold tabs; no field can hold a
// line feed, and no field but the message a tab.
//
// What a snapshot does not carry: the ids evicted before it was written and
// the parents recorded for them. A timeline read back from it knows only its
// retained events.
#ifndef QUORIX_SNAPSHOT_SNAPSHOT_H_
#define QUORIX_SNAPSHOT_SNAPSHOT_H_

#include <string>
#include <string_view>

#include <quorix/timeline/shared_timeline.h>
#include <quorix/timeline/timeline.h>

namespace quorix {

// The snapshot text of `timeline`, which is left unchanged. Every text it
// returns reads back to the same capacity, next sequence number and events:
// it refuses a timeline holding a value the format cannot carry (a line feed
// in any field, a tab in any field but the message) with
// std::invalid_argument("timeline field not representable in snapshot"),
// and then returns no text at all.
// Cost: one pass over the records, into one buffer sized from the first 64
// of them (it grows only if the rest are longer).
std::string write_timeline_snapshot(const Timeline& timeline);

// The snapshot text of `shared` after some prefix of its appends, which go on
// meanwhile: its copy_window, written once the copy is done, so appends
// wait only while records are copied, never while the text is written.
// Refuses what the writer above refuses.
std::string write_timeline_snapshot(const SharedTimeline& shared);

// A new timeline holding what `text` describes: the header's capacity and
// next sequence number, and every record exactly as written (sequence
// numbers included, duplicates and over-capacity counts accepted), built
// without the checks of append; its evicted ids are none.
//
// The header is read as five white-space separated tokens (they may span
// lines; numbers as formatted stream input reads them, in the classic
// locale), then the rest of its line is skipped. Then exactly the counted
// number of lines is read; anything after them is ignored. The numeric
// fields are read as std::stoull reads base-10 text: leading white space, an
// optional sign (a minus wraps modulo 2^64), digits, and anything after them
// ignored.
//
// Refuses, at the first defect and leaving nothing behind:
//   std::invalid_argument("invalid timeline snapshot")  a header token is
//       missing or malformed, a number does not fit, the magic word is not
//       "quorix-timeline" or the version is not 1;
//   std::invalid_argument("timeline capacity must be positive");
//   std::invalid_argument("truncated timeline snapshot")  the text ends
//       before the counted records;
//   std::invalid_argument("invalid timeline record")  a line with fewer than
//       eight tabs;
//   std::invalid_argument("invalid stoull argument")  a numeric field (6, 7,
//       then 8) without a digit;
//   std::out_of_range("stoull argument out of range")  one above 2^64 - 1;
//   std::invalid_argument("causal provenance cycle")  once all records are
//       read, their parent links (every record's, duplicates included) form
//       a cycle, on which a trace would never end.
// Allocation failure propagates as std::bad_alloc.
//
// `text` is read in place and need only stay valid during the call.
// Cost: linear in the text: one count of its line feeds to size the store
// (for no more records than the header claims), then one pass over it, and
// the cycle check once at the end; nothing is sized by a number read from
// the text alone.
Timeline read_timeline_snapshot(std::string_view text);

// The event that one record line of a snapshot describes, for appending,
// `line` being the line without its line feed: its nine fields read exactly
// as read_timeline_snapshot reads a record, but for the sequence field,
// which may hold any bytes but a tab and is ignored (the event's sequence
// is 0; an append numbers it). Checks nothing of ids and parents: that is
// for the timeline that takes the event.
// Refuses as the reader refuses a record: std::invalid_argument("invalid
// timeline record") for a line with fewer than eight tabs, and also for one
// that holds a line feed, which no record can; std::invalid_argument("invalid
// stoull argument") and std::out_of_range("stoull argument out of range")
// for a numeric field. Allocation failure propagates as std::bad_alloc.
// Cost: one pass over the line, and one copy of its strings.
TimelineEvent read_timeline_record(std::string_view line);

}  // namespace quorix

#endif  // QUORIX_SNAPSHOT_SNAPSHOT_H_
