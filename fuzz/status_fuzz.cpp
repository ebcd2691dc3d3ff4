// SPDX-License-Identifier: Apache-2.0
// Arbitrary 512-byte headers through version recognition, the status display
// and the block-address mapping.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fatal.h"
#include "xtl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  if (size < kHdrSize) return 0;
  DevHdrBuf hdr{};
  std::memcpy(hdr.raw, data, kHdrSize);
  DispHdr(sink, hdr);

  // Whatever follows the header picks the mapping and a block address.
  ResetSettings();
  uint64_t pba = 0;
  std::memcpy(&pba, data + kHdrSize, std::min<size_t>(8, size - kHdrSize));
  v_Ver = size > kHdrSize + 8 && (data[kHdrSize + 8] & 1) != 0 ? 11 : 0x201;
  try {
    PbaToSector(hdr, static_cast<int64_t>(pba));
    PbaToSector(hdr, -1);
  } catch (const FatalError &) {
  }
  return 0;
}
