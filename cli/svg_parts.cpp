#include "svg_parts.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <string>
#include <string_view>
#include <utility>

#include "shown_text.h"

namespace quorix::cli {
namespace {

constexpr std::size_t kHeaderChars = 40;  // of the root id in the header
constexpr std::size_t kLabelChars = 11;   // of an arrow's label, between two columns
constexpr std::size_t kHeaderX = 8;
// The header's characters at most: `what` and `status` of 16, the id's 40,
// two counts of 20 digits and the words between.
constexpr std::size_t kMaxHeaderChars = 16 + 4 + kHeaderChars + 2 + 16 + 2 + 20 + 7 + 2 + 20 + 10;

// The width a header of `chars` characters needs, 8.4 px each rounded up,
// with a margin each side.
constexpr std::size_t header_width(std::size_t chars) {
  return 2 * kHeaderX + (chars * 42 + 4) / 5;
}
static_assert(header_width(kMaxHeaderChars) <= kMaxHeaderWidth);

// A new text holding the step's sign, to append to (adding strings instead
// draws a false overlapping-copy warning from an optimizing compiler).
std::string sign_of(TimeStep step) { return step.negative ? "-" : "+"; }

}  // namespace

std::string count_events(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " event" : " events");
}

std::string exact_step(TimeStep step) {
  return sign_of(step).append(std::to_string(step.magnitude)).append(" ns");
}

