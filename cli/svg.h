// A causal trace, or the effects of an event, as an SVG picture.
//
//   std::string svg = quorix::cli::render_trace_svg(trace);
//
// A trace has one horizontal lane per clock domain, in the order in which
// the domains first appear among the events drawn, named at the lane's
// left. The events stand left to right in the trace's order, root-most
// first, one column each at a fixed step. A trace of more than 61 events is
// drawn as its first 30 and last 30, with a dashed box in between saying
// how many events it leaves out ("… N events", "not shown") and the wall
// time from the first of them to the last. A trace that ran into a retention gap starts with a
// dashed line marked "retention gap"; one that found nothing shows the text
// "not_found".
//
// Effects are a tree, left to right: a column per depth found (the depths
// that no listed event has take no column), each event in the row of its
// first child, so a chain is a straight line. Boxes show the depth and the
// model time as "d=N t=M". At most 40 depths and 150 rows are drawn: past
// the last depth drawn a dashed box counts the events of the deeper levels,
// and under each column a line "… N more not shown" counts the events of
// that depth left out. Effects whose requested id is not retained start
// with a dashed "retention gap" line, with a dashed arrow to each event
// whose cause is not listed.
//
// So both stay within 16,384 pixels each way, and the header line names the
// count of events and, when some are left out, how many; the picture is
// widened to fit that line, counted one column a character (a wide
// character, as in CJK text, may reach past it). Each box shows the
// event's id, kind and a third line; a label too long for its box is cut
// and ends in an ellipsis, and the box's <title> (a tooltip in a viewer)
// holds the full id, kind, model time (for effects also the clock domain
// and depth) and message. An arrow runs from each event's cause to it,
// labelled with the step of wall time in a short unit ("+1.5 ms") and
// titled with it exactly in nanoseconds. An arrow that skips ids no longer
// retained (its event's depth is not its cause's plus one) is dashed and
// red, a retention gap, and has no step: the step from the listed cause is
// not the hop's own.
//
// Text shows every byte as shown_text.h says, with XML's five special
// characters as entity references, so the document is well-formed XML
// whatever the events hold, and different uncut ids show differently; the
// <title>s hold each text in full.
//
// The picture depends on nothing but its argument: equal values give
// identical bytes.
#ifndef QUORIX_CLI_SVG_H_
#define QUORIX_CLI_SVG_H_

#include <string>

#include <quorix/timeline/causal_effects.h>
#include <quorix/timeline/causal_trace.h>

namespace quorix::cli {

// The SVG document of `trace`, a complete XML file in UTF-8. Renders every
// trace; throws nothing but std::bad_alloc. Cost: linear in the trace, plus
// O(log d) per event drawn for d clock domains.
std::string render_trace_svg(const CausalTrace& trace);

// The SVG document of `effects`, a tree, a complete XML file in UTF-8.
// Renders every value (an event whose cause is out of range or itself is
// drawn as a root); throws nothing but std::bad_alloc. Cost: O(n log n)
// for n events.
std::string render_effects_svg(const CausalEffects& effects);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_SVG_H_
