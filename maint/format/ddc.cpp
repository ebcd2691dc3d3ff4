// SPDX-License-Identifier: Apache-2.0
// De-duplication and compression format: sizes the data volume's metadata
// tables, searches the smallest reserve of write blocks that holds them, and
// formats the data volume (header 0) and the VM volume (header 1).
#include "format/ddc.h"

#include <climits>

#include "fatal.h"
#include "format/hdr20.h"
#include "format/volume.h"

namespace {
constexpr uint64_t kWtBlkEntryBytes = 128;   // write-block table: one entry a write block
constexpr int kSlotPageBytes = 4088;         // slot-table bytes of a 4096-byte page
constexpr int kSlotEstimatePerBlock = 5;     // slot estimate: 5 a 4096-byte block
constexpr uint32_t kDdcWtBlkKiBDefault = 2048;  // --wtblksz= 0 on this path: 2 MiB
constexpr uint64_t kVmExtraLogical = 1024;   // VM volume: logical blocks beyond the tables

uint64_t Pages(uint64_t bytes) { return bytes / kBlockSize + (bytes % kBlockSize != 0 ? 1 : 0); }
}  // namespace

int GetPbaSz(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LogBlks) {
  const uint64_t est = WtBlkCnt * static_cast<uint64_t>(WtBlkSz) * kSlotEstimatePerBlock;
  int slots;
  if (est < (1ULL << 30))
    slots = 11;
  else if (est < (1ULL << 34))
    slots = 12;
  else if (est < (1ULL << 36))
    slots = 13;
  else
    Fatal("Volume SlotCnt %lld too large.\n", static_cast<long long>(est));
  int logs;
  if (LogBlks < (1ULL << 31))
    logs = 11;
  else if (LogBlks < (1ULL << 34))
    logs = 12;
  else if (LogBlks < (1ULL << 37))
    logs = 13;
  else
    Fatal("Volume LogBlks %lld too large.\n", static_cast<long long>(LogBlks));
  int wtblk;
  if (WtBlkSz <= 4095)
    wtblk = 11;
  else if (WtBlkSz <= 8191)
    wtblk = 12;
  else if (WtBlkSz <= 65535)
    wtblk = 13;
  else
    Fatal("Volume WtBlk %d is too large.\n", WtBlkSz);
  int sz = slots > logs ? slots : logs;
  return sz > wtblk ? sz : wtblk;
}

int GetSlotsPerWtBlk(int WtBlkSz, int PbaSz) {
  const int SlotsPerPg = kSlotPageBytes / PbaSz - 1;
  return (4 * WtBlkSz / SlotsPerPg + 1) * SlotsPerPg;
}

int GetLbaSz(int PbaSz, int32_t WtBlkCnt) {
  const int LbaBits1 = PbaSz == 11 ? 54 : PbaSz == 12 ? 58 : 60;
  return (LbaBits1 + GetBits(static_cast<uint64_t>(static_cast<int64_t>(WtBlkCnt))) + 7) / 8;
}

int GetPbaHashSz(int PbaSz) { return PbaSz == 11 ? 32 : PbaSz == 12 ? 34 : 36; }

uint64_t GetPbaOvfSz(uint64_t LbaCnt, FILE *trace) {
  const int LbaBits = GetBits(LbaCnt) + 1;
  const uint64_t entries = Pwr(LbaBits / 2 + 1, trace);
  return entries * (LbaBits > 32 ? 8 : 4);
}

