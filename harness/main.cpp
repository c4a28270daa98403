// m09: runs the M-09 verification of the causal event timeline and exits 0
// on PASS, 1 on FAIL. Arguments are accepted and ignored.
#include <iostream>

#include "harness/runner.h"

int main() {
  // Every insertion into standard error is flushed at once, after standard
  // output, so on a shared console the "[PASS] " lines precede a report.
  std::cerr.setf(std::ios_base::unitbuf);
  std::cerr.tie(&std::cout);
  return quorix::m09::run_m09(std::cout, std::cerr);
}
