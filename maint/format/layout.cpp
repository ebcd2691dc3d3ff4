// SPDX-License-Identifier: Apache-2.0
// Version 2.0 layout: write-block geometry, block counts, entry widths, the
// optional second volume, and the header with its checksum and report.
#include "format/layout.h"

#include <string>

#include "fatal.h"
#include "format/hdr20.h"
#include "format/report.h"

namespace {
constexpr uint32_t kCompPctMax = 400;  // --comp= above this is taken as 400
// The second volume (--vm2) gets room for 12/10 of the main volume's map,
// in whole stripe sets, plus 4 spare stripe sets.
constexpr uint64_t kVmRoomTenths = 12;
constexpr uint64_t kVmSpareStripeSets = 4;
// Its logical size in the header: one block per 682 logical blocks of the
// main volume (682 six-byte entries fill a 4096-byte block), plus 1088
// blocks beyond the map.
constexpr uint64_t kVmMapEntriesPerBlock = kBlockSize / 6;
constexpr uint64_t kVmExtraBlocks = 1088;
static_assert(kVmMapEntriesPerBlock == 682);
}  // namespace

EntryWidths ChooseEntryWidths(uint64_t PhysicalBlocks, uint64_t LogicalBlocks, bool comp) {
  struct Row {
    uint64_t max;
    uint32_t size;
    int bits1;
  };
  // Bounds are inclusive: 3 x 2^n blocks.
  static constexpr Row kPlain[] = {{0x30000000ULL, 4, 30},
                                   {0x3000000000ULL, 5, 38},
                                   {0x300000000000ULL, 6, 46},
                                   {0x30000000000000ULL, 7, 54},
                                   {0x3000000000000000ULL, 8, 62}};
  static constexpr Row kCompPhys[] = {{0xc0000ULL, 4, 0},
                                      {0xc000000ULL, 5, 0},
                                      {0xc00000000ULL, 6, 0},
                                      {0xc0000000000ULL, 7, 0},
                                      {0xc000000000000ULL, 8, 0}};
  static constexpr Row kCompLog[] = {{0xc00000ULL, 4, 24},
                                     {0xc0000000ULL, 5, 32},
                                     {0xc000000000ULL, 6, 40},
                                     {0xc00000000000ULL, 7, 48},
                                     {0xc0000000000000ULL, 8, 54}};
  auto find = [](const Row(&rows)[5], uint64_t count) -> const Row * {
    for (const Row &r : rows)
      if (count <= r.max) return &r;
    return nullptr;
  };
  EntryWidths w;
  const Row *phys = find(comp ? kCompPhys : kPlain, PhysicalBlocks);
  if (phys == nullptr) {
    // The message shows the physical count only for the plain table.
    w.ok = false;
    w.BadCount = comp ? LogicalBlocks : PhysicalBlocks;
    return w;
  }
  const Row *log = find(comp ? kCompLog : kPlain, LogicalBlocks);
  if (log == nullptr) {
    w.ok = false;
    w.BadCount = LogicalBlocks;
    return w;
  }
  w.LbaSz = phys->size;
  w.MetaSz = log->size;
  w.Bits1 = log->bits1;
  w.Bits2 = comp ? 6 : 2;
  w.Bits3 = comp ? 2 : 0;
  return w;
}

LayoutV20 ComputeLayoutV20(const FormatParams &p, uint64_t devSize) {
  LayoutV20 l;
  CheckWtBlkSettings(p);
  l.WtBlkSz = p.WtBlkBytes();
  const uint64_t stripe = p.WtBlkStripeCnt;
  CheckVolumeFits(devSize, l.WtBlkSz, p.WtBlkStripeCnt, p.Offset0);
  l.dev_NumWtBlks = (devSize - p.Offset0) / p.StripeBytes();

  l.Comp = p.Comp > kCompPctMax ? kCompPctMax : p.Comp;
  l.ProvPct = static_cast<int32_t>(l.Comp != 0 ? l.Comp * p.Free / kPercent : p.Free);
  l.PhysicalBlocks = l.dev_NumWtBlks * (l.WtBlkSz / kBlockSize) * stripe;
  l.LogicalBlocks = l.PhysicalBlocks * static_cast<uint64_t>(l.ProvPct) / kPercent;

  l.w = ChooseEntryWidths(l.PhysicalBlocks, l.LogicalBlocks, p.Comp != 0);
  if (!l.w.ok) return l;

  l.main_NumWtBlks = l.dev_NumWtBlks;
  if (p.Vm2Flg) {
    l.VmLogicalBlocks = l.LogicalBlocks * l.w.LbaSz / kBlockSize + 1;
    const uint64_t stripeBlocks = l.WtBlkSz / kBlockSize * stripe;
    l.vm_StripeSets = l.VmLogicalBlocks * kVmRoomTenths / (stripeBlocks * 10) + kVmSpareStripeSets;
    if (l.vm_StripeSets >= l.dev_NumWtBlks)
      Fatal("format: the second volume needs %llu stripe sets; the device holds %llu.\n",
            static_cast<unsigned long long>(l.vm_StripeSets),
            static_cast<unsigned long long>(l.dev_NumWtBlks));
    l.main_NumWtBlks = l.dev_NumWtBlks - l.vm_StripeSets;
  }
  l.vm_NumWtBlks = l.vm_StripeSets * stripe;
  l.main_NumWtBlks *= stripe;
  l.LogicalBlks =
      l.main_NumWtBlks * l.WtBlkSz / kBlockSize * static_cast<uint64_t>(l.ProvPct) / kPercent;
  return l;
}

