// The M-09 checks and their fixtures.
//
// Each check takes what it inspects as an argument (a trace, two documents,
// the operation that must be refused), so that a test can hand it a faulty
// one and see the exact failure. A check throws
// std::runtime_error through `require` on the first condition that fails and
// writes its "[PASS] " line to `out` only after all of its conditions held.
// Errors of the components pass through unchanged.
#ifndef QUORIX_HARNESS_CHECKS_H_
#define QUORIX_HARNESS_CHECKS_H_

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include <quorix/render/trace_json.h>
#include <quorix/snapshot/snapshot.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>

namespace quorix::m09 {

// The trace of `id` in `timeline`.
CausalTrace trace_of(const Timeline& timeline, std::string_view id);

// The operations of the components that the run goes through, so that a test
// can run the whole program over a faulty one and see it fail as it must.
struct Components {
  CausalTrace (*trace)(const Timeline&, std::string_view) = &trace_of;
  std::string (*render)(const CausalTrace&) = &render_trace_json;
  Timeline (*read)(std::string_view) = &read_timeline_snapshot;
};

// A timeline of capacity 4 holding the causal fixture, appended in order:
// "input" (the external input, no parent), "message" (parent "input") and
// "infer" (parent "message"), each in a clock domain of its own.
Timeline build_causal_fixture();

// The trace of "infer" is complete, holds three events and starts at
// "input"; else "causal ordering differs".
void check_causal_order(const CausalTrace& trace, std::ostream& out);

// Of a trace that passed check_causal_order: the second event keeps clock
// domain "orchestrator" and the third model time 2; else "clock domains
// collapsed".
void check_clock_domains(const CausalTrace& trace, std::ostream& out);

// The JSON document of the trace of "infer" in a copy of `primary` that was
// written to a snapshot and read back. The snapshot, the restored timeline
// and its trace are released before it returns; `primary` is not changed.
std::string render_offline_trace(const Timeline& primary, const Components& use = {});

// The live and the offline documents are equal byte for byte; else "offline
// trace differs".
void check_live_offline(const std::string& live_json, const std::string& offline_json,
                        std::ostream& out);

// Appends "a" (parent "infer") and "b" (parent "a") to the primary timeline,
// which evicts "input" from a timeline of capacity 4.
void append_retention_fixture(Timeline& primary);

// The trace of "b" reports a retention gap; else "retention gap hidden".
// Writes nothing.
void check_retention_gap(const CausalTrace& retention);

// Offers a fresh timeline of capacity 2 an event "x" whose parent is "x".
void offer_self_parent();

// `offer` must be refused, by an exception of any type; else "cycle
// accepted". Then writes the last "[PASS] " line and the PASS verdict as one
// text.
void check_cycle_refused(const std::function<void()>& offer, std::ostream& out);

}  // namespace quorix::m09

#endif  // QUORIX_HARNESS_CHECKS_H_
