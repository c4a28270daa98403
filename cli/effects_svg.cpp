#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <quorix/render/trace_json.h>
#include <quorix/timeline/causal_latency.h>

#include "shown_text.h"
#include "svg.h"
#include "svg_parts.h"

namespace quorix::cli {
namespace {

// The most levels (distinct depths) and rows a tree is drawn with.
constexpr std::size_t kMaxLevels = 40;
constexpr std::size_t kMaxRows = 150;
constexpr std::size_t kLeftMargin = 20;
constexpr std::size_t kNoteHeight = 30;  // the line of per-level notes under the rows
// The widest picture: a gap column, the levels and the box for the deeper
// ones; the highest: the rows and the notes.
static_assert(2 * kLeftMargin + (kMaxLevels + 2) * kStep <= kMaxPictureSize);
static_assert(kHeaderHeight + kMaxRows * kRowHeight + kNoteHeight <= kMaxPictureSize);

// Where the boxes of a column, and of a row, have their top left.
std::size_t tree_box_x(std::size_t column) { return kLeftMargin + column * kStep; }
std::size_t row_middle(std::size_t row) {
  return kHeaderHeight + row * kRowHeight + kRowHeight / 2;
}
std::size_t row_box_y(std::size_t row) { return row_middle(row) - kBoxHeight / 2; }

// Where each event is drawn, if it is.
struct Layout {
  std::vector<std::size_t> level;                 // rank of the event's depth among the depths
  std::vector<std::optional<std::size_t>> cause;  // of a cause that is listed and not itself
  std::vector<std::optional<std::size_t>> row;    // none when left out
  std::vector<std::size_t> roots;                 // events with no cause
  std::size_t rows = 0;                           // taken by events drawn
};

// What a picture of a layout leaves out, and its size.
struct TreeSize {
  std::size_t shown_levels = 0;
  std::size_t more_levels = 0;  // past the last level drawn
  // Events left out at each level drawn, and the last: past them.
  std::vector<std::uint64_t> hidden_at;
  std::uint64_t hidden = 0;
  bool gap_roots = false;        // whether an event drawn hangs below an id not listed
  std::size_t first_column = 0;  // 1 when the retention gap takes the first column
  std::size_t rows = 0;          // at least 1
  std::size_t width = 0;
  std::size_t height = 0;
};

// Each event's level; then, depth first from the roots with each event's
// children in list order, a row for each event drawn: an event shares its
// first child's row, and one with no child drawn takes the next free row.
// So a chain is a straight line, and the arrows from an event to its
// children fan out over rows of its own. Levels from kMaxLevels on, and
// events once kMaxRows rows are taken, are left out.
Layout lay_out(const std::vector<EffectEvent>& events) {
  const std::size_t n = events.size();
  Layout layout;
  std::vector<std::uint64_t> depths;
  depths.reserve(n);
  for (const EffectEvent& e : events) depths.push_back(e.depth);
  std::sort(depths.begin(), depths.end());
  depths.erase(std::unique(depths.begin(), depths.end()), depths.end());
  std::vector<std::vector<std::size_t>> children(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t depth = events[i].depth;
    layout.level.push_back(static_cast<std::size_t>(
        std::lower_bound(depths.begin(), depths.end(), depth) - depths.begin()));
    const std::optional<std::size_t> cause = events[i].cause;
    if (cause && *cause < n && *cause != i) {
      children[*cause].push_back(i);
      layout.cause.push_back(cause);
    } else {
      layout.cause.emplace_back();
      layout.roots.push_back(i);
    }
  }
  layout.row.assign(n, std::nullopt);
  std::vector<std::size_t> stack(layout.roots.rbegin(), layout.roots.rend());
  while (!stack.empty() && layout.rows < kMaxRows) {
    const std::size_t i = stack.back();
    stack.pop_back();
    if (layout.level[i] >= kMaxLevels) continue;
    layout.row[i] = layout.rows;
    const std::vector<std::size_t>& below = children[i];
    const bool leaf = std::none_of(below.begin(), below.end(),
                                   [&](std::size_t c) { return layout.level[c] < kMaxLevels; });
    if (leaf) ++layout.rows;
    stack.insert(stack.end(), below.rbegin(), below.rend());
  }
  return layout;
}

TreeSize measure(const std::vector<EffectEvent>& events, const Layout& layout) {
  TreeSize size;
  std::size_t levels = 0;
  for (const std::size_t level : layout.level) levels = std::max(levels, level + 1);
  size.shown_levels = std::min(levels, kMaxLevels);
  size.more_levels = levels - size.shown_levels;
  size.hidden_at.assign(size.shown_levels + 1, 0);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!layout.row[i]) {
      ++size.hidden_at[std::min(layout.level[i], size.shown_levels)];
      ++size.hidden;
    } else if (!layout.cause[i] && events[i].depth != 0) {
      size.gap_roots = true;
    }
  }
  const bool level_notes = std::any_of(size.hidden_at.begin(), size.hidden_at.end() - 1,
                                       [](std::uint64_t count) { return count != 0; });
  size.first_column = size.gap_roots ? 1 : 0;
  const std::size_t columns =
      size.first_column + size.shown_levels + (size.more_levels != 0 ? 1 : 0);
  size.width = std::max(kMinWidth, 2 * kLeftMargin + columns * kStep);
  size.rows = std::max<std::size_t>(layout.rows, 1);
  size.height = kHeaderHeight + size.rows * kRowHeight + (level_notes ? kNoteHeight : 0);
  return size;
}

}  // namespace

