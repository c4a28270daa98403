// The smallest C++ program that writes a line to standard output through the
// standard streams, as m09 does: the yardstick for m09's whole run time.
#include <iostream>

int main() {
  std::cout << "M-09 VERDICT: PASS\n";
  return 0;
}
