#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "shown_text.h"
#include "svg.h"
#include "svg_parts.h"

namespace quorix::cli {
namespace {

TEST(CliText, ShortStepKeepsUnitAndDigitsAtEachBoundary) {
  constexpr std::uint64_t kS = 1'000'000'000;
  const struct {
    std::uint64_t ns;
    bool negative;
    std::string_view label;
  } cases[] = {{0, false, "+0 ns"},
               {999, false, "+999 ns"},
               {1000, false, "+1.0 \xC2\xB5s"},
               {99'999, true, "-99.9 \xC2\xB5s"},
               {100'000, false, "+100 \xC2\xB5s"},
               {kS - 1, false, "+999 ms"},
               {60 * kS - 1, false, "+59.9 s"},
               {60 * kS, false, "+1.0 min"},
               {3600 * kS - 1, false, "+59.9 min"},
               {86'400 * kS - 1, true, "-23.9 h"},
               {8'640'000 * kS, false, "+100 d"},
               {UINT64_MAX, true, "-213503 d"}};
  for (const auto& c : cases) EXPECT_EQ(short_step({c.negative, c.ns}), c.label) << c.ns;
}

TEST(CliText, AppendShownCutsToTheWidthAndEscapesWhatCouldReorder) {
  const struct {
    std::string_view bytes;
    std::size_t max_width;
    std::string_view shown;
    std::size_t width;
  } cases[] = {{"abc", 0, "", 0},
               {"abc", 1, "\xE2\x80\xA6", 1},
               {"abc", 3, "abc", 3},
               {"abcd", 3, "ab\xE2\x80\xA6", 3},
               {"a\t", 5, "a\\x09", 5},
               {"a\tb", 5, "a\xE2\x80\xA6", 2},
               {"<\\\xC3\xA9", kNoLimit, "&lt;\\\\\xC3\xA9", 4},
               {"\xE2\x80\xAE\xE2\x80\xA8\xE2\x81\xA6\xD8\x9C", kNoLimit,
                "\\xE2\\x80\\xAE\\xE2\\x80\\xA8\\xE2\\x81\\xA6\\xD8\\x9C", 44},
               {"\xE2\x80\xAF\xE2\x81\xA5", kNoLimit, "\xE2\x80\xAF\xE2\x81\xA5", 2}};
  for (const auto& c : cases) {
    std::string out = "x";
    EXPECT_EQ(append_shown(out, c.bytes, Markup::xml, c.max_width), c.width) << c.bytes;
    EXPECT_EQ(out, "x" + std::string(c.shown)) << c.bytes;
  }
}

TEST(CliText, AnArrowThatSkipsADepthHasNoStep) {
  const auto event = [](std::string_view id, std::uint64_t wall, std::uint64_t depth,
                        std::optional<std::size_t> cause) {
    EffectEvent e;
    e.event.id = id;
    e.event.wall_time_ns = wall;
    e.depth = depth;
    e.cause = cause;
    return e;
  };
  CausalEffects effects;
  effects.status = TraceStatus::complete;
  effects.events = {event("a", 10, 0, std::nullopt), event("c", 20, 2, 0), event("d", 35, 3, 1)};
  const std::string svg = render_effects_svg(effects);
  const std::size_t gap = svg.find("<g class=\"retention-gap\">");
  ASSERT_NE(gap, std::string::npos);
  EXPECT_EQ(svg.substr(gap, svg.find("</g>", gap) - gap).find("<text"), std::string::npos);
  EXPECT_EQ(svg.find("+10 ns"), std::string::npos);
  EXPECT_NE(svg.find(">+15 ns</text>"), std::string::npos);
}

}  // namespace
}  // namespace quorix::cli
