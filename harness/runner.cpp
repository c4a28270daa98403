#include "harness/runner.h"

#include <iostream>
#include <string>

#include "harness/require.h"

namespace quorix::m09 {

void run_m09_checks(std::ostream& out, const Components& use) {
  // The run context lives until the verdict and is released in reverse order.
  Timeline primary = build_causal_fixture();
  const CausalTrace live = use.trace(primary, "infer");
  check_causal_order(live, out);
  check_clock_domains(live, out);
  const std::string live_json = use.render(live);
  const std::string offline_json = render_offline_trace(primary, use);
  check_live_offline(live_json, offline_json, out);
  append_retention_fixture(primary);
  check_retention_gap(use.trace(primary, "b"));
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

int run_m09(std::ostream& out, std::ostream& err, const Components& use) {
  return run_protected(
      [&out, &use] {
        run_m09_checks(out, use);
        require_report_written(out);
      },
      err);
}

int m09_main(const Components& use) {
  tie_report_streams(std::cout, std::cerr);
  return run_m09(std::cout, std::cerr, use);
}

}  // namespace quorix::m09
