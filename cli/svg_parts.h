// The parts both pictures of the quorix command are drawn from (see svg.h):
// the layout's sizes, the document's opening, event boxes, the marked box
// that stands for events left out, and labelled arrows. Internal to the
// command.
#ifndef QUORIX_CLI_SVG_PARTS_H_
#define QUORIX_CLI_SVG_PARTS_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <quorix/timeline/causal_latency.h>
#include <quorix/timeline/timeline_event.h>

namespace quorix::cli {

// The layout, in pixels. Text is 12 px monospace, about 7.2 px a character;
// arrow labels are 10 px, about 6 px a character; the header is 14 px,
// about 8.4 px a character.
inline constexpr std::size_t kHeaderHeight = 40;  // the line naming the picture
inline constexpr std::size_t kStep = 250;         // from one column to the next
inline constexpr std::size_t kBoxWidth = 170;
inline constexpr std::size_t kBoxHeight = 56;
inline constexpr std::size_t kRowHeight = 80;  // a lane of a trace, a row of a tree
inline constexpr std::size_t kMinWidth = 760;
inline constexpr std::size_t kBoxChars = 22;  // characters that fit a box
// The most either side of a picture may measure, so that every viewer and
// rasterizer shows it.
inline constexpr std::size_t kMaxPictureSize = 16384;
// The widest header line, whatever the id and the counts.
inline constexpr std::size_t kMaxHeaderWidth = 1200;
static_assert(kMaxHeaderWidth <= kMaxPictureSize);

// Elements with their numeric attributes, written into one buffer.
class SvgWriter {
 public:
  std::string& out() { return out_; }
  std::string take() { return std::move(out_); }

  // The XML declaration, the <svg> element with the arrow's marker, a white
  // background, the <title> "`what` of `root_id`: `status`" (the id in
  // full) and the header "`what` of `root_id`: `status`, N events" with
  // ", H not shown" when H > 0 (the id cut to 40 characters). The picture
  // is `height` high and `min_width` wide, or wider when the header needs
  // it; returns its width, at most max(min_width, kMaxHeaderWidth).
  // `what` and `status` are at most 16 characters of ASCII.
  std::size_t open(std::size_t min_width, std::size_t height, std::string_view what,
                   std::string_view root_id, std::string_view status, std::uint64_t events,
                   std::uint64_t hidden);
  void close() { out_.append("</svg>\n"); }

  // A <text> with its baseline starting at x, y, showing `bytes` cut to
  // `max_width` characters (see shown_text.h).
  void text(std::size_t x, std::size_t y, std::string_view attributes, std::string_view bytes,
            std::size_t max_width);
  void line(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
            std::string_view attributes);
  void rect(std::size_t x, std::size_t y, std::size_t width, std::size_t height,
            std::string_view attributes);
  // Opens a nested <svg> at x, y: its children are placed relative to it
  // and clipped to its size. The caller closes it.
  void viewport(std::size_t x, std::size_t y, std::size_t width, std::size_t height);

  // "not_found" in large red text, its baseline starting at x, y.
  void not_found(std::size_t x, std::size_t y);
  // The dashed red line at x, from below the header down to `bottom`,
  // marked "retention gap" at its top: where ids no longer retained were.
  void retention_gap_line(std::size_t x, std::size_t bottom);

  // The event's box with its top left at x, y: id, kind and `third_line`,
  // each cut to fit, and a tooltip of the full id, kind, model time, the
  // lines `more` (already shown as XML text, each starting with a line
  // feed) and the message.
  void event_box(const TimelineEvent& event, std::size_t x, std::size_t y,
                 std::string_view third_line, std::string_view more);

  // A dashed box with its top left at x, y, standing for `count` events the
  // picture leaves out: "… N events", "not shown" and `third_line`.
  void elided_box(std::size_t x, std::size_t y, std::uint64_t count, std::string_view third_line);

  // An arrow from the right edge of a box at x1, y1 to the left edge of one
  // at x2, y2 (x1 < x2): straight when level, else across, down or up
  // and across again, turning 8 px right of x1. With `step`, labelled near
  // its head with the step in a short unit and titled with it exactly.
  void cause_arrow(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                   std::optional<TimeStep> step);
  // An arrow drawn like a cause's, dashed, red and titled "retention gap":
  // it skips ids no longer retained, so it has no step (as the latency
  // table has none for such a hop).
  void gap_arrow(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2);

 private:
  // Opens element `name` with the numeric attributes `names` (each as
  // ` name="`) and `values`, in order, leaving the last quote open.
  void open_element(std::string_view name, std::initializer_list<std::string_view> names,
                    std::initializer_list<std::size_t> values);
  void arrow_path(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                  std::string_view attributes);

  std::string out_;
};

// "1 event", "N events".
std::string count_events(std::uint64_t count);

// A wall-time step in nanoseconds, exactly: "+0 ns", "-1500000 ns".
std::string exact_step(TimeStep step);

// A wall-time step in at most 9 characters for a label: its sign, then
// below 1,000 ns the nanoseconds, else in the largest of µs, ms, s, min, h
// and d that is at most the step, with one decimal (cut, not rounded)
// below 100 of the unit: "+999 ns", "+1.5 µs", "-12.0 ms", "+59.9 min",
// "+213503 d" (the largest, 2^64 - 1 ns).
std::string short_step(TimeStep step);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_SVG_PARTS_H_
