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

std::size_t box_x(std::size_t column) {
  return kLabelWidth + column * kStep + (kStep - kBoxWidth) / 2;
}
std::size_t lane_top(std::size_t lane) { return kHeaderHeight + lane * kRowHeight; }
std::size_t lane_middle(std::size_t lane) { return lane_top(lane) + kRowHeight / 2; }
std::size_t box_y(std::size_t lane) { return lane_top(lane) + (kRowHeight - kBoxHeight) / 2; }

// A column of the picture: an event of the trace, or the box that stands
// for the events left out.
struct Slot {
  std::optional<std::size_t> event;
  std::size_t lane = 0;
};

}  // namespace

std::string render_trace_svg(const CausalTrace& trace) {
  const std::vector<TimelineEvent>& events = trace.events;
  const std::size_t hidden =
      events.size() > 2 * kEdgeEvents + 1 ? events.size() - 2 * kEdgeEvents : 0;
  // The columns, and the lanes of the events drawn in order of first
  // appearance.
  std::vector<Slot> slots;
  std::vector<std::string_view> lanes;
  std::map<std::string_view, std::size_t> lane_index;
  const auto add_event = [&](std::size_t i) {
    const auto [place, added] = lane_index.try_emplace(events[i].clock_domain, lanes.size());
    if (added) lanes.emplace_back(events[i].clock_domain);
    slots.push_back({i, place->second});
  };
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (hidden != 0 && i == kEdgeEvents) {
      slots.push_back({std::nullopt, slots.back().lane});
      i += hidden - 1;
    } else {
      add_event(i);
    }
  }
  const bool gap = trace.status == TraceStatus::retention_gap;
  const std::size_t first_column = gap ? 1 : 0;  // the gap takes a column of its own
  const std::size_t width =
      std::max(kMinWidth, kLabelWidth + (first_column + slots.size()) * kStep);
  const std::size_t height = lane_top(std::max<std::size_t>(lanes.size(), 1));

  SvgWriter svg;
  svg.open(width, height, "causal trace", trace.root_id, trace_status_name(trace.status),
           events.size(), hidden);
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
  if (trace.status == TraceStatus::not_found) {
    svg.text(kLabelWidth, lane_middle(0) + 6, "font-size=\"16\" fill=\"#a01010\"", "not_found",
             kNoLimit);
  }
  if (gap) {
    const std::size_t x = kLabelWidth + kStep / 2;
    out.append("<g class=\"retention-gap\">\n");
    svg.line(x, kHeaderHeight + 20, x, height - 4,
             "stroke=\"#a01010\" stroke-width=\"2\" stroke-dasharray=\"6 4\"");
    svg.text(x, kHeaderHeight + 14, "text-anchor=\"middle\" fill=\"#a01010\"", "retention gap",
             kNoLimit);
    out.append("</g>\n");
    if (!slots.empty()) {  // the first event's cause is no longer retained
      const std::size_t y = lane_middle(slots.front().lane);
      svg.arrow(x, y, box_x(1), y, std::nullopt, true);
    }
  }
  for (std::size_t i = 1; i < slots.size(); ++i) {
    const Slot& from = slots[i - 1];
    const Slot& to = slots[i];
    std::optional<TimeStep> step;
    if (from.event && to.event) {
      step = TimeStep::between(events[*from.event].wall_time_ns, events[*to.event].wall_time_ns);
    }
    svg.arrow(box_x(first_column + i - 1) + kBoxWidth, lane_middle(from.lane),
              box_x(first_column + i), lane_middle(to.lane), step, false);
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::size_t x = box_x(first_column + i);
    if (const std::optional<std::size_t> e = slots[i].event) {
      svg.event_box(events[*e], x, box_y(slots[i].lane),
                    "t=" + std::to_string(events[*e].model_time), "");
    } else {
      // The wall time the left-out events span, from the event before them.
      const TimeStep span = TimeStep::between(events[kEdgeEvents - 1].wall_time_ns,
                                              events[kEdgeEvents + hidden].wall_time_ns);
      svg.elided_box(x, box_y(slots[i].lane), hidden, "wall " + short_step(span));
    }
  }
  svg.close();
  return svg.take();
}

}  // namespace quorix::cli
