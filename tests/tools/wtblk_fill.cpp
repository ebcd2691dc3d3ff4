// SPDX-License-Identifier: Apache-2.0
// Builds a sparse device image for the check benchmark with the test
// builder: the builder's version 2.0 header (1 MiB write blocks, data area
// from 1 MiB on) and `written` write blocks from 0 on, each filled with
// `segs` segments of one metadata block and its copy, every header with its
// true checksum.
//   wtblk_fill IMAGE SIZE_MIB WRITTEN SEGS
// Prints the number of write blocks and of metadata blocks written.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wtblk_image.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: wtblk_fill IMAGE SIZE_MIB WRITTEN SEGS\n");
    return 1;
  }
  const uint64_t mib = std::strtoull(argv[2], nullptr, 0);
  const uint64_t written = std::strtoull(argv[3], nullptr, 0);
  const uint32_t segs = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0));
  if (mib < 2 || written > mib - 1 || segs == 0 || 256 % segs != 0) {
    std::fprintf(stderr, "wtblk_fill: need SIZE_MIB >= 2, WRITTEN < SIZE_MIB, SEGS dividing 256\n");
    return 1;
  }
  wtblk::Image img(argv[1], mib << 20);
  img.hdr.h_20x.WtBlkStripe.set(1);
  img.WriteHeader();
  // Each segment: its first metadata block, data, padding, the copy.
  std::vector<wtblk::Seg> layout(segs);
  for (uint32_t i = 0; i < segs; i++) {
    wtblk::Seg &s = layout[i];
    s.data_sz = s.nr_data = 256 / segs - 2 - 4;
    s.pad = 4;
    s.segn = static_cast<uint16_t>(i + 1);
  }
  uint64_t metas = 0;
  for (uint64_t t = 0; t < written; t++) {
    for (wtblk::Seg &s : layout) s.seq = static_cast<int64_t>(t * segs + s.segn);
    metas += img.WriteSegments(t, layout).size();
    if (::testing::Test::HasFailure()) return 1;
  }
  std::printf("%llu %llu\n", static_cast<unsigned long long>(mib - 1),
              static_cast<unsigned long long>(metas));
  return 0;
}
