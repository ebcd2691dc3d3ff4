// SPDX-License-Identifier: Apache-2.0
// Writes the log device image of the fault sweep: three segments of 6144
// sectors (3 MiB, so a copy reads and writes it in several pieces) with data,
// zero-fill and one-fill entries, later ones overlapping earlier targets.
//   log_image PATH
#include <cstdio>

#include "../unit/log_builders.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: log_image PATH\n");
    return 1;
  }
  logimg::LogImage img(6144);
  img.Segment(57, 1, {{5000, 40, 0}, {5100, 16, 1}, {5200, 0, 0}});
  img.Segment(230, 2, {{5000, 64, 0}, {6000, 8, 2}, {7000, 100, 0}});
  img.Segment(281, 3, {{5020, 50, 0}});
  return img.WriteFile(argv[1]) ? 0 : 1;
}
