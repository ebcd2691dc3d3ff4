// SPDX-License-Identifier: Apache-2.0
// Bit sizing of a version 2.0 volume, and the gate that admits only format
// version 0x201.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/params.h"

// The four field widths of one metadata entry, in bits (BitSizes). A sizing
// rule sets the widths it decides; the others keep these start values.
struct FormatBits {
  int Bits1 = 30;
  int Bits2 = 0;
  int Bits3 = 0;
  int Bits4 = 0;
};
// Reads the version, the two ratios and the hash flag of p.
FormatBits CalcFormatBits_v2(FILE *out, const FormatParams &p, uint64_t LogicalBlocks,
                             uint64_t PhysicalBlocks);
