#include "bench.h"
#include "fatal.h"

int main(int argc, char **argv) {
  try {
    return RunBench(argc, argv);
  } catch (const FatalError &e) {
    e.Print();
    return 1;
  }
}
