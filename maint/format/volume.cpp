// SPDX-License-Identifier: Apache-2.0
// Volume header set-up and write: one version 2.0 volume of a device, used
// by the --ver=11 path and twice by the de-dupe and compression format.
#include "format/volume.h"

#include <climits>
#include <cstring>
#include <string>

#include "fatal.h"
#include "format/fmtbits.h"
#include "format/hdr20.h"

namespace {
constexpr uint32_t kCompBytesDefault = 64;  // --compbytes= 0: compression unit in bytes
constexpr uint32_t kCompMaxDefault = 4;     // --compmax= 0
constexpr uint8_t kPlainBits2 = 2;          // second width of a plain volume
constexpr uint32_t kNoMigrationBlk = 2147483647;  // BlkN0 without a migration range

// The geometry of one volume. Block counts in 4096-byte blocks.
struct VolumeGeometry {
  uint64_t WtBlkBytes = 0;      // write-block size in bytes
  int32_t NumWtBlks = 0;        // write blocks, a whole number of stripe sets
  uint64_t DataSize = 0;        // bytes in those write blocks
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;   // after the de-dupe and compression ratios
};

// The write blocks between the data offset and volEnd, and the block counts.
VolumeGeometry GetVolumeGeometry(const FormatParams &p, uint64_t volEnd, uint64_t logicalBlocks) {
  const uint64_t ratio1 = p.DeDupe != 0 ? p.DeDupe : kPercent;  // OverCommitRatio1
  const uint64_t ratio2 = p.Comp != 0 ? p.Comp : kPercent;      // OverCommitRatio2
  VolumeGeometry g;
  CheckWtBlkSettings(p);
  g.WtBlkBytes = p.WtBlkBytes();
  const uint64_t stripe = p.WtBlkStripeCnt;
  CheckVolumeFits(volEnd, g.WtBlkBytes, p.WtBlkStripeCnt, p.Offset0);
  const uint64_t wtBlks = (volEnd - p.Offset0) / g.WtBlkBytes;
  if (wtBlks > INT32_MAX)
    Fatal("format: %llu write blocks are more than a volume can count; use a larger "
          "--wtblksz=.\n",
          static_cast<unsigned long long>(wtBlks));
  g.NumWtBlks = static_cast<int32_t>(wtBlks);
  g.NumWtBlks -= static_cast<int32_t>(static_cast<uint64_t>(g.NumWtBlks) % stripe);
  g.DataSize = static_cast<uint64_t>(g.NumWtBlks) * g.WtBlkBytes;
  g.PhysicalBlocks = g.DataSize / kBlockSize;

  if (logicalBlocks == 0) logicalBlocks = g.PhysicalBlocks * p.Free / kPercent;
  if (__builtin_mul_overflow(logicalBlocks, ratio1, &g.LogicalBlocks) ||
      __builtin_mul_overflow(g.LogicalBlocks, ratio2, &g.LogicalBlocks))
    Fatal("format: the logical block count at --comp=%u and --dedupe=%u is beyond 64 bits.\n",
          p.Comp, p.DeDupe);
  g.LogicalBlocks /= uint64_t{kPercent} * kPercent;  // the two ratios
  return g;
}

void PrintVolumeLines(FILE *out, const FormatParams &p, const VolumeGeometry &g, uint64_t volEnd) {
  std::fprintf(out,
               "Formatting: Ver     = %10d (0x%x)    DataSz  = %10d M\n"
               "            Off0    = %10lld sectors    PhyBlks = %10lld\n"
               "            WtBlkSz = %10d K          LogBlks = %10lld\n"
               "            WtSegSz = %10d K          LogSz   = %10lld M\n"
               "            DevSz   = %10d M\n",
               static_cast<int>(p.Ver), p.Ver,
               static_cast<int>(static_cast<uint32_t>(g.DataSize >> 20)),
               static_cast<long long>(p.Offset0 / kSectorSize),
               static_cast<long long>(g.PhysicalBlocks), static_cast<int>(p.WtBlkSz),
               static_cast<long long>(g.LogicalBlocks), static_cast<int>(p.WtSegSz),
               static_cast<long long>(g.LogicalBlocks / 256),
               static_cast<int>(static_cast<uint32_t>(volEnd >> 20)));
}

// A de-duplicated or compressed volume takes the four widths; a plain one
// Bits1, 2, Bits2, 0 (with the hash flag, 64 bits in all).
void SetBitSizes(uint8_t (&BitSizes)[4], const FormatParams &p, const FormatBits &bits) {
  const bool ddc = p.DeDupe != 0 || p.Comp != 0;
  BitSizes[0] = static_cast<uint8_t>(bits.Bits1);
  BitSizes[1] = static_cast<uint8_t>(ddc ? bits.Bits2 : kPlainBits2);
  BitSizes[2] = static_cast<uint8_t>(ddc ? bits.Bits3 : bits.Bits2);
  BitSizes[3] = static_cast<uint8_t>(ddc ? bits.Bits4 : 0);
}

// DevHdr for the volume: the common fields, then placement shift,
// migration range and compression unit.
DEV_HDR_20 &FillVolumeHdr(DevHdrBuf &DevHdr, const FormatParams &p, const VolumeGeometry &g,
                          const FormatBits &bits, const uint8_t *RandStr) {
  DevHdr20Fields f;
  SetBitSizes(f.BitSizes, p, bits);
  f.PhysicalBlocks = g.PhysicalBlocks;
  f.LogicalBlocks = g.LogicalBlocks;
  f.WtBlkBytes = g.WtBlkBytes;
  f.FeatureBits = kFeatAlways | OptionFeatureBits(p) | (p.Migrate_Flg ? kFeatMigrate : 0);
  DEV_HDR_20 &h = BuildDevHdr20(DevHdr, p, f, RandStr);
  h.ShiftVolWbCnt.set(p.SvWbCnt);
  h.ShiftVolSkipSectors.set(p.SvScCnt);
  if (p.Migrate_Flg) {
    h.Migrate_LinOff0.set(p.Migrate_LinOff0);
    h.Migrate_LinOff1.set(p.Migrate_LinOff1);
    h.Migrate_LinBlks.set(p.Migrate_LinBlks);
  }
  if (p.Comp != 0) {
    h.CompBytes.set(static_cast<uint16_t>(p.CompBytes != 0 ? p.CompBytes : kCompBytesDefault));
    h.CompMax.set(static_cast<uint16_t>(p.CompMax != 0 ? p.CompMax : kCompMaxDefault));
  }
  return h;
}

void PrintVolumeOpts(FILE *out, const FormatParams &p, const DEV_HDR_20 &h) {
  const std::string opts = FormatOpts(p, false);
  std::fprintf(out, "            %s   Dupe = %d  Bit Sizes = %d/%d/%d/%d\n", opts.c_str(),
               h.MetaDupeCnt, h.BitSizes[0], h.BitSizes[1], h.BitSizes[2], h.BitSizes[3]);
  if (p.EccRaid5 || p.EccRaid6)
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

void SetupDevHdr(FILE *out, Device &dev, const FormatParams &p, uint64_t volEnd,
                 uint64_t logicalBlocks) {
  const VolumeGeometry g = GetVolumeGeometry(p, volEnd, logicalBlocks);
  const FormatBits bits = CalcFormatBits_v2(out, p, g.LogicalBlocks, g.PhysicalBlocks);
  uint8_t RandStr[32];
  LoadRand(RandStr, sizeof RandStr, RandMsgs::Volume);
  PrintVolumeLines(out, p, g, volEnd);
  DEV_HDR_20 &h = FillVolumeHdr(dev.DevHdr, p, g, bits, RandStr);
  PrintVolumeOpts(out, p, h);
  h.mm3_64.set(HdrChecksum(dev.DevHdr));  // last change to the header
}

void DoFormatN(FILE *out, Device &dev, const FormatParams &p, int HdrN, uint64_t volEnd,
               uint64_t logicalBlocks) {
  SetupDevHdr(out, dev, p, volEnd, logicalBlocks);
  WriteDevHdr(dev, p.HdrOff, HdrN);
  if (p.QuickFlg) {
    std::fprintf(out, "Quick Format finished.\n");
    return;
  }
  PrepareFirstWtBlk(out, dev);
}
