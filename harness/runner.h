// The M-09 run: the checks in their order, the protected region around them
// and the failure report.
//
//   int status = quorix::m09::run_m09(std::cout, std::cerr);  // 0 PASS, 1 FAIL
#ifndef QUORIX_HARNESS_RUNNER_H_
#define QUORIX_HARNESS_RUNNER_H_

#include <exception>
#include <functional>
#include <ostream>

#include "harness/checks.h"

namespace quorix::m09 {

// Runs every check once, in order, writing each "[PASS] " line to `out` and
// ending with "M-09 VERDICT: PASS". Throws the first failure, of a check or
// of a component, after the lines of the checks that held.
// The component operations go through `use`.
void run_m09_checks(std::ostream& out, const Components& use = {});

// Writes the report of a failure to `err` as three insertions: "[FAIL] ",
// the exception's message unchanged, "\nM-09 VERDICT: FAIL\n".
void report_failure(const std::exception& failure, std::ostream& err);

// Runs `checks` in a protected region: 0 when it returns; 1, after the
// failure report on `err`, when it throws a std::exception. Exceptions of
// other types pass through.
int run_protected(const std::function<void()>& checks, std::ostream& err);

// Makes `err` unit-buffered and tied to `out`: each insertion into `err`
// flushes `out` first and is flushed itself, so that on a shared console the
// "[PASS] " lines always come before a failure report.
void tie_report_streams(std::ostream& out, std::ostream& err);

// Flushes `out` and requires that every insertion into it succeeded; else
// "report not written to standard output". A verdict that could not be
// written (standard output closed, or on a full disk) is no PASS.
void require_report_written(std::ostream& out);

// The whole program: run_m09_checks, then require_report_written, inside
// run_protected. So a lost report ends the run as a failure, status 1, with
// the failure report on `err` as far as `err` can still take it.
int run_m09(std::ostream& out, std::ostream& err, const Components& use = {});

// The program's entry: ties standard error to standard output and runs
// run_m09 over them; returns the exit status.
int m09_main(const Components& use = {});

}  // namespace quorix::m09

#endif  // QUORIX_HARNESS_RUNNER_H_
