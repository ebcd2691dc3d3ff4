// SPDX-License-Identifier: Apache-2.0
// The write blocks of a version 2.0 volume, as dump and check both read them:
// where a block lies (from the header alone), the shape of a segment, and the
// walk of one write block segment by segment. The walk reads through its
// visitor and tells it what it finds: each segment's first block, each
// further metadata or summary block, and why it ended. It prints nothing and
// judges nothing; dump prints what it is told, check gives verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "xtl.h"

// Sector at which physical block pba of the volume begins: pba x 8 plus
// Block0Off, then the placement shift of ShiftVolSkipSectors every
// ShiftVolWbCnt write blocks (none without a ClusterSize).
uint64_t WtBlkSector(const DEV_HDR_20 &h, uint64_t pba);
// The same as a byte offset; false when no device can hold the block (an
// address of 2^51 or more, or an offset past 2^64).
bool WtBlkByte(const DEV_HDR_20 &h, uint64_t pba, uint64_t *byte);

// Bytes as lower-case hexadecimal, two digits a byte, in byte order.
std::string HexBytes(const void *bytes, size_t n);

// A segment's blocks by the counts of its first header, in 64 bits.
struct SegShape {
  uint64_t data = 0;   // DataBlockSz chunks, rounded up to blocks
  uint64_t body = 0;   // data, ECC padding and parity, padding
  uint64_t metas = 0;  // metadata copies and summary blocks, the first one included
  uint64_t Blocks() const { return body + metas; }
};
// chunks: data chunks per block, 64 with compression, else 1.
SegShape ShapeOf(const BLK_HDR_H_20x &h, uint32_t chunks);
uint32_t ChunksPerBlock(const DEV_HDR_20 &h);

// Where the walk is: the segment's first block, counted from the write
// block's first, and the block in hand (i 0: the segment's first block;
// i > 0: its i-th further metadata or summary block).
struct WtBlkAt {
  uint64_t wtblk = 0;
  uint32_t off0 = 0;
  uint64_t i = 0;
  uint64_t pba = 0;
  uint64_t rest = 0;  // blocks from off0 to the end of the write block
};

enum class WalkEnd {
  Full,          // the segments reached the end of the write block
  HeadMismatch,  // a segment's first block carries another signature
  MetaMismatch,  // a further metadata block carries another signature
  Empty,         // a segment of no blocks, which would never advance
  Overrun,       // a segment that runs past the write block
  Unread,        // the visitor did not read a block
};

class WtBlkVisitor {
 public:
  virtual ~WtBlkVisitor() = default;
  // The 4096 bytes of block at.pba, or nullptr to end the walk (Unread).
  virtual const uint8_t *Read(const WtBlkAt &at) = 0;
  // A segment's first block, with the device's signature; h is its header.
  virtual void Head(const WtBlkAt &, const BLK_HDR_H_20x &, const uint8_t *, const SegShape &) {}
  // A further metadata or summary block with the device's signature.
  virtual void Meta(const WtBlkAt &, const BLK_HDR_H_20x &, const uint8_t *) {}
  // The end. h: the header of the block that ended the walk (the foreign one
  // of a mismatch), else the last segment's first; s: the last segment.
  virtual void End(WalkEnd, const WtBlkAt &, const BLK_HDR_H_20x &, const SegShape &) {}
  // How many of a segment's metadata blocks (the first included) are still
  // visited when it runs past the write block: none unless the visitor says.
  virtual uint64_t OverrunMetas(const SegShape &) { return 0; }
};

// Walks write block `wtblk` of the volume of header dev. Each segment
// advances at least one block, so the walk ends within ClusterSize segments.
void WalkWtBlk(const DEV_HDR_20 &dev, uint64_t wtblk, WtBlkVisitor &v);

// The same walk, stopped at each read, so that many write blocks can wait
// for their reads at once: Need() is the block it reads next, Feed() hands
// it over and goes on to the next read or the end. The visitor is told what
// WalkWtBlk tells it, in the same order; its Read is not called.
class WtBlkWalk {
 public:
  WtBlkWalk(const DEV_HDR_20 &dev, uint64_t wtblk, WtBlkVisitor &v);
  // The block to read next; nullptr once the walk has ended.
  const WtBlkAt *Need() const { return done_ ? nullptr : &need_; }
  // The 4096 bytes of Need()'s block, or nullptr when it was not read (the
  // walk ends: Unread).
  void Feed(const uint8_t *blk);

 private:
  void Segment(uint32_t off0);  // the next read: the first block of a segment
  void Next(uint64_t i);        // the next read: further block i, or what follows the segment
  void End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h);

  const DEV_HDR_20 &dev_;
  WtBlkVisitor &v_;
  uint32_t cluster_;
  uint32_t chunks_;
  uint64_t base_;
  WtBlkAt at_;    // the segment's first block
  WtBlkAt need_;  // the block read next
  BLK_HDR_H_20x h0_{};  // the segment's header (the previous one's until read)
  SegShape s_;
  uint64_t metas_ = 0;  // further blocks visited, the first one included
  bool overrun_ = false;
  bool done_ = false;
};
