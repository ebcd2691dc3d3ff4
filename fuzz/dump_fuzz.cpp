// SPDX-License-Identifier: Apache-2.0
// The dump's walk over an in-memory device: the input is the device image
// from byte 0 (header block first); the walk finds each block by the
// header's mapping, and a block past the end fails the read.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fatal.h"
#include "mem_image.h"
#include "xtl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  if (size < kHdrSize) return 0;
  ResetSettings();
  Device dev;
  LoadHdr(dev, data);
  v_TrackN = data[kHdrSize - 1] & 3;  // a padding byte the walk never reads
  MemImage img{data, size};
  try {
    DumpWtBlk(sink, dev, v_TrackN, ReadMemImage, &img);
  } catch (const FatalError &) {
  }
  return 0;
}
