// SPDX-License-Identifier: Apache-2.0
#include "fatal.h"
#include "xtl.h"

int main(int argc, char **argv) {
  try {
    return RunMaint(argc, argv);
  } catch (const FatalError &e) {
    e.Print();
    return e.status;
  }
}
