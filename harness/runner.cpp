#include "harness/runner.h"

#include <string>

#include <quorix/render/trace_json.h>
#include <quorix/timeline/causal_trace.h>
#include <quorix/timeline/timeline.h>
#include "harness/checks.h"
#include "harness/require.h"

namespace quorix::m09 {

void run_m09_checks(std::ostream& out) {
  // The run context lives until the verdict and is released in reverse order.
  Timeline primary = build_causal_fixture();
  const CausalTrace live = primary.build_causal_trace("infer");
  check_causal_order(live, out);
  check_clock_domains(live, out);
  const std::string live_json = render_trace_json(live);
  const std::string offline_json = render_offline_trace(primary);
  check_live_offline(live_json, offline_json, out);
  append_retention_fixture(primary);
  check_retention_gap(primary.build_causal_trace("b"));
  check_cycle_refused(offer_self_parent, out);
}

void report_failure(const std::exception& failure, std::ostream& err) {
  err << "[FAIL] ";
  err << failure.what();
  err << "\nM-09 VERDICT: FAIL\n";
}

int run_protected(const std::function<void()>& checks, std::ostream& err) {
  try {
    checks();
  } catch (const std::exception& failure) {
    report_failure(failure, err);
    return 1;
  }
  return 0;
}

void tie_report_streams(std::ostream& out, std::ostream& err) {
  err.setf(std::ios_base::unitbuf);
  err.tie(&out);
}

void require_report_written(std::ostream& out) {
  require(static_cast<bool>(out.flush()), "report not written to standard output");
}

int run_m09(std::ostream& out, std::ostream& err) {
  return run_protected(
      [&out] {
        run_m09_checks(out);
        require_report_written(out);
      },
      err);
}

}  // namespace quorix::m09