VmTables GetVmTables(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LbaCnt, FILE *trace) {
  VmTables t;
  t.PbaSz = GetPbaSz(WtBlkCnt, WtBlkSz, LbaCnt);
  t.SlotsPerWtBlk = GetSlotsPerWtBlk(WtBlkSz, t.PbaSz);
  t.LbaSz = GetLbaSz(t.PbaSz, static_cast<int32_t>(WtBlkCnt));
  t.WtBlkBytes = WtBlkCnt * kWtBlkEntryBytes;
  t.LbaBytes = LbaCnt * static_cast<uint64_t>(t.LbaSz);
  const uint64_t SlotCnt = WtBlkCnt * static_cast<uint64_t>(t.SlotsPerWtBlk);
  t.SlotHashCnt = Pwr(GetBits(SlotCnt), trace);
  t.HashBytes = (t.SlotHashCnt * static_cast<uint64_t>(GetPbaHashSz(t.PbaSz)) + 7) / 8;
  t.SlotBytes = SlotCnt * static_cast<uint64_t>(t.PbaSz);
  t.OvfBytes = GetPbaOvfSz(LbaCnt, trace);
  const uint64_t pages = 1 + Pages(t.WtBlkBytes) + Pages(t.LbaBytes) + Pages(t.HashBytes) +
                         Pages(t.SlotBytes) + Pages(t.OvfBytes);
  t.Blocks = 2 * pages + 2;
  return t;
}

int GetVmSize(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LbaCnt, FILE *trace) {
  const uint64_t blocks = GetVmTables(WtBlkCnt, WtBlkSz, LbaCnt, trace).Blocks;
  if (blocks > INT_MAX) Fatal("Error computing VmSz.");
  return static_cast<int>(blocks);
}

int GetVmWtBlkCnt(uint64_t WtBlkCnt, int WtBlkSz, uint64_t LogBlks, FILE *trace) {
  const int64_t size = GetVmSize(WtBlkCnt, WtBlkSz, LogBlks, trace);
  return static_cast<int>((size + WtBlkSz - 1) / WtBlkSz);
}

int GetVmWtBlkCnt2(uint64_t WtBlkCnt, int WtBlkSz, uint32_t Free, uint32_t Comp, uint32_t DeDupe,
                   FILE *trace) {
  // Left to right, each division truncating; a product beyond 64 bits is refused.
  uint64_t n = WtBlkCnt;
  if (__builtin_mul_overflow(n, static_cast<uint64_t>(WtBlkSz), &n) ||
      __builtin_mul_overflow(n, uint64_t{Free}, &n) ||
      __builtin_mul_overflow(n / 100, uint64_t{Comp}, &n) ||
      __builtin_mul_overflow(n / 100, uint64_t{DeDupe}, &n))
    Fatal("format: the logical block count at --comp=%u and --dedupe=%u is beyond 64 bits.\n",
          Comp, DeDupe);
  return GetVmWtBlkCnt(WtBlkCnt, WtBlkSz, n / 100, trace);
}

DdcPlan PlanDDC(uint64_t devBytes, int32_t BPW, uint32_t Free, uint32_t Comp, uint32_t DeDupe,
                FILE *trace) {
  DdcPlan p;
  p.BPW = BPW;
  const uint64_t wtBlks = devBytes / kBlockSize / static_cast<uint64_t>(BPW);
  if (wtBlks > static_cast<uint64_t>(INT32_MAX))
    Fatal("format: %llu write blocks are more than a volume can count; use a larger "
          "--wtblksz=.\n",
          static_cast<unsigned long long>(wtBlks));
  p.TotWtBlks = static_cast<int32_t>(wtBlks) - 1;
  if (p.TotWtBlks <= 0) Fatal("Error computing VmSz.");
  // One write block per step: the table sizes are not monotone across the
  // PBA size classes and the power-of-two hash table, so no shortcut. Each step
  // sizes its tables in full, Pwr's line for a one-entry table included.
  for (int32_t i = 0;;) {
    const int32_t DataSz = p.TotWtBlks - i;
    const int32_t VmSz =
        GetVmWtBlkCnt2(static_cast<uint64_t>(DataSz), BPW, Free, Comp, DeDupe, trace);
    const int64_t VmSz2 = int64_t{VmSz} * 10 / 9 + 1;  // 64-bit: VmSz x 10 may pass 2^31
    if (VmSz2 <= i) {
      p.i = i;
      p.DataSz = DataSz;
      p.VmSz = VmSz;
      p.VmSz2 = static_cast<int32_t>(VmSz2);
      return p;
    }
    if (++i >= p.TotWtBlks) Fatal("Error computing VmSz.");
  }
}

