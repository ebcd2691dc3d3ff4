// SPDX-License-Identifier: Apache-2.0
#include "bench.h"
#include "fatal.h"

int main(int argc, char **argv) {
  try {
    return RunBench(argc, argv);
  } catch (const BenchFatal &e) {
    e.Print();
    return 1;
  }
}
