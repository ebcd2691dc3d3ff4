// SPDX-License-Identifier: Apache-2.0
// The check over an in-memory device: the input is the device image from
// byte 0 (header block first). Byte 510 picks the range (bits 0-1: none,
// first, first and count, from bytes 508 and 509) and, with bit 7, puts a
// true checksum into the header so that mutated headers still reach the
// walk. Those bytes lie in the header's padding, which no field check looks
// at. The check must never ask for a block outside the device.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "check.h"
#include "fatal.h"
#include "mem_image.h"
#include "xtl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  if (size < kHdrSize) return 0;
  DevHdrBuf hdr;
  std::memcpy(hdr.raw, data, kHdrSize);
  const uint8_t ctl = data[510];
  if ((ctl & 0x80) != 0) hdr.h_20x.mm3_64.set(HdrChecksum(hdr));
  CheckRange range;
  range.first_given = (ctl & 3) >= 1;
  range.first = data[508];
  range.count_given = (ctl & 3) >= 2;
  range.count = data[509];
  MemImage m{data, size, true};
  CheckDev dev{std::span<const uint8_t, kHdrSize>(hdr.raw, kHdrSize), size, 0, ReadMemImage, &m};
  try {
    CheckReport r = CheckDevice(dev, range);
    PrintCheck(sink, r);
    PrintCheckJson(sink, r, "fuzz");
  } catch (const FatalError &) {
  }
  return 0;
}