FormatParams DataVolumeParams(const FormatParams &p, uint32_t wtBlkKiB, uint64_t dataOff) {
  FormatParams d = p;
  d.WtBlkSz = wtBlkKiB;
  d.Offset0 = dataOff;  // the first byte after the reserve
  d.Free = VolumeFree(p.Free);
  return d;
}

FormatParams VmVolumeParams(const FormatParams &data) {
  FormatParams v = data;
  v.Offset0 = v.StripeBytes();
  v.Free = kFreeDefault;
  v.Comp = 0;
  v.DeDupe = 0;
  return v;
}

namespace {
void PrintPlan(FILE *out, const DdcPlan &p) {
  const auto bpw = static_cast<long long>(p.BPW);
  std::fprintf(out, "\n1:  Format for de-dupe and compression.\n\n");
  std::fprintf(out, "         DataSz = %8d WtBlks (%10lld MB)\n", p.DataSz, p.DataSz * bpw / 256);
  std::fprintf(out, "         VmSz   = %8d WtBlks (%10lld MB)  holding %10lld MB\n\n", p.VmSz,
               p.VmSz2 * bpw / 256, p.VmSz * bpw / 256);
}

void FormatVolume(FILE *out, Device &dev, const FormatParams &p, int HdrN, uint64_t volEnd,
                  uint64_t logicalBlocks) {
  std::fprintf(out, "Calling DoFormatN(%d, %lld, %lld)\n\n", HdrN, static_cast<long long>(volEnd),
               static_cast<long long>(logicalBlocks));
  DoFormatN(out, dev, p, HdrN, volEnd, logicalBlocks);
  std::fprintf(out, "\n");
}
}  // namespace

void DoFormatDDC(FILE *out, Device &dev, const FormatParams &p, uint64_t devBytes) {
  const uint32_t Free = p.Free != 0 ? p.Free : kFreeDefault;
  const uint32_t Comp = p.Comp != 0 ? p.Comp : kPercent;
  const uint32_t DeDupe = p.DeDupe != 0 ? p.DeDupe : kPercent;
  const uint32_t wtBlkKiB = p.WtBlkSz != 0 ? p.WtBlkSz : kDdcWtBlkKiBDefault;
  const int32_t BPW = static_cast<int32_t>(wtBlkKiB / 4);
  const DdcPlan plan = PlanDDC(devBytes, BPW, Free, Comp, DeDupe, out);

  const uint64_t wtBlkBytes = uint64_t{static_cast<uint32_t>(BPW)} * kBlockSize;
  const uint64_t dataEnd = static_cast<uint64_t>(plan.TotWtBlks) * wtBlkBytes;
  const uint64_t dataOff = static_cast<uint64_t>(plan.i) * wtBlkBytes;
  const uint64_t vmEnd = static_cast<uint64_t>(plan.VmSz2) * wtBlkBytes;
  // Both volumes must hold a stripe set before the first header is written.
  CheckVolumeFits(dataEnd, wtBlkBytes, p.WtBlkStripeCnt, dataOff);
  CheckVolumeFits(vmEnd, wtBlkBytes, p.WtBlkStripeCnt, wtBlkBytes * p.WtBlkStripeCnt);
  PrintPlan(out, plan);

  // The data volume's logical count takes --free= as given (0 asks for the
  // volume's default).
  const FormatParams data = DataVolumeParams(p, wtBlkKiB, dataOff);
  FormatVolume(out, dev, data, 0, dataEnd,
               static_cast<uint64_t>(plan.DataSz) * static_cast<uint64_t>(BPW) * p.Free / 100);
  // VM volume: plain, from the start of the device, with the same write blocks.
  FormatVolume(out, dev, VmVolumeParams(data), 1, vmEnd,
               static_cast<uint64_t>(plan.VmSz) * static_cast<uint64_t>(BPW) + kVmExtraLogical);
}
