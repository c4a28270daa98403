#include "svg.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <quorix/render/trace_json.h>
#include <quorix/timeline/causal_latency.h>

#include "shown_text.h"
#include "svg_parts.h"

namespace quorix::cli {
namespace {

constexpr std::size_t kLabelWidth = 160;  // the column of lane names
constexpr std::size_t kLaneChars = 20;
// Of a longer trace only this many events at each end are drawn.
constexpr std::size_t kEdgeEvents = 30;
// The widest picture: a gap column, the events at both ends and the box
// between; the highest: a lane for each event drawn.
static_assert(kLabelWidth + (2 * kEdgeEvents + 2) * kStep <= kMaxPictureSize);
static_assert(kHeaderHeight + (2 * kEdgeEvents + 1) * kRowHeight <= kMaxPictureSize);

std::size_t lane_top(std::size_t lane) { return kHeaderHeight + lane * kRowHeight; }
std::size_t lane_middle(std::size_t lane) { return lane_top(lane) + kRowHeight / 2; }
// Where the box of a column, and of an event in a lane, has its top left.
std::size_t column_box_x(std::size_t column) {
  return kLabelWidth + column * kStep + (kStep - kBoxWidth) / 2;
}
std::size_t lane_box_y(std::size_t lane) { return lane_top(lane) + (kRowHeight - kBoxHeight) / 2; }

// A column of the picture: an event of the trace, or the box that stands
// for the events left out.
struct Slot {
  std::optional<std::size_t> event;
  std::size_t lane = 0;
};

struct TraceLayout {
  std::vector<Slot> slots;
  std::vector<std::string_view> lanes;  // clock domains, in order of first appearance
  std::size_t hidden = 0;               // events left out, in the middle
  std::size_t first_column = 0;         // 1 when a retention gap takes the first column
  std::size_t width = 0;
  std::size_t height = 0;
};

TraceLayout lay_out(const CausalTrace& trace) {
  const std::vector<TimelineEvent>& events = trace.events;
  TraceLayout layout;
  layout.hidden = events.size() > 2 * kEdgeEvents + 1 ? events.size() - 2 * kEdgeEvents : 0;
  std::map<std::string_view, std::size_t> lane_index;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (layout.hidden != 0 && i == kEdgeEvents) {
      layout.slots.push_back({std::nullopt, layout.slots.back().lane});
      i += layout.hidden - 1;
      continue;
    }
    const auto [place, added] = lane_index.try_emplace(events[i].clock_domain, layout.lanes.size());
    if (added) layout.lanes.emplace_back(events[i].clock_domain);
    layout.slots.push_back({i, place->second});
  }
  layout.first_column = trace.status == TraceStatus::retention_gap ? 1 : 0;
  layout.width =
      std::max(kMinWidth, kLabelWidth + (layout.first_column + layout.slots.size()) * kStep);
  layout.height = lane_top(std::max<std::size_t>(layout.lanes.size(), 1));
  return layout;
}

void draw_lanes(SvgWriter& svg, const std::vector<std::string_view>& lanes, std::size_t width) {
  std::string& out = svg.out();
  for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
    out.append("<g class=\"lane\">\n<title>");
    append_shown(out, lanes[lane], Markup::xml);
    out.append("</title>\n");
    svg.rect(0, lane_top(lane), width, kRowHeight,
             lane % 2 == 0 ? "fill=\"#eef1f5\"" : "fill=\"#f7f8fa\"");
    svg.viewport(0, lane_top(lane), kLabelWidth, kRowHeight);
    svg.text(8, kRowHeight / 2 + 4, "font-weight=\"bold\"", lanes[lane], kLaneChars);
    out.append("</svg>\n</g>\n");
  }
}

}  // namespace

std::string render_trace_svg(const CausalTrace& trace) {
  const std::vector<TimelineEvent>& events = trace.events;
  const TraceLayout layout = lay_out(trace);
  const std::vector<Slot>& slots = layout.slots;
  const auto box_x = [&](std::size_t slot) { return column_box_x(layout.first_column + slot); };

  SvgWriter svg;
  const std::size_t width = svg.open(layout.width, layout.height, "causal trace", trace.root_id,
                                     trace_status_name(trace.status), events.size(), layout.hidden);
  draw_lanes(svg, layout.lanes, width);
  if (trace.status == TraceStatus::not_found) svg.not_found(kLabelWidth, lane_middle(0) + 6);
  if (layout.first_column != 0) {
    const std::size_t x = kLabelWidth + kStep / 2;
    svg.retention_gap_line(x, layout.height - 4);
    if (!slots.empty()) {  // the first event's cause is no longer retained
      const std::size_t y = lane_middle(slots.front().lane);
      svg.gap_arrow(x, y, box_x(0), y);
    }
  }
  for (std::size_t i = 1; i < slots.size(); ++i) {
    const Slot& from = slots[i - 1];
    const Slot& to = slots[i];
    std::optional<TimeStep> step;
    if (from.event && to.event) {
      step = TimeStep::between(events[*from.event].wall_time_ns, events[*to.event].wall_time_ns);
    }
    svg.cause_arrow(box_x(i - 1) + kBoxWidth, lane_middle(from.lane), box_x(i),
                    lane_middle(to.lane), step);
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (const std::optional<std::size_t> e = slots[i].event) {
      svg.event_box(events[*e], box_x(i), lane_box_y(slots[i].lane),
                    "t=" + std::to_string(events[*e].model_time), "");
    } else {
      // The wall time from the first event left out to the last.
      const TimeStep span = TimeStep::between(events[kEdgeEvents].wall_time_ns,
                                              events[kEdgeEvents + layout.hidden - 1].wall_time_ns);
      svg.elided_box(box_x(i), lane_box_y(slots[i].lane), layout.hidden,
                     "wall " + short_step(span));
    }
  }
  svg.close();
  return svg.take();
}

}  // namespace quorix::cli
