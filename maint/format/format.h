// The format command: version 2.0 layout, bit sizing, volume set-up, the
// de-dupe and compression two-volume sizing, and the format report.
//
// Every printer takes the FILE* it writes to (stdout in the program), so tests
// capture the trace and the report. Failures go through Fatal/FatalErr.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "xtl.h"

// ---------------------------------------------------------------------------
// Numbers shared by the format paths

inline constexpr uint32_t kKiB = 1024;              // bytes
inline constexpr uint32_t kFreeDefault = 90;        // --free= percent when 0 or out of range
inline constexpr uint32_t kFreeMin = 10;            // --free= percents kept as given: 10..95
inline constexpr uint32_t kFreeMax = 95;
inline constexpr uint32_t kWtBlkKiBDefault = 1024;  // --wtblksz= 0 on a single volume: 1 MiB
inline constexpr uint32_t kPercent = 100;           // ratios and shares are in percent

// ---------------------------------------------------------------------------
// Driver and header write (format.cpp)

// The format on the device value dev, which the format opens (and which keeps
// the header built and the device's size after --devsz=).
void DoFormat(FILE *out, Device &dev);
// Opens v_DevName for a format, exclusively, before anything is written:
// refuses a regular file in which the header block at v_HdrOff would not lie
// whole (CheckHdrBlockFits), then warns, and on a terminal asks, when the
// device holds an XTL header or a foreign signature (GuardFormat).
Device OpenFormatDev();
void CheckHdrBlockFits(const Device &dev);
// Writes dev.DevHdr at sector v_HdrOff + HdrN: the whole 4096-byte header
// block for HdrN 0, the bare 512-byte record otherwise; then flushes the
// device. Returns the bytes written.
int WriteDevHdr(const Device &dev, int HdrN);
// The driver's default counts for a device of devSize bytes, in 4096-byte
// blocks: the whole device, and the --free= share of it (v_Free normalised
// to 10..95 in place). Only the --ver=11 path uses them.
struct DefaultCounts {
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;
};
DefaultCounts GetDefaultCounts(uint64_t devSize);

// What the volume headers of a device differ in among the fields that every
// version 2.0 header carries. Block counts in 4096-byte blocks.
struct DevHdr20Fields {
  uint8_t BitSizes[4] = {};
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;
  uint64_t WtBlkBytes = 0;   // write-block size in bytes
  uint32_t FeatureBits = 0;  // the whole word
};
// Clears DevHdr and fills it as a version 2.0 header: the tag, bytes 12..31
// of Str from RandStr (32 bytes), the given fields, and from the settings
// MetaVersion, Block0Off, WriteSegmentSize, WtBlkStripe, the ECC fields,
// MetaDupeCnt and the hash types. The caller adds the fields of its own path,
// then the checksum. Returns the version 2.0 view of DevHdr.
DEV_HDR_20 &BuildDevHdr20(DevHdrBuf &DevHdr, const DevHdr20Fields &f, const uint8_t *RandStr);

// Refusals of settings that make the layout arithmetic meaningless; each
// prints one message and ends with status 1 before anything is written.
void CheckWtBlkSettings();  // --wtblkstripe= and --wtblksz=
// A volume that ends at byte volEnd, starts its data at offset0 and is laid
// out in stripe sets of stripeCnt write blocks of wtBlkBytes each.
void CheckVolumeFits(uint64_t volEnd, uint64_t wtBlkBytes, uint32_t stripeCnt, uint64_t offset0);
// Bytes of a --devsz= bound given in MiB; a bound beyond 2^64 bytes saturates.
uint64_t DevSzBytes(uint64_t mib);

// ---------------------------------------------------------------------------
// Random signature bytes (layout.cpp)

// Fills len bytes from the random source ("/dev/urandom") with the layout's
// messages on standard error.
void LoadRand(uint8_t *dst, size_t len);
// The same with the volume set-up's messages on standard output.
void LoadRandVolume(uint8_t *dst, size_t len);
// Tests point the random source at a file of their own; "" restores
// /dev/urandom. The messages keep naming /dev/urandom.
void SetRandSource(const std::string &path);

// ---------------------------------------------------------------------------
// Version 2.0 layout (layout.cpp)

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
// but the random tag, the header and the report): applies the
// defaults and clamps to the settings in place (v_WtBlkSz, v_Offset0, v_Free,
// v_Comp) and refuses meaningless geometry. Prints nothing; a count beyond
// the entry-width tables comes back with w.ok false.
LayoutV20 ComputeLayoutV20(uint64_t devSize);

// SetupDevHdr_v2 of the device already open (dev.DevSize set): trace, header
// into dev.DevHdr, checksum, report.
void SetupDevHdr_v2(FILE *out, Device &dev);
// The options text of a version 2.0 header ("HASH_META" and the words; " VM2"
// only for the layout's second volume) and the feature bits of the options
// (without 0x0001, 0x2000 and migration).
std::string FormatOpts(bool vm2);
uint32_t OptionFeatureBits();

// ---------------------------------------------------------------------------
// Bit sizing (fmtbits.cpp)

// The four field widths of one metadata entry, in bits (BitSizes). A sizing
// rule sets the widths it decides; the others keep these start values.
struct FormatBits {
  int Bits1 = 30;
  int Bits2 = 0;
  int Bits3 = 0;
  int Bits4 = 0;
};
FormatBits CalcFormatBits_v2(FILE *out, uint64_t LogicalBlocks, uint64_t PhysicalBlocks);

// ---------------------------------------------------------------------------
// Volume set-up and write (volume.cpp)

// volEnd: the byte where the volume ends; logicalBlocks: 0 for the default.
// The header goes into dev.DevHdr; DoFormatN writes it through dev.fh.
void SetupDevHdr(FILE *out, Device &dev, uint64_t volEnd, uint64_t logicalBlocks);
void DoFormatN(FILE *out, Device &dev, int HdrN, uint64_t volEnd, uint64_t logicalBlocks);

// ---------------------------------------------------------------------------
// De-dupe and compression sizing (ddc.cpp). Block counts in 4096-byte blocks;
// WtBlkSz arguments are write-block sizes in blocks.

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
void DoFormatDDC(FILE *out, Device &dev);

// ---------------------------------------------------------------------------
// Format report (report.cpp)

// text: at least 24 characters. Returns text.
char *FmtComma(uint64_t x, char *text);
int32_t GiB(uint64_t x);
const char *GiB_u(uint64_t x);
int32_t GB(uint64_t x);
const char *GB_u(uint64_t x);
void PrintFormatReport(FILE *out, uint64_t devSize, uint64_t wtBlkSz, uint32_t wtSegSz,
                       const std::string &opts, const DEV_HDR_20 &h);
