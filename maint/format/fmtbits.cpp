// SPDX-License-Identifier: Apache-2.0
// Bit sizing of a version 2.0 volume: the widths of the fields of one
// metadata entry. Also the gate that admits only format version 0x201.
#include "format/fmtbits.h"

#include "fatal.h"

namespace {
// The trace line of the plain rule has always shown this number.
constexpr int kPlainTraceNumber = 1655;
// De-duplicated and compressed volume: the second field holds the physical
// block number and 24 bits more; the third is one bit; the fourth picks one
// of the 64 chunks of a compressed block.
constexpr int kPhysExtraBits = 24;
constexpr int kDdcBits3 = 1;
constexpr int kChunkBits = 6;
}  // namespace

FormatBits CalcFormatBits_v2(FILE *out, const FormatParams &p, uint64_t LogicalBlocks,
                             uint64_t PhysicalBlocks) {
  if (p.Ver != 0x201) Fatal("Invalid v_Ver %d(%x)\n", static_cast<int>(p.Ver), p.Ver);
  FormatBits bits;

  if (p.DeDupe != 0 && p.Comp != 0) {
    // De-duplicated and compressed volume: widths from the counts, the four
    // fields rounded up to whole bytes, spare bits alternately to b1 and b2.
    int b1 = GetBits(LogicalBlocks);
    int b2 = GetBits(PhysicalBlocks) + kPhysExtraBits;
    bits.Bits3 = kDdcBits3;
    bits.Bits4 = kChunkBits;
    const int total = b1 + b2 + kDdcBits3 + kChunkBits;
    const int spare = (total + 7) / 8 * 8 - total;
    b1 += (spare + 1) / 2;
    b2 += spare / 2;
    bits.Bits1 = b1;
    bits.Bits2 = b2;
    return bits;
  }

  // Plain volume: a table of size classes. Each bound is 63/64 of
  // 2^Bits1, minus one; with the hash flag Bits1 + 2 + Bits2 = 64. Bits3
  // and Bits4 keep their start values.
  std::fprintf(out, "%s(%d)  LogicalBlocks= %llx\n", "CalcFormatBits_v2", kPlainTraceNumber,
               static_cast<unsigned long long>(LogicalBlocks));
  struct Row {
    uint64_t max;
    const char *msg;
    int bits1;
    int hashBits;
  };
  static constexpr Row kRows[] = {
      {4128767ULL, "Version 2.0 format for <= 4TB volume.  %lld.\n", 22, 40},
      {1056964607ULL, "Version 2.0 format for <= 64TB volume  %lld.\n", 30, 32},
      {270582939647ULL, "Version 2.0 format for <= 64TB volume.  %lld.\n", 38, 24},
      {69269232549887ULL, "Version 2.0 format for <= 16PB volume.  %lld.\n", 46, 16},
  };
  for (const Row &r : kRows) {
    if (LogicalBlocks > r.max) continue;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::fprintf(out, r.msg, static_cast<long long>(LogicalBlocks));
#pragma GCC diagnostic pop
    bits.Bits1 = r.bits1;
    bits.Bits2 = p.HashFlg ? r.hashBits : 0;
    return bits;
  }
  std::fflush(out);
  Fatal("Volume is > 256PB.  Version 2.0 format not supported.  %lld.\n",
        static_cast<long long>(LogicalBlocks));
}
