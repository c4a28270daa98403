#include <quorix/timeline/causal_latency.h>

#include <cstddef>
#include <utility>

namespace quorix {
namespace {

// Appends `event` as the next hop; `parent` is the hop before it when that
// is its parent, else null.
void add_hop(CausalPath& path, const TimelineEvent& event, const TimelineEvent* parent) {
  LatencyHop hop;
  hop.event = event;
  if (parent != nullptr) {
    hop.wall_step_ns = TimeStep::between(parent->wall_time_ns, event.wall_time_ns);
    if (parent->clock_domain == event.clock_domain) {
      hop.model_step = TimeStep::between(parent->model_time, event.model_time);
    }
  }
  const std::uint64_t root =
      path.hops.empty() ? event.wall_time_ns : path.hops.front().event.wall_time_ns;
  hop.since_root_ns = TimeStep::between(root, event.wall_time_ns);
  path.total_ns = hop.since_root_ns;
  path.hops.push_back(std::move(hop));
}

}  // namespace

CausalPath trace_latency(const CausalTrace& trace) {
  CausalPath path;
  path.hops.reserve(trace.events.size());
  for (std::size_t i = 0; i < trace.events.size(); ++i) {
    add_hop(path, trace.events[i], i == 0 ? nullptr : &trace.events[i - 1]);
  }
  return path;
}

CausalPath critical_path(const CausalEffects& effects) {
  CausalPath path;
  const std::vector<EffectEvent>& events = effects.events;
  if (events.empty()) return path;
  // The latest descendant; of equal times, the lowest sequence, which need
  // not come first as events are ordered by depth before sequence.
  std::size_t latest = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TimelineEvent& e = events[i].event;
    const TimelineEvent& best = events[latest].event;
    if (events[i].depth == 0) continue;
    if (events[latest].depth == 0 || e.wall_time_ns > best.wall_time_ns ||
        (e.wall_time_ns == best.wall_time_ns && e.sequence < best.sequence)) {
      latest = i;
    }
  }
  std::vector<std::size_t> chain;
  for (std::optional<std::size_t> at = latest; at; at = events[*at].cause) chain.push_back(*at);
  path.hops.reserve(chain.size());
  for (auto i = chain.rbegin(); i != chain.rend(); ++i) {
    const EffectEvent& hop = events[*i];
    const EffectEvent* before = i == chain.rbegin() ? nullptr : &events[*(i - 1)];
    const bool direct = before != nullptr && before->depth + 1 == hop.depth;
    add_hop(path, hop.event, direct ? &before->event : nullptr);
  }
  return path;
}

}  // namespace quorix
