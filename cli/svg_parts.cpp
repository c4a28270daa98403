#include "svg_parts.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "shown_text.h"

namespace quorix::cli {
namespace {

constexpr std::size_t kHeaderChars = 40;  // of the root id in the header
constexpr std::size_t kLabelChars = 11;   // of an arrow's label, between two columns

std::string sign_of(TimeStep step) { return step.negative ? "-" : "+"; }

}  // namespace

std::string exact_step(TimeStep step) {
  return sign_of(step) + std::to_string(step.magnitude) + " ns";
}

std::string short_step(TimeStep step) {
  struct Unit {
    std::uint64_t size;
    std::string_view name;
  };
  constexpr std::array kUnits{Unit{1'000'000'000, " s"}, Unit{1'000'000, " ms"},
                              Unit{1'000, " \xC2\xB5s"}};
  for (const Unit& unit : kUnits) {
    if (step.magnitude < unit.size) continue;
    const std::uint64_t whole = step.magnitude / unit.size;
    std::string label = sign_of(step) + std::to_string(whole);
    if (whole < 100) {
      label.append(".").append(std::to_string(step.magnitude % unit.size * 10 / unit.size));
    }
    return label.append(unit.name);
  }
  return exact_step(step);
}

void SvgWriter::open(std::size_t width, std::size_t height, std::string_view what,
                     std::string_view root_id, std::string_view status, std::size_t events,
                     std::size_t hidden) {
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
  out_.append("<text x=\"8\" y=\"26\" font-size=\"14\">").append(what).append(" of ");
  append_shown(out_, root_id, Markup::xml, kHeaderChars);
  out_.append(": ").append(status).append(", ").append(std::to_string(events)).append(" events");
  if (hidden != 0) out_.append(", ").append(std::to_string(hidden)).append(" not shown");
  out_.append("</text>\n");
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

void SvgWriter::line(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                     std::string_view attributes) {
  out_.append("<line x1=\"").append(std::to_string(x1));
  out_.append("\" y1=\"").append(std::to_string(y1));
  out_.append("\" x2=\"").append(std::to_string(x2));
  out_.append("\" y2=\"").append(std::to_string(y2));
  out_.append("\" ").append(attributes).append("/>\n");
}

void SvgWriter::rect(std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                     std::string_view attributes) {
  out_.append("<rect x=\"").append(std::to_string(x));
  out_.append("\" y=\"").append(std::to_string(y));
  out_.append("\" width=\"").append(std::to_string(width));
  out_.append("\" height=\"").append(std::to_string(height));
  out_.append("\" ").append(attributes).append("/>\n");
}

void SvgWriter::viewport(std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
  out_.append("<svg x=\"").append(std::to_string(x));
  out_.append("\" y=\"").append(std::to_string(y));
  out_.append("\" width=\"").append(std::to_string(width));
  out_.append("\" height=\"").append(std::to_string(height)).append("\">\n");
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
  const std::string events = std::to_string(count) + " events";
  out_.append("<g class=\"elided\">\n<title>").append(events).append(" not shown</title>\n");
  rect(x, y, kBoxWidth, kBoxHeight,
       "rx=\"4\" fill=\"#f3f4f6\" stroke=\"#8a94a6\" stroke-dasharray=\"4 3\"");
  viewport(x, y, kBoxWidth, kBoxHeight);
  text(6, 17, "font-weight=\"bold\"", "\xE2\x80\xA6 " + events, kBoxChars);
  text(6, 33, "", "not shown", kBoxChars);
  text(6, 49, "", third_line, kBoxChars);
  out_.append("</svg>\n</g>\n");
}

void SvgWriter::arrow(std::size_t x1, std::size_t y1, std::size_t x2, std::size_t y2,
                      std::optional<TimeStep> step, bool gap) {
  out_.append(gap ? "<g class=\"retention-gap\">" : "<g class=\"cause\">");
  if (step) {
    out_.append("<title>").append(gap ? "retention gap, " : "");
    out_.append("wall step: ").append(exact_step(*step)).append("</title>");
  }
  out_.append("\n<path d=\"M").append(std::to_string(x1)).append(",").append(std::to_string(y1));
  if (y1 != y2) {
    out_.append("H").append(std::to_string(x1 + 8)).append("V").append(std::to_string(y2));
  }
  out_.append("H").append(std::to_string(x2)).append("\" fill=\"none\" ");
  out_.append(gap ? "stroke=\"#a01010\" stroke-dasharray=\"6 4\"" : "stroke=\"#333333\"");
  out_.append(" marker-end=\"url(#arrow)\"/>\n");
  if (step) {
    text(x2 - 4, y2 - 5,
         gap ? "text-anchor=\"end\" font-size=\"10\" fill=\"#a01010\""
             : "text-anchor=\"end\" font-size=\"10\"",
         short_step(*step), kLabelChars);
  }
  out_.append("</g>\n");
}

}  // namespace quorix::cli
