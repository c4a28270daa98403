// The hops of a causal path as a table of text, one hop a line.
//
//   std::string table = quorix::cli::format_latency(quorix::trace_latency(trace), trace.status);
//
// The first line is "status", a tab and the status name of the trace or
// effects the path was taken from; then a header line and a line per hop,
// root-most first, of seven tab-separated columns: sequence, id, kind,
// clock_domain, wall_step_ns, model_step, since_root_ns; the last line is
// "total", a tab and the path's total_ns. Every line ends in a line feed.
// Strings are shown as shown_text.h says (Markup::none), so a tab or line
// feed in an id shows as \x09 or \x0A and cannot break the table. A step is
// a plain decimal with a leading '-' when negative; "-" alone stands for a
// step that is not known: the first hop's, a hop's whose parent is not on
// the path, and a model step across clock domains. The text depends on
// nothing but its arguments.
#ifndef QUORIX_CLI_LATENCY_TABLE_H_
#define QUORIX_CLI_LATENCY_TABLE_H_

#include <string>

#include <quorix/timeline/causal_latency.h>
#include <quorix/timeline/causal_trace.h>

namespace quorix::cli {

// The table of `path`, headed by `status`. Refuses nothing; throws nothing
// but std::bad_alloc. Cost: linear in the path's text.
std::string format_latency(const CausalPath& path, TraceStatus status);

}  // namespace quorix::cli

#endif  // QUORIX_CLI_LATENCY_TABLE_H_
