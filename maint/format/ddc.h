// SPDX-License-Identifier: Apache-2.0
// De-dupe and compression format: the sizing of the data volume's metadata
// tables, the reserve search, and the two volumes. Block counts in 4096-byte
// blocks; WtBlkSz arguments are write-block sizes in blocks.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/params.h"
#include "xtl.h"

int GetPbaSz(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LogBlks);
int GetSlotsPerWtBlk(int WtBlkSz, int PbaSz);
int GetLbaSz(int PbaSz, int32_t WtBlkCnt);
int GetPbaHashSz(int PbaSz);
// Where a table takes one entry (0 or 1 bits) the sizing prints Pwr's
// "bits = %d" line to trace; nullptr keeps it quiet.
uint64_t GetPbaOvfSz(uint64_t LbaCnt, FILE *trace = stdout);  // bytes

// The tables of one data volume, each in bytes.
struct VmTables {
  int PbaSz = 0;
  int SlotsPerWtBlk = 0;
  int LbaSz = 0;
  uint64_t SlotHashCnt = 0;
  uint64_t WtBlkBytes = 0, LbaBytes = 0, HashBytes = 0, SlotBytes = 0, OvfBytes = 0;
  uint64_t Blocks = 0;  // GetVmSize: 2 x (pages + header page) + 2
};
VmTables GetVmTables(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LbaCnt, FILE *trace = stdout);
int GetVmSize(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LbaCnt, FILE *trace = stdout);
int GetVmWtBlkCnt(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LogBlks, FILE *trace = stdout);
int GetVmWtBlkCnt2(uint64_t WtBlkCnt, int WtBlkSz, uint32_t Free, uint32_t Comp, uint32_t DeDupe,
                   FILE *trace = stdout);

// The outcome of the reserve search.
struct DdcPlan {
  int32_t BPW = 0;        // blocks per write block
  int32_t TotWtBlks = 0;
  int32_t i = 0;          // reserve: write blocks set aside for the VM volume
  int32_t DataSz = 0;
  int32_t VmSz = 0;
  int32_t VmSz2 = 0;
};
// The reserve search; every step's sizing prints to trace.
DdcPlan PlanDDC(uint64_t devBytes, int32_t BPW, uint32_t Free, uint32_t Comp, uint32_t DeDupe,
                FILE *trace = stdout);

// The parameters of the two volumes, from the format's own: the data volume
// starts at dataOff (after the reserve) with --free= taken within 10..95;
// the VM volume is plain, from one stripe set on, with --free= 90. Both have
// write blocks of wtBlkKiB.
FormatParams DataVolumeParams(const FormatParams &p, uint32_t wtBlkKiB, uint64_t dataOff);
FormatParams VmVolumeParams(const FormatParams &data);

// The format of the device already open, devBytes long (the --devsz= bound
// as given, or the device's size), with the format's parameters as given.
void DoFormatDDC(FILE *out, Device &dev, const FormatParams &p, uint64_t devBytes);
