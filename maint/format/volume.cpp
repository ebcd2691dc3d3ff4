// Volume header set-up and write: one version 2.0 volume of a device, used
// by the --ver=11 path and twice by the de-dupe and compression format.
#include <climits>
#include <cstring>

#include "fatal.h"
#include "format.h"

namespace {
constexpr uint32_t kCompBytesDefault = 64;  // --compbytes= 0: compression unit in bytes
constexpr uint32_t kCompMaxDefault = 4;     // --compmax= 0
constexpr uint8_t kPlainBits2 = 2;          // second width of a plain volume
constexpr uint32_t kNoMigrationBlk = 2147483647;  // BlkN0 without a migration range

// The geometry of one volume. Block counts in 4096-byte blocks.
struct VolumeGeometry {
  uint64_t WtBlkBytes = 0;      // write-block size in bytes (v_WtBlkSz is in KiB)
  int32_t NumWtBlks = 0;        // write blocks, a whole number of stripe sets
  uint64_t DataSize = 0;        // bytes in those write blocks
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;   // after the de-dupe and compression ratios
};

// The write blocks between the data offset and volEnd, the block counts, and
// the defaults written back to the settings on the way.
VolumeGeometry GetVolumeGeometry(uint64_t volEnd, uint64_t logicalBlocks) {
  const uint64_t ratio1 = v_DeDupe != 0 ? v_DeDupe : kPercent;  // OverCommitRatio1
  const uint64_t ratio2 = v_Comp != 0 ? v_Comp : kPercent;      // OverCommitRatio2
  VolumeGeometry g;
  CheckWtBlkSettings();
  if (v_WtBlkSz == 0) v_WtBlkSz = kWtBlkKiBDefault;  // setting written back, in KiB
  g.WtBlkBytes = uint64_t{v_WtBlkSz} * kKiB;
  const uint64_t stripe = v_WtBlkStripeCnt;
  if (v_Offset0 == 0) v_Offset0 = g.WtBlkBytes * stripe;  // setting written back
  CheckVolumeFits(volEnd, g.WtBlkBytes, v_WtBlkStripeCnt, v_Offset0);
  const uint64_t wtBlks = (volEnd - v_Offset0) / g.WtBlkBytes;
  if (wtBlks > INT32_MAX)
    Fatal("format: %llu write blocks are more than a volume can count; use a larger "
          "--wtblksz=.\n",
          static_cast<unsigned long long>(wtBlks));
  g.NumWtBlks = static_cast<int32_t>(wtBlks);
  g.NumWtBlks -= static_cast<int32_t>(static_cast<uint64_t>(g.NumWtBlks) % stripe);
  g.DataSize = static_cast<uint64_t>(g.NumWtBlks) * g.WtBlkBytes;
  g.PhysicalBlocks = g.DataSize / kBlockSize;

  // setting written back
  if (v_Free < kFreeMin || v_Free > kFreeMax) v_Free = kFreeDefault;
  if (logicalBlocks == 0) logicalBlocks = g.PhysicalBlocks * v_Free / kPercent;
  if (__builtin_mul_overflow(logicalBlocks, ratio1, &g.LogicalBlocks) ||
      __builtin_mul_overflow(g.LogicalBlocks, ratio2, &g.LogicalBlocks))
    Fatal("format: the logical block count at --comp=%u and --dedupe=%u is beyond 64 bits.\n",
          v_Comp, v_DeDupe);
  g.LogicalBlocks /= uint64_t{kPercent} * kPercent;  // the two ratios
  return g;
}

void PrintVolumeLines(FILE *out, const VolumeGeometry &g, uint64_t volEnd) {
  std::fprintf(out,
               "Formatting: Ver     = %10d (0x%x)    DataSz  = %10d M\n"
               "            Off0    = %10lld sectors    PhyBlks = %10lld\n"
               "            WtBlkSz = %10d K          LogBlks = %10lld\n"
               "            WtSegSz = %10d K          LogSz   = %10lld M\n"
               "            DevSz   = %10d M\n",
               static_cast<int>(v_Ver), v_Ver,
               static_cast<int>(static_cast<uint32_t>(g.DataSize >> 20)),
               static_cast<long long>(v_Offset0 / kSectorSize),
               static_cast<long long>(g.PhysicalBlocks), static_cast<int>(v_WtBlkSz),
               static_cast<long long>(g.LogicalBlocks), static_cast<int>(v_WtSegSz),
               static_cast<long long>(g.LogicalBlocks / 256),
               static_cast<int>(static_cast<uint32_t>(volEnd >> 20)));
}

// A de-duplicated or compressed volume takes the four widths; a plain one
// Bits1, 2, Bits2, 0 (with the hash flag, 64 bits in all).
void SetBitSizes(uint8_t (&BitSizes)[4], const FormatBits &bits) {
  const bool ddc = v_DeDupe != 0 || v_Comp != 0;
  BitSizes[0] = static_cast<uint8_t>(bits.Bits1);
  BitSizes[1] = static_cast<uint8_t>(ddc ? bits.Bits2 : kPlainBits2);
  BitSizes[2] = static_cast<uint8_t>(ddc ? bits.Bits3 : bits.Bits2);
  BitSizes[3] = static_cast<uint8_t>(ddc ? bits.Bits4 : 0);
}

// DevHdr for the volume: the common fields, then placement shift,
// migration range and compression unit.
DEV_HDR_20 &FillVolumeHdr(DevHdrBuf &DevHdr, const VolumeGeometry &g, const FormatBits &bits,
                          const uint8_t *RandStr) {
  DevHdr20Fields f;
  SetBitSizes(f.BitSizes, bits);
  f.PhysicalBlocks = g.PhysicalBlocks;
  f.LogicalBlocks = g.LogicalBlocks;
  f.WtBlkBytes = g.WtBlkBytes;
  f.FeatureBits = kFeatAlways | OptionFeatureBits() | (v_Migrate_Flg != 0 ? kFeatMigrate : 0);
  DEV_HDR_20 &h = BuildDevHdr20(DevHdr, f, RandStr);
  h.ShiftVolWbCnt.set(v_SvWbCnt);
  h.ShiftVolSkipSectors.set(v_SvScCnt);
  if (v_Migrate_Flg != 0) {
    h.Migrate_LinOff0.set(v_Migrate_LinOff0);
    h.Migrate_LinOff1.set(v_Migrate_LinOff1);
    h.Migrate_LinBlks.set(v_Migrate_LinBlks);
  }
  if (v_Comp != 0) {
    if (v_CompBytes == 0) v_CompBytes = kCompBytesDefault;  // setting written back
    if (v_CompMax == 0) v_CompMax = kCompMaxDefault;        // setting written back
    h.CompBytes.set(static_cast<uint16_t>(v_CompBytes));
    h.CompMax.set(static_cast<uint16_t>(v_CompMax));
  }
  return h;
}

void PrintVolumeOpts(FILE *out, const DEV_HDR_20 &h) {
  const std::string opts = FormatOpts(false);
  std::fprintf(out, "            %s   Dupe = %d  Bit Sizes = %d/%d/%d/%d\n", opts.c_str(),
               h.MetaDupeCnt, h.BitSizes[0], h.BitSizes[1], h.BitSizes[2], h.BitSizes[3]);
  if (v_EccRaid5 != 0 || v_EccRaid6 != 0)
    std::fprintf(out, "            ECC width/depth = %d/%d\n", h.EccWidth, h.EccDepth);
}
// Full format: prepares the image of the volume's first write block from the
// header just written, prints the three counts and ends the run.
[[noreturn]] void PrepareFirstWtBlk(FILE *out, Device &dev) {
  const DEV_HDR_20 &h = dev.DevHdr.h_20x;
  const uint32_t cluster = h.ClusterSize.get();
  const uint32_t MetaBits = uint32_t{h.BitSizes[0]} + h.BitSizes[1] + h.BitSizes[2];
  const uint32_t entryBytes = (MetaBits + 7) / 8;
  const uint32_t Meta1Cnt = kMetaBytes / (entryBytes != 0 ? entryBytes : 1);
  const uint32_t SumCnt = (cluster + Meta1Cnt - 1) / Meta1Cnt;
  const uint64_t SumOff = uint64_t{cluster - SumCnt} * kBlockSize;

  const uint64_t size = uint64_t{cluster} * kBlockSize;
  if (size > INT_MAX) Fatal("Error allocating buf, size = %d\n", static_cast<int>(size & INT_MAX));
  uint8_t *wb = InitBuf(dev, static_cast<int>(size));
  BLK_HDR_H_20x bh{};
  std::memcpy(bh.Str, h.Str, sizeof bh.Str);
  bh.seq.set(-1);
  bh.ReplN = 1;
  bh.SegN.set(1);
  bh.SegI.set(1);
  bh.NrPadBlocks.set(cluster - SumCnt - 1);
  std::memcpy(wb, &bh, sizeof bh);
  std::memcpy(wb + SumOff, &bh, sizeof bh);

  uint32_t BlkN0 = kNoMigrationBlk;
  uint32_t BlkN1 = 0;
  if ((h.FeatureBits.get() & kFeatMigrate) != 0 && h.Migrate_LinBlks.get() != 0) {
    BlkN0 = static_cast<uint32_t>(h.Migrate_LinOff0.get() / cluster);
    BlkN1 = static_cast<uint32_t>(
        (h.Migrate_LinOff0.get() + h.Migrate_LinBlks.get() + cluster - 1) / cluster);
  }
  const uint32_t BlkCnt = static_cast<uint32_t>(h.PhysicalBlocks.get() / cluster);
  std::fflush(out);
  Fatal("BlkCnt = %d\nBlkN0 = %d\nBlkN1 = %d\n", static_cast<int>(BlkCnt),
        static_cast<int>(BlkN0), static_cast<int>(BlkN1));
}

}  // namespace

void SetupDevHdr(FILE *out, Device &dev, uint64_t volEnd, uint64_t logicalBlocks) {
  const VolumeGeometry g = GetVolumeGeometry(volEnd, logicalBlocks);
  const FormatBits bits = CalcFormatBits_v2(out, g.LogicalBlocks, g.PhysicalBlocks);
  uint8_t RandStr[32];
  LoadRandVolume(RandStr, sizeof RandStr);
  PrintVolumeLines(out, g, volEnd);
  DEV_HDR_20 &h = FillVolumeHdr(dev.DevHdr, g, bits, RandStr);
  PrintVolumeOpts(out, h);
  h.mm3_64.set(HdrChecksum(dev.DevHdr));  // last change to the header
}

void DoFormatN(FILE *out, Device &dev, int HdrN, uint64_t volEnd, uint64_t logicalBlocks) {
  SetupDevHdr(out, dev, volEnd, logicalBlocks);
  WriteDevHdr(dev, HdrN);
  if (v_QuickFlg != 0) {
    std::fprintf(out, "Quick Format finished.\n");
    return;
  }
  PrepareFirstWtBlk(out, dev);
}
