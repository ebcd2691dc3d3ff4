// Version 2.0 layout: write-block geometry, block counts, entry widths, the
// optional second volume, feature bits, the random tag and the checksum.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fatal.h"
#include "format.h"

namespace {
std::string RandPath = "/dev/urandom";

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

// Reads len bytes from the random source with one read; false when the
// source cannot be opened (errno kept) or gives fewer bytes.
enum class RandResult { Ok, OpenFailed, ShortRead };
RandResult ReadRand(uint8_t *dst, size_t len) {
  int fd = open(RandPath.c_str(), O_RDONLY);
  if (fd < 0) return RandResult::OpenFailed;
  ssize_t n = read(fd, dst, len);
  close(fd);
  return n == static_cast<ssize_t>(len) ? RandResult::Ok : RandResult::ShortRead;
}
}  // namespace

void SetRandSource(const std::string &path) { RandPath = path.empty() ? "/dev/urandom" : path; }

void LoadRand(uint8_t *dst, size_t len) {
  switch (ReadRand(dst, len)) {
    case RandResult::OpenFailed:
      FatalErr("Error opening /dev/urandom.");
    case RandResult::ShortRead:
      FatalErr("Error reading from /dev/random.");
    case RandResult::Ok:
      break;
  }
}

void LoadRandVolume(uint8_t *dst, size_t len) {
  switch (ReadRand(dst, len)) {
    case RandResult::OpenFailed:
      Fatal("Error opening /dev/urandom.");
    case RandResult::ShortRead:
      Fatal("Error reading random seed from /dev/urandom.");
    case RandResult::Ok:
      break;
  }
}

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

uint32_t OptionFeatureBits() {
  uint32_t bits = 0;
  if (v_QuickFlg != 0) bits |= kFeatQuickFmt;
  if (v_VmFlg != 0) bits |= kFeatVm;
  if (v_DeDupe != 0) bits |= kFeatDedupe;
  if (v_EccRaid5 != 0) bits |= kFeatEcc;
  if (v_EccRaid6 != 0) bits |= kFeatEcc6;
  if (v_SummaryMeta != 0) bits |= kFeatSummaryMeta;
  if (v_Comp != 0) bits |= kFeatCompress;
  return bits;
}

std::string FormatOpts(bool vm2) {
  std::string opts = "HASH_META";
  if (vm2) opts += " VM2";
  if (v_QuickFlg != 0) opts += " QUICK_FMT";
  if (v_VmFlg != 0) opts += " VM";
  if (v_DeDupe != 0) opts += " DEDUPE";
  if (v_EccRaid5 != 0) opts += " ECC";
  if (v_EccRaid6 != 0) opts += " ECC6";
  if (v_SummaryMeta != 0) opts += " SUMMARY_META";
  if (v_Comp != 0) opts += " COMPRESS";
  return opts;
}

