// SPDX-License-Identifier: Apache-2.0
// Log scan and listing over an arbitrary log image held in memory: no device,
// no temp file. The image is the log device byte for byte.
#include <cstdint>
#include <cstdio>

#include "fatal.h"
#include "logscan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The scan reads every sector at least once; keep one input's work bounded.
  if (size > (size_t{4} << 20)) return 0;
  static FILE *sink = std::fopen("/dev/null", "w");
  try {
    MemLogSectors src(data, size);
    const LogList log = ScanLogSectors(src);
    PrintLogSummary(sink, log);
    DispLog(sink, log);
  } catch (const FatalError &) {
  }
  return 0;
}
