// A causal trace as an SVG picture.
//
//   std::string svg = quorix::cli::render_trace_svg(trace);
//
// One horizontal lane per clock domain, in the order in which the domains
// first appear along the trace, named at the lane's left. The events stand
// left to right in the trace's order, root-most first, one column each at a
// fixed step, so no two boxes or labels overlap however long the trace: the
// picture grows wider instead. Each box shows the event's id, kind and model
// time; a label too long for its box is cut and ends in an ellipsis, and the
// box's <title> (a tooltip in a viewer) holds the full id, kind, model time
// and message. An arrow runs from each event to the event it caused. A trace
// that ran into a retention gap starts with a dashed line marked "retention
// gap"; one that found nothing shows the text "not_found".
//
// Text shows every byte: valid UTF-8 characters as themselves (& < > " ' as
// entity references), a backslash as \\, and every other byte as the text
// \xNN (two upper-case hex digits): control bytes (tab, line feed and
// carriage return included, and the C1 controls), bytes that do not form
// valid UTF-8, and U+FFFE and U+FFFF, which XML cannot carry at all. So the
// document is well-formed XML whatever the trace holds, and different ids
// always show differently.
//
// The picture depends on nothing but the trace: equal traces give identical
// bytes.
#ifndef QUORIX_CLI_SVG_H_
#define QUORIX_CLI_SVG_H_

#include <string>

#include <quorix/timeline/causal_trace.h>

namespace quorix::cli {

// The SVG document of `trace`, a complete XML file in UTF-8. Renders every
// trace; throws nothing but std::bad_alloc. Cost: linear in the trace, plus
// O(log d) per event for d clock domains.
std::string render_trace_svg(const CausalTrace& trace);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_SVG_H_
