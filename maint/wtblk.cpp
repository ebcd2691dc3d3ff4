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

WtBlkWalk::WtBlkWalk(const DEV_HDR_20 &dev, uint64_t wtblk, WtBlkVisitor &v)
    : dev_(dev),
      v_(v),
      cluster_(dev.ClusterSize.get()),
      chunks_(ChunksPerBlock(dev)),
      base_(uint64_t{cluster_} * wtblk) {
  at_.wtblk = wtblk;
  Segment(0);
}

void WtBlkWalk::Segment(uint32_t off0) {
  at_.off0 = off0;
  at_.i = 0;
  at_.pba = base_ + off0;
  at_.rest = cluster_ - off0;
  need_ = at_;
}

void WtBlkWalk::End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h) {
  done_ = true;
  v_.End(why, at, h, s_);
}

void WtBlkWalk::Feed(const uint8_t *blk) {
  const bool head = need_.i == 0;
  if (blk == nullptr) return End(WalkEnd::Unread, need_, head ? h0_ : BLK_HDR_H_20x{});
  BLK_HDR_H_20x h{};
  std::memcpy(&h, blk, sizeof h);
  const bool mine = std::memcmp(h.Str, dev_.Str, sizeof dev_.Str) == 0;
  if (!head) {
    if (!mine) return End(WalkEnd::MetaMismatch, need_, h);
    v_.Meta(need_, h, blk);
    return Next(need_.i + 1);
  }
  h0_ = h;
  if (!mine) return End(WalkEnd::HeadMismatch, at_, h0_);
  s_ = ShapeOf(h0_, chunks_);
  v_.Head(at_, h0_, blk, s_);
  if (s_.Blocks() == 0) return End(WalkEnd::Empty, at_, h0_);
  // The data, padding and parity lie between the first metadata block and
  // the rest of the metadata and summary blocks.
  overrun_ = s_.Blocks() > at_.rest;
  metas_ = overrun_ ? v_.OverrunMetas(s_) : s_.metas;
  Next(1);
}

void WtBlkWalk::Next(uint64_t i) {
  if (i < metas_) {
    need_ = at_;
    need_.i = i;
    need_.pba = base_ + at_.off0 + s_.body + i;
    return;
  }
  if (overrun_) return End(WalkEnd::Overrun, at_, h0_);
  if (s_.Blocks() == at_.rest) return End(WalkEnd::Full, at_, h0_);
  Segment(static_cast<uint32_t>(at_.off0 + s_.Blocks()));
}

void WalkWtBlk(const DEV_HDR_20 &dev, uint64_t wtblk, WtBlkVisitor &v) {
  WtBlkWalk walk(dev, wtblk, v);
  while (const WtBlkAt *at = walk.Need()) walk.Feed(v.Read(*at));
}