LayoutV20 ComputeLayoutV20(uint64_t devSize) {
  LayoutV20 l;
  CheckWtBlkSettings();
  if (v_WtBlkSz == 0) v_WtBlkSz = kWtBlkKiBDefault;  // setting written back
  l.WtBlkSz = uint64_t{v_WtBlkSz} * kKiB;
  const uint64_t stripe = v_WtBlkStripeCnt;
  uint64_t stripeBytes;
  if (__builtin_mul_overflow(l.WtBlkSz, stripe, &stripeBytes)) stripeBytes = UINT64_MAX;
  if (v_Offset0 == 0) v_Offset0 = stripeBytes;  // setting written back
  if (v_Free == 0) v_Free = kFreeDefault;       // setting written back
  CheckVolumeFits(devSize, l.WtBlkSz, v_WtBlkStripeCnt, v_Offset0);
  l.dev_NumWtBlks = (devSize - v_Offset0) / stripeBytes;

  l.ProvPct = static_cast<int32_t>(v_Free);
  if (v_Comp != 0) {
    if (v_Comp > kCompPctMax) v_Comp = kCompPctMax;  // setting written back
    l.ProvPct = static_cast<int32_t>(v_Comp * v_Free / kPercent);
  }
  l.PhysicalBlocks = l.dev_NumWtBlks * (l.WtBlkSz / kBlockSize) * stripe;
  l.LogicalBlocks = l.PhysicalBlocks * static_cast<uint64_t>(l.ProvPct) / kPercent;

  l.w = ChooseEntryWidths(l.PhysicalBlocks, l.LogicalBlocks, v_Comp != 0);
  if (!l.w.ok) return l;

  l.main_NumWtBlks = l.dev_NumWtBlks;
  if (v_Vm2Flg != 0) {
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

void SetupDevHdr_v2(FILE *out, Device &dev) {
  uint8_t RandStr[32];
  LoadRand(RandStr, sizeof RandStr);
  const LayoutV20 l = ComputeLayoutV20(dev.DevSize);

  std::fprintf(out,
               "dev_NumWtBlks    = %lld\nWtBlkSz          = %d\nv_WtBlkStripeCnt = %d\n"
               "PhysicalBlocks   = %lld\nProvPct          = %d\nLogicalBlocks    = %lld\n",
               static_cast<long long>(l.dev_NumWtBlks), static_cast<int>(l.WtBlkSz),
               static_cast<int>(v_WtBlkStripeCnt), static_cast<long long>(l.PhysicalBlocks),
               l.ProvPct, static_cast<long long>(l.LogicalBlocks));
  if (!l.w.ok) {
    std::fflush(out);
    FatalErr("PhysicalBlocks = %llx error.", static_cast<unsigned long long>(l.w.BadCount));
  }
  std::fprintf(out, "LbaSz            = %d\nMetaSz           = %d\n", static_cast<int>(l.w.LbaSz),
               static_cast<int>(l.w.MetaSz));
  if (v_Vm2Flg != 0)
    std::fprintf(out, "VmLogicalBlocks  = %lld\n  vm_NumWtBlks   = %d\n",
                 static_cast<long long>(l.VmLogicalBlocks), static_cast<int>(l.vm_StripeSets));
  std::fprintf(out, "main_NumWtBlks   = %d\n", static_cast<int>(l.main_NumWtBlks));

  DevHdr20Fields f;
  f.BitSizes[0] = static_cast<uint8_t>(l.w.Bits1);
  f.BitSizes[1] = static_cast<uint8_t>(l.w.Bits2);
  f.BitSizes[2] = static_cast<uint8_t>(v_Comp != 0 ? l.w.Bits3 : 0);
  f.PhysicalBlocks = l.main_NumWtBlks * l.WtBlkSz / kBlockSize;
  f.LogicalBlocks = l.LogicalBlks;
  f.WtBlkBytes = l.WtBlkSz;
  f.FeatureBits = kFeatAlways | kFeatV20Layout | OptionFeatureBits();
  DEV_HDR_20 &h = BuildDevHdr20(dev.DevHdr, f, RandStr);
  if (v_Vm2Flg != 0) {
    h.vm_status.set(1);
    h.vm_LogicalBlocks.set(l.LogicalBlks / kVmMapEntriesPerBlock + kVmExtraBlocks);
    h.vm_PhysicalBlocks.set(l.vm_NumWtBlks * l.WtBlkSz / kBlockSize);
    h.vm_Block0Off.set(v_Offset0);
    h.vm_BitSizes[0] = static_cast<uint8_t>(l.w.Bits1);
    h.vm_BitSizes[1] = static_cast<uint8_t>(v_Vm2CompFlg != 0 ? l.w.Bits2 : l.w.Bits3);
    h.vm_BitSizes[2] = static_cast<uint8_t>(v_Vm2CompFlg != 0 ? l.w.Bits3 : 0);
  }
  const std::string opts = FormatOpts(v_Vm2Flg != 0);
  h.mm3_64.set(HdrChecksum(dev.DevHdr));  // last change to the header

  PrintFormatReport(out, dev.DevSize, l.WtBlkSz, v_WtSegSz, opts, h);
}
