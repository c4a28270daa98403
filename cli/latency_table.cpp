#include "latency_table.h"

#include <optional>
#include <string>

#include <quorix/render/trace_json.h>

#include "shown_text.h"

namespace quorix::cli {
namespace {

void append_step(std::string& out, std::optional<TimeStep> step) {
  if (!step) {
    out.push_back('-');
    return;
  }
  if (step->negative) out.push_back('-');
  out.append(std::to_string(step->magnitude));
}

}  // namespace

std::string format_latency(const CausalPath& path, TraceStatus status) {
  std::string out = "status\t" + trace_status_name(status) + "\n";
  out.append("sequence\tid\tkind\tclock_domain\twall_step_ns\tmodel_step\tsince_root_ns\n");
  for (const LatencyHop& hop : path.hops) {
    const TimelineEvent& e = hop.event;
    out.append(std::to_string(e.sequence)).push_back('\t');
    append_shown(out, e.id, Markup::none);
    out.push_back('\t');
    append_shown(out, e.kind, Markup::none);
    out.push_back('\t');
    append_shown(out, e.clock_domain, Markup::none);
    out.push_back('\t');
    append_step(out, hop.wall_step_ns);
    out.push_back('\t');
    append_step(out, hop.model_step);
    out.push_back('\t');
    append_step(out, hop.since_root_ns);
    out.push_back('\n');
  }
  out.append("total\t");
  append_step(out, path.total_ns);
  out.push_back('\n');
  return out;
}

}  // namespace quorix::cli
