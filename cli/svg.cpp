#include "svg.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <quorix/render/trace_json.h>

namespace quorix::cli {
namespace {

// The layout, in pixels. Text is 12 px monospace, about 7.2 px a character.
constexpr std::size_t kHeaderHeight = 40;  // the line naming the trace
constexpr std::size_t kLabelWidth = 160;   // the column of lane names
constexpr std::size_t kStep = 200;         // from one event's column to the next
constexpr std::size_t kBoxWidth = 170;
constexpr std::size_t kBoxHeight = 56;
constexpr std::size_t kLaneHeight = 80;
constexpr std::size_t kMinWidth = 760;
constexpr std::size_t kBoxChars = 22;  // characters that fit a box, a lane name, the header
constexpr std::size_t kLaneChars = 20;
constexpr std::size_t kHeaderChars = 40;
constexpr std::size_t kNoLimit = std::string_view::npos;

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026 in UTF-8

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// The size of the character at the start of `bytes` when it is valid UTF-8
// that XML can carry and is not a control character; 0 when its first byte
// must be shown escaped.
std::size_t plain_char_size(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes.front());
  if (lead < 0x80U) return lead >= 0x20U && lead != 0x7FU ? 1 : 0;
  // The sequence's size, the payload bits of its lead byte, and the least
  // code point of that size (below it the form is overlong).
  std::size_t size = 4;
  char32_t code = lead & 0x07U;
  char32_t least = 0x10000;
  if ((lead & 0xE0U) == 0xC0U) {
    size = 2;
    code = lead & 0x1FU;
    least = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    size = 3;
    code = lead & 0x0FU;
    least = 0x800;
  } else if ((lead & 0xF8U) != 0xF0U) {
    return 0;  // a continuation byte, or no lead byte of UTF-8
  }
  if (bytes.size() < size) return 0;
  for (std::size_t i = 1; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!is_continuation(byte)) return 0;
    code = (code << 6U) | (byte & 0x3FU);
  }
  const bool c1_control = code <= 0x9F;
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool not_xml = code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF;
  return code < least || c1_control || surrogate || not_xml ? 0 : size;
}

// How wide the character (or escaped byte) at the start of `bytes` shows.
std::size_t shown_width(std::string_view bytes, std::size_t plain_size) {
  if (plain_size == 0) return 4;  // \xNN
  return bytes.front() == '\\' ? 2 : 1;
}

void append_shown(std::string& out, std::string_view bytes, std::size_t plain_size) {
  if (plain_size == 0) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(bytes.front());
    out.append("\\x").append(1, kHex[byte >> 4U]).append(1, kHex[byte & 0xFU]);
    return;
  }
  switch (bytes.front()) {
    case '&':
      out.append("&amp;");
      return;
    case '<':
      out.append("&lt;");
      return;
    case '>':
      out.append("&gt;");
      return;
    case '"':
      out.append("&quot;");
      return;
    case '\'':
      out.append("&apos;");
      return;
    case '\\':
      out.append("\\\\");
      return;
    default:
      out.append(bytes.substr(0, plain_size));
  }
}

// Appends `bytes` as character data showing every byte (see svg.h). A text
// wider than `max_width` characters is cut to leave room for an ellipsis.
void append_text(std::string& out, std::string_view bytes, std::size_t max_width = kNoLimit) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < bytes.size() && total <= max_width;) {
    const std::size_t size = plain_char_size(bytes.substr(i));
    total += shown_width(bytes.substr(i), size);
    i += std::max<std::size_t>(size, 1);
  }
  const bool cut = total > max_width;
  const std::size_t room = cut ? max_width - 1 : kNoLimit;
  std::size_t width = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::string_view rest = bytes.substr(i);
    const std::size_t size = plain_char_size(rest);
    width += shown_width(rest, size);
    if (width > room) break;
    append_shown(out, rest, size);
    i += std::max<std::size_t>(size, 1);
  }
  if (cut) out.append(kEllipsis);
}

// Writes the elements, with their numeric attributes, into one buffer.
class SvgWriter {
 public:
  std::string& out() { return out_; }
  std::string take() { return std::move(out_); }

  // `text` goes between ">" and "</text>": element name and attributes are
  // fixed by the caller; `x` and `y` are the baseline's start.
  void text(std::size_t x, std::size_t y, std::string_view attributes, std::string_view bytes,
            std::size_t max_width) {
    out_.append("<text x=\"").append(std::to_string(x));
    out_.append("\" y=\"").append(std::to_string(y)).append("\"");
    if (!attributes.empty()) out_.append(" ").append(attributes);
    out_.append(">");
    append_text(out_, bytes, max_width);
    out_.append("</text>\n");
  }

  void line(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
            std::string_view attributes) {
    out_.append("<line x1=\"").append(std::to_string(x1));
    out_.append("\" y1=\"").append(std::to_string(y1));
    out_.append("\" x2=\"").append(std::to_string(x2));
    out_.append("\" y2=\"").append(std::to_string(y2));
    out_.append("\" ").append(attributes).append("/>\n");
  }

  // Opens a nested <svg> at x, y: its children are placed relative to it
  // and clipped to its size. The caller closes it.
  void viewport(std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
    out_.append("<svg x=\"").append(std::to_string(x));
    out_.append("\" y=\"").append(std::to_string(y));
    out_.append("\" width=\"").append(std::to_string(width));
    out_.append("\" height=\"").append(std::to_string(height)).append("\">\n");
  }

