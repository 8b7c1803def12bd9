// The smallest program: its start is the unit of process-start cost in the launch benchmark.
int main() { return 0; }
