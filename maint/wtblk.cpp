// SPDX-License-Identifier: Apache-2.0
// The write-block walk shared by dump and check.
#include "wtblk.h"

#include <cstring>

uint64_t WtBlkSector(const DEV_HDR_20 &h, uint64_t pba) {
  uint64_t sector = pba * kSectorsPerBlock + h.Block0Off.get() / kSectorSize;
  const uint32_t wbcnt = h.ShiftVolWbCnt.get();
  const uint32_t cluster = h.ClusterSize.get();
  if (wbcnt != 0 && cluster != 0) {
    const uint64_t stripe = pba / cluster / wbcnt;
    // The product is formed in 32 bits, as the driver forms it.
    sector += static_cast<uint32_t>(static_cast<uint32_t>(stripe) * h.ShiftVolSkipSectors.get());
  }
  return sector;
}

bool WtBlkByte(const DEV_HDR_20 &h, uint64_t pba, uint64_t *byte) {
  if (pba >= kMaxPba) return false;
  return !__builtin_mul_overflow(WtBlkSector(h, pba), uint64_t{kSectorSize}, byte);
}

std::string HexBytes(const void *bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto *p = static_cast<const uint8_t *>(bytes);
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

uint32_t ChunksPerBlock(const DEV_HDR_20 &h) {
  return (h.FeatureBits.get() & kFeatCompress) != 0 ? 64 : 1;
}

SegShape ShapeOf(const BLK_HDR_H_20x &h, uint32_t chunks) {
  SegShape s;
  const uint32_t sz = h.DataBlockSz.get();
  s.data = sz / chunks + (sz % chunks != 0 ? 1 : 0);
  s.body = s.data + h.NrEccPadBlocks.get() + h.NrEccParityBlocks.get() + h.NrPadBlocks.get();
  s.metas = uint64_t{h.NrMetaBlocks.get()} * h.NrMetaBlocksRepl + h.NrSummaryBlocks.get();
  return s;
}

namespace {

// Reads the block at `at` into h; false (the walk ends) when the visitor did
// not read it or it carries another signature than the device's.
bool ReadHdrAt(const DEV_HDR_20 &dev, const WtBlkAt &at, WtBlkVisitor &v, BLK_HDR_H_20x &h,
               const uint8_t **blk, WalkEnd *why) {
  *blk = v.Read(at);
  if (*blk == nullptr) {
    *why = WalkEnd::Unread;
    return false;
  }
  std::memcpy(&h, *blk, sizeof h);
  if (std::memcmp(h.Str, dev.Str, sizeof dev.Str) != 0) {
    *why = at.i == 0 ? WalkEnd::HeadMismatch : WalkEnd::MetaMismatch;
    return false;
  }
  return true;
}

}  // namespace

void WalkWtBlk(const DEV_HDR_20 &dev, uint64_t wtblk, WtBlkVisitor &v) {
  const uint32_t cluster = dev.ClusterSize.get();
  const uint32_t chunks = ChunksPerBlock(dev);
  const uint64_t base = uint64_t{cluster} * wtblk;
  WtBlkAt at{wtblk, 0, 0, base, cluster};
  BLK_HDR_H_20x h0{};
  SegShape s;
  for (;;) {
    at.i = 0;
    at.pba = base + at.off0;
    at.rest = cluster - at.off0;
    const uint8_t *blk = nullptr;
    WalkEnd why = WalkEnd::Full;
    if (!ReadHdrAt(dev, at, v, h0, &blk, &why)) return v.End(why, at, h0, s);
    s = ShapeOf(h0, chunks);
    v.Head(at, h0, blk, s);
    if (s.Blocks() == 0) return v.End(WalkEnd::Empty, at, h0, s);
    // The data, padding and parity lie between the first metadata block
    // and the rest of the metadata and summary blocks.
    const bool overrun = s.Blocks() > at.rest;
    const uint64_t metas = overrun ? v.OverrunMetas(s) : s.metas;
    for (uint64_t i = 1; i < metas; i++) {
      WtBlkAt m = at;
      m.i = i;
      m.pba = base + at.off0 + s.body + i;
      BLK_HDR_H_20x h{};
      if (!ReadHdrAt(dev, m, v, h, &blk, &why)) return v.End(why, m, h, s);
      v.Meta(m, h, blk);
    }
    if (overrun) return v.End(WalkEnd::Overrun, at, h0, s);
    if (s.Blocks() == at.rest) return v.End(WalkEnd::Full, at, h0, s);
    at.off0 = static_cast<uint32_t>(at.off0 + s.Blocks());
  }
}