  void rect(std::size_t x, std::size_t y, std::size_t width, std::size_t height,
            std::string_view attributes) {
    out_.append("<rect x=\"").append(std::to_string(x));
    out_.append("\" y=\"").append(std::to_string(y));
    out_.append("\" width=\"").append(std::to_string(width));
    out_.append("\" height=\"").append(std::to_string(height));
    out_.append("\" ").append(attributes).append("/>\n");
  }

 private:
  std::string out_;
};

std::size_t box_x(std::size_t column) {
  return kLabelWidth + column * kStep + (kStep - kBoxWidth) / 2;
}
std::size_t lane_top(std::size_t lane) { return kHeaderHeight + lane * kLaneHeight; }
std::size_t lane_middle(std::size_t lane) { return lane_top(lane) + kLaneHeight / 2; }

// The event's box, with its full fields in a tooltip.
void write_event(SvgWriter& svg, const TimelineEvent& event, std::size_t column, std::size_t lane) {
  const std::size_t x = box_x(column);
  const std::size_t y = lane_top(lane) + (kLaneHeight - kBoxHeight) / 2;
  std::string& out = svg.out();
  out.append("<g class=\"event\">\n<title>");
  append_text(out, event.id);
  out.append("\nkind: ");
  append_text(out, event.kind);
  out.append("\nmodel_time: ").append(std::to_string(event.model_time));
  out.append("\nmessage: ");
  append_text(out, event.message);
  out.append("</title>\n");
  svg.rect(x, y, kBoxWidth, kBoxHeight, "rx=\"4\" fill=\"#ffffff\" stroke=\"#4a5a70\"");
  // A viewport of the box's size clips what is wider than counted (wide
  // characters), so that no label reaches into the next box.
  svg.viewport(x, y, kBoxWidth, kBoxHeight);
  svg.text(6, 17, "font-weight=\"bold\"", event.id, kBoxChars);
  svg.text(6, 33, "", event.kind, kBoxChars);
  svg.text(6, 49, "", "t=" + std::to_string(event.model_time), kBoxChars);
  out.append("</svg>\n</g>\n");
}

}  // namespace

std::string render_trace_svg(const CausalTrace& trace) {
  // Lanes in order of first appearance; lane_of[i] is event i's.
  std::vector<std::string_view> lanes;
  std::vector<std::size_t> lane_of;
  lane_of.reserve(trace.events.size());
  std::map<std::string_view, std::size_t> lane_index;
  for (const TimelineEvent& event : trace.events) {
    const auto [place, added] = lane_index.try_emplace(event.clock_domain, lanes.size());
    if (added) lanes.emplace_back(event.clock_domain);
    lane_of.push_back(place->second);
  }
  const bool gap = trace.status == TraceStatus::retention_gap;
  const std::size_t first_column = gap ? 1 : 0;  // the gap takes a column of its own
  const std::size_t width =
      std::max(kMinWidth, kLabelWidth + (first_column + trace.events.size()) * kStep);
  const std::size_t height = lane_top(std::max<std::size_t>(lanes.size(), 1));
  const std::string status = trace_status_name(trace.status);

  SvgWriter svg;
  std::string& out = svg.out();
  const std::string size_attributes =
      "width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  out.append("<svg xmlns=\"http://www.w3.org/2000/svg\" ").append(size_attributes);
  out.append(" viewBox=\"0 0 ").append(std::to_string(width)).append(" ");
  out.append(std::to_string(height)).append("\" font-family=\"monospace\" font-size=\"12\">\n");
  out.append("<title>causal trace of ");
  append_text(out, trace.root_id);
  out.append(": ").append(status).append("</title>\n");
  out.append(
      "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"7\" "
      "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0L10,5L0,10z\" fill=\"#333333\"/>"
      "</marker></defs>\n");
  out.append("<rect ").append(size_attributes).append(" fill=\"#ffffff\"/>\n");
  std::string header = "causal trace of ";
  append_text(header, trace.root_id, kHeaderChars);
  header.append(": ").append(status).append(", ");
  header.append(std::to_string(trace.events.size())).append(" events");
  out.append("<text x=\"8\" y=\"26\" font-size=\"14\">").append(header).append("</text>\n");

  for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
    out.append("<g class=\"lane\">\n<title>");
    append_text(out, lanes[lane]);
    out.append("</title>\n");
    svg.rect(0, lane_top(lane), width, kLaneHeight,
             lane % 2 == 0 ? "fill=\"#eef1f5\"" : "fill=\"#f7f8fa\"");
    svg.viewport(0, lane_top(lane), kLabelWidth, kLaneHeight);
    svg.text(8, kLaneHeight / 2 + 4, "font-weight=\"bold\"", lanes[lane], kLaneChars);
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
    if (!trace.events.empty()) {  // the first event's cause is no longer retained
      const std::size_t y = lane_middle(lane_of.front());
      svg.line(x, y, box_x(1), y,
               "stroke=\"#a01010\" stroke-dasharray=\"6 4\" marker-end=\"url(#arrow)\"");
    }
    out.append("</g>\n");
  }
  for (std::size_t i = 1; i < trace.events.size(); ++i) {
    const std::size_t column = first_column + i;
    svg.line(box_x(column - 1) + kBoxWidth, lane_middle(lane_of[i - 1]), box_x(column),
             lane_middle(lane_of[i]),
             "class=\"cause\" stroke=\"#333333\" marker-end=\"url(#arrow)\"");
  }
  for (std::size_t i = 0; i < trace.events.size(); ++i) {
    write_event(svg, trace.events[i], first_column + i, lane_of[i]);
  }
  out.append("</svg>\n");
  return svg.take();
}

}  // namespace quorix::cli
