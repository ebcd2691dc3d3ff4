// SPDX-License-Identifier: Apache-2.0
// Version 2.0 layout: write-block geometry, block counts, entry widths, the
// optional second volume, and the header of the plain format.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/params.h"
#include "xtl.h"

// Entry widths chosen from the first-pass block counts.
struct EntryWidths {
  uint32_t LbaSz = 0;   // bytes, by the physical count
  uint32_t MetaSz = 0;  // bytes, by the logical count
  int Bits1 = 0;
  int Bits2 = 0;
  int Bits3 = 0;            // compression only; 0 (the start value) without
  bool ok = true;           // false: a count is beyond the last row
  uint64_t BadCount = 0;    // the count the refusal shows
};
EntryWidths ChooseEntryWidths(uint64_t PhysicalBlocks, uint64_t LogicalBlocks, bool comp);

// Every number of the version 2.0 layout; block counts in 4096-byte blocks.
struct LayoutV20 {
  uint64_t WtBlkSz = 0;         // bytes
  uint32_t Comp = 0;            // --comp= percent, taken as 400 above 400
  uint64_t dev_NumWtBlks = 0;   // stripe sets on the device
  uint64_t PhysicalBlocks = 0;  // first pass, whole device
  uint64_t LogicalBlocks = 0;   // first pass, whole device
  int32_t ProvPct = 0;
  EntryWidths w;
  uint64_t VmLogicalBlocks = 0;
  uint64_t vm_NumWtBlks = 0;    // second volume, write blocks
  uint64_t vm_StripeSets = 0;   // second volume, stripe sets
  uint64_t main_NumWtBlks = 0;  // write blocks
  uint64_t LogicalBlks = 0;     // final logical count of the main volume
};

// The geometry and counts of the layout for a device of devSize bytes (all
// but the random tag, the header and the report), from parameters with the
// defaults applied; refuses meaningless geometry. Prints nothing; a count
// beyond the entry-width tables comes back with w.ok false.
LayoutV20 ComputeLayoutV20(const FormatParams &p, uint64_t devSize);

// SetupDevHdr_v2 of the device already open (dev.DevSize set): trace, header
// into dev.DevHdr, checksum, report.
void SetupDevHdr_v2(FILE *out, Device &dev, const FormatParams &p);