std::string render_effects_svg(const CausalEffects& effects) {
  const std::vector<EffectEvent>& events = effects.events;
  const Layout layout = lay_out(events);
  const TreeSize size = measure(events, layout);
  const auto box_x = [&](std::size_t i) { return tree_box_x(size.first_column + layout.level[i]); };
  const std::size_t rows_bottom = kHeaderHeight + size.rows * kRowHeight;

  SvgWriter svg;
  svg.open(size.width, size.height, "causal effects", effects.root_id,
           trace_status_name(effects.status), events.size(), size.hidden);
  if (effects.status == TraceStatus::not_found) svg.not_found(kLeftMargin, row_middle(0) + 6);
  if (size.gap_roots) {
    const std::size_t x = kLeftMargin + kBoxWidth / 2;
    svg.retention_gap_line(x, rows_bottom - 4);
    for (const std::size_t i : layout.roots) {
      if (layout.row[i] && events[i].depth != 0) {
        const std::size_t y = row_middle(*layout.row[i]);
        svg.gap_arrow(x, y, box_x(i), y);
      }
    }
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::optional<std::size_t> cause = layout.cause[i];
    if (!layout.row[i] || !cause) continue;
    const EffectEvent& from = events[*cause];
    const EffectEvent& to = events[i];
    const std::size_t x1 = box_x(*cause) + kBoxWidth;
    const std::size_t y1 = row_middle(*layout.row[*cause]);
    const std::size_t y2 = row_middle(*layout.row[i]);
    if (to.depth != from.depth + 1) {  // ids between them are no longer retained
      svg.gap_arrow(x1, y1, box_x(i), y2);
    } else {
      svg.cause_arrow(x1, y1, box_x(i), y2,
                      TimeStep::between(from.event.wall_time_ns, to.event.wall_time_ns));
    }
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!layout.row[i]) continue;
    const EffectEvent& e = events[i];
    std::string more = "\nclock_domain: ";
    append_shown(more, e.event.clock_domain, Markup::xml);
    more.append("\ndepth: ").append(std::to_string(e.depth));
    svg.event_box(e.event, box_x(i), row_box_y(*layout.row[i]),
                  "d=" + std::to_string(e.depth) + " t=" + std::to_string(e.event.model_time),
                  more);
  }
  for (std::size_t level = 0; level < size.shown_levels; ++level) {
    if (size.hidden_at[level] == 0) continue;
    svg.text(
        tree_box_x(size.first_column + level), rows_bottom + 20, "fill=\"#5a6270\"",
        std::string(kEllipsis) + " " + std::to_string(size.hidden_at[level]) + " more not shown",
        kNoLimit);
  }
  if (size.more_levels != 0) {
    svg.elided_box(tree_box_x(size.first_column + size.shown_levels), row_box_y(0),
                   size.hidden_at[size.shown_levels],
                   std::to_string(size.more_levels) +
                       (size.more_levels == 1 ? " more level" : " more levels"));
  }
  svg.close();
  return svg.take();
}

}  // namespace quorix::cli
