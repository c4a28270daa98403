// The smallest C++ program, built like m09: the yardstick for m09's run time.
int main() { return 0; }
