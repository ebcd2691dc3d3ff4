// SPDX-License-Identifier: Apache-2.0
// The summary a log scan prints, as the log tests expect it.
#pragma once

#include <cstdio>
#include <string>

namespace support {

inline const std::string kLogEmpty = "    Log appears to be empty.\n";

// The summary of a valid log: segments (first chain/second chain), blocks
// and sectors.
inline std::string LogValid(int segs, int cnt, int cnt2, int blocks, int sectors) {
  char b[256];
  std::snprintf(b, sizeof b,
                "    Log appears to be valid.\n      num segments = %d  (%d/%d)\n"
                "      num blocks   = %d\n      num sectors  = %d\n",
                segs, cnt, cnt2, blocks, sectors);
  return b;
}

}  // namespace support