void SetupDevHdr_v2(FILE *out, Device &dev, const FormatParams &p) {
  uint8_t RandStr[32];
  LoadRand(RandStr, sizeof RandStr, RandMsgs::Layout);
  const LayoutV20 l = ComputeLayoutV20(p, dev.DevSize);

  std::fprintf(out,
               "dev_NumWtBlks    = %lld\nWtBlkSz          = %d\nv_WtBlkStripeCnt = %d\n"
               "PhysicalBlocks   = %lld\nProvPct          = %d\nLogicalBlocks    = %lld\n",
               static_cast<long long>(l.dev_NumWtBlks), static_cast<int>(l.WtBlkSz),
               static_cast<int>(p.WtBlkStripeCnt), static_cast<long long>(l.PhysicalBlocks),
               l.ProvPct, static_cast<long long>(l.LogicalBlocks));
  if (!l.w.ok) {
    std::fflush(out);
    FatalErr("PhysicalBlocks = %llx error.", static_cast<unsigned long long>(l.w.BadCount));
  }
  std::fprintf(out, "LbaSz            = %d\nMetaSz           = %d\n", static_cast<int>(l.w.LbaSz),
               static_cast<int>(l.w.MetaSz));
  if (p.Vm2Flg)
    std::fprintf(out, "VmLogicalBlocks  = %lld\n  vm_NumWtBlks   = %d\n",
                 static_cast<long long>(l.VmLogicalBlocks), static_cast<int>(l.vm_StripeSets));
  std::fprintf(out, "main_NumWtBlks   = %d\n", static_cast<int>(l.main_NumWtBlks));

  DevHdr20Fields f;
  f.BitSizes[0] = static_cast<uint8_t>(l.w.Bits1);
  f.BitSizes[1] = static_cast<uint8_t>(l.w.Bits2);
  f.BitSizes[2] = static_cast<uint8_t>(p.Comp != 0 ? l.w.Bits3 : 0);
  f.PhysicalBlocks = l.main_NumWtBlks * l.WtBlkSz / kBlockSize;
  f.LogicalBlocks = l.LogicalBlks;
  f.WtBlkBytes = l.WtBlkSz;
  f.FeatureBits = kFeatAlways | kFeatV20Layout | OptionFeatureBits(p);
  DEV_HDR_20 &h = BuildDevHdr20(dev.DevHdr, p, f, RandStr);
  if (p.Vm2Flg) {
    h.vm_status.set(1);
    h.vm_LogicalBlocks.set(l.LogicalBlks / kVmMapEntriesPerBlock + kVmExtraBlocks);
    h.vm_PhysicalBlocks.set(l.vm_NumWtBlks * l.WtBlkSz / kBlockSize);
    h.vm_Block0Off.set(p.Offset0);
    h.vm_BitSizes[0] = static_cast<uint8_t>(l.w.Bits1);
    h.vm_BitSizes[1] = static_cast<uint8_t>(p.Vm2CompFlg ? l.w.Bits2 : l.w.Bits3);
    h.vm_BitSizes[2] = static_cast<uint8_t>(p.Vm2CompFlg ? l.w.Bits3 : 0);
  }
  const std::string opts = FormatOpts(p, p.Vm2Flg);
  h.mm3_64.set(HdrChecksum(dev.DevHdr));  // last change to the header

  PrintFormatReport(out, dev.DevSize, l.WtBlkSz, p.WtSegSz, opts, h);
}