std::string short_step(TimeStep step) {
  struct Unit {
    std::uint64_t size;
    std::string_view name;
  };
  constexpr std::uint64_t kSecond = 1'000'000'000;
  constexpr std::array kUnits{Unit{86'400 * kSecond, " d"}, Unit{3'600 * kSecond, " h"},
                              Unit{60 * kSecond, " min"},   Unit{kSecond, " s"},
                              Unit{1'000'000, " ms"},       Unit{1'000, " \xC2\xB5s"}};
  for (const Unit& unit : kUnits) {
    if (step.magnitude < unit.size) continue;
    const std::uint64_t whole = step.magnitude / unit.size;
    std::string label = sign_of(step).append(std::to_string(whole));
    if (whole < 100) {
      label.append(".").append(std::to_string(step.magnitude % unit.size * 10 / unit.size));
    }
    return label.append(unit.name);
  }
  return exact_step(step);
}

std::size_t SvgWriter::open(std::size_t min_width, std::size_t height, std::string_view what,
                            std::string_view root_id, std::string_view status, std::uint64_t events,
                            std::uint64_t hidden) {
  assert(what.size() <= 16 && status.size() <= 16);
  std::string header = std::string(what) + " of ";
  std::size_t header_chars = header.size();
  header_chars += append_shown(header, root_id, Markup::xml, kHeaderChars);
  std::string counts = ": " + std::string(status) + ", " + count_events(events);
  if (hidden != 0) counts.append(", ").append(std::to_string(hidden)).append(" not shown");
  header_chars += counts.size();
  header.append(counts);
  const std::size_t width = std::max(min_width, header_width(header_chars));

  const std::string size_attributes =
      "width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
  out_.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  out_.append("<svg xmlns=\"http://www.w3.org/2000/svg\" ").append(size_attributes);
  out_.append(" viewBox=\"0 0 ").append(std::to_string(width)).append(" ");
  out_.append(std::to_string(height)).append("\" font-family=\"monospace\" font-size=\"12\">\n");
  out_.append("<title>").append(what).append(" of ");
  append_shown(out_, root_id, Markup::xml);
  out_.append(": ").append(status).append("</title>\n");
  out_.append(
      "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"10\" refY=\"5\" markerWidth=\"7\" "
      "markerHeight=\"7\" orient=\"auto\"><path d=\"M0,0L10,5L0,10z\" fill=\"#333333\"/>"
      "</marker></defs>\n");
  out_.append("<rect ").append(size_attributes).append(" fill=\"#ffffff\"/>\n");
  out_.append("<text x=\"" + std::to_string(kHeaderX) + "\" y=\"26\" font-size=\"14\">");
  out_.append(header).append("</text>\n");
  return width;
}

void SvgWriter::text(std::size_t x, std::size_t y, std::string_view attributes,
                     std::string_view bytes, std::size_t max_width) {
  out_.append("<text x=\"").append(std::to_string(x));
  out_.append("\" y=\"").append(std::to_string(y)).append("\"");
  if (!attributes.empty()) out_.append(" ").append(attributes);
  out_.append(">");
  append_shown(out_, bytes, Markup::xml, max_width);
  out_.append("</text>\n");
}

void SvgWriter::open_element(std::string_view name, std::initializer_list<std::string_view> names,
                             std::initializer_list<std::size_t> values) {
  assert(names.size() == values.size());
  out_.append("<").append(name);
  const std::size_t* value = values.begin();
  for (const std::string_view attribute : names) {
    out_.append(value == values.begin() ? " " : "\" ").append(attribute).append("=\"");
    out_.append(std::to_string(*value++));
  }
}

void SvgWriter::line(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                     std::string_view attributes) {
  open_element("line", {"x1", "y1", "x2", "y2"}, {x1, y1, x2, y2});
  out_.append("\" ").append(attributes).append("/>\n");
}

void SvgWriter::rect(std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                     std::string_view attributes) {
  open_element("rect", {"x", "y", "width", "height"}, {x, y, width, height});
  out_.append("\" ").append(attributes).append("/>\n");
}

void SvgWriter::viewport(std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
  open_element("svg", {"x", "y", "width", "height"}, {x, y, width, height});
  out_.append("\">\n");
}

void SvgWriter::not_found(std::size_t x, std::size_t y) {
  text(x, y, "font-size=\"16\" fill=\"#a01010\"", "not_found", kNoLimit);
}

void SvgWriter::retention_gap_line(std::size_t x, std::size_t bottom) {
  out_.append("<g class=\"retention-gap\">\n");
  line(x, kHeaderHeight + 20, x, bottom,
       "stroke=\"#a01010\" stroke-width=\"2\" stroke-dasharray=\"6 4\"");
  text(x, kHeaderHeight + 14, "text-anchor=\"middle\" fill=\"#a01010\"", "retention gap", kNoLimit);
  out_.append("</g>\n");
}

void SvgWriter::event_box(const TimelineEvent& event, std::size_t x, std::size_t y,
                          std::string_view third_line, std::string_view more) {
  out_.append("<g class=\"event\">\n<title>");
  append_shown(out_, event.id, Markup::xml);
  out_.append("\nkind: ");
  append_shown(out_, event.kind, Markup::xml);
  out_.append("\nmodel_time: ").append(std::to_string(event.model_time)).append(more);
  out_.append("\nmessage: ");
  append_shown(out_, event.message, Markup::xml);
  out_.append("</title>\n");
  rect(x, y, kBoxWidth, kBoxHeight, "rx=\"4\" fill=\"#ffffff\" stroke=\"#4a5a70\"");
  // A viewport of the box's size clips what is wider than counted (wide
  // characters), so that no label reaches into the next box.
  viewport(x, y, kBoxWidth, kBoxHeight);
  text(6, 17, "font-weight=\"bold\"", event.id, kBoxChars);
  text(6, 33, "", event.kind, kBoxChars);
  text(6, 49, "", third_line, kBoxChars);
  out_.append("</svg>\n</g>\n");
}

void SvgWriter::elided_box(std::size_t x, std::size_t y, std::uint64_t count,
                           std::string_view third_line) {
  const std::string events = count_events(count);
  out_.append("<g class=\"elided\">\n<title>").append(events).append(" not shown</title>\n");
  rect(x, y, kBoxWidth, kBoxHeight,
       "rx=\"4\" fill=\"#f3f4f6\" stroke=\"#8a94a6\" stroke-dasharray=\"4 3\"");
  viewport(x, y, kBoxWidth, kBoxHeight);
  text(6, 17, "font-weight=\"bold\"", std::string(kEllipsis) + " " + events, kBoxChars);
  text(6, 33, "", "not shown", kBoxChars);
  text(6, 49, "", third_line, kBoxChars);
  out_.append("</svg>\n</g>\n");
}

void SvgWriter::arrow_path(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                           std::string_view attributes) {
  out_.append("\n<path d=\"M").append(std::to_string(x1)).append(",").append(std::to_string(y1));
  if (y1 != y2) {
    out_.append("H").append(std::to_string(x1 + 8)).append("V").append(std::to_string(y2));
  }
  out_.append("H").append(std::to_string(x2)).append("\" fill=\"none\" ").append(attributes);
  out_.append(" marker-end=\"url(#arrow)\"/>\n");
}

void SvgWriter::cause_arrow(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                            std::optional<TimeStep> step) {
  out_.append("<g class=\"cause\">");
  if (step) out_.append("<title>wall step: ").append(exact_step(*step)).append("</title>");
  arrow_path(x1, y1, x2, y2, "stroke=\"#333333\"");
  if (step) {
    text(x2 - 4, y2 - 5, "text-anchor=\"end\" font-size=\"10\"", short_step(*step), kLabelChars);
  }
  out_.append("</g>\n");
}

void SvgWriter::gap_arrow(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2) {
  out_.append("<g class=\"retention-gap\"><title>retention gap</title>");
  arrow_path(x1, y1, x2, y2, "stroke=\"#a01010\" stroke-dasharray=\"6 4\"");
  out_.append("</g>\n");
}

}  // namespace quorix::cli
