// m09: runs the M-09 verification of the causal event timeline and exits 0
// on PASS, 1 on FAIL; a report that standard output could not take is a
// FAIL. Arguments are accepted and ignored.
#include "harness/runner.h"

int main(int /*argc*/, char** /*argv*/) { return quorix::m09::m09_main(); }
