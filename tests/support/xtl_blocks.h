// SPDX-License-Identifier: Apache-2.0
// A version 2.0 device header and write blocks of xtl-maint's records, for
// the tests that link its library (header only: the support library itself
// holds no code of either program).
//
// The header is what a default format writes (the worked example: 2^40
// bytes, data area from 1 MiB, 1 MiB write blocks, 268435200 physical and
// 241591680 logical blocks), scaled to the device size, with a fixed
// signature. Write blocks are laid the way the driver lays them: segments of
// a first metadata block, data, padding and parity, then the remaining
// metadata copies and summary blocks, every metadata block starting with a
// write-block header that carries the device's signature and its checksum.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "wtblk.h"
#include "xtl.h"

namespace support {

// The signature's random bytes 12 to 31: 0xac to 0xbf. What `status` prints
// for it at the default size: tests/support/data/status-v20.txt.
inline DevHdrBuf V20Header(uint64_t dev_bytes = uint64_t{1} << 40) {
  DevHdrBuf hdr{};
  std::memcpy(hdr.raw, "XTL:2.0", 8);
  for (int i = 12; i < 32; i++) hdr.raw[i] = static_cast<uint8_t>(0xa0 + i);
  DEV_HDR_20 &h = hdr.h_20x;
  h.MetaVersion.set(0x201);
  h.FeatureBits.set(0x2001);
  h.BitSizes[0] = 30;
  h.BitSizes[1] = 2;
  h.BlockSize.set(4096);
  h.Block0Off.set(1 << 20);
  const uint64_t phys = (dev_bytes - (1 << 20)) / 4096 / 256 * 256;
  h.PhysicalBlocks.set(phys);
  h.LogicalBlocks.set(phys * 9 / 10);
  h.ClusterSize.set(256);
  h.MetaDupeCnt = 2;
  h.WtBlkStripe.set(1);
  h.mm3_64.set(HdrChecksum(hdr));
  return hdr;
}

// hdr with the signature's random bytes 12 to 31 taken from rand (20 bytes),
// and its checksum computed again.
inline DevHdrBuf WithSignature(DevHdrBuf hdr, const void *rand) {
  std::memcpy(hdr.raw + 12, rand, 20);
  hdr.h_20x.mm3_64.set(HdrChecksum(hdr));
  return hdr;
}

// A version 1.1 header: "XTL:1.1", 4096-byte blocks and the four counts.
inline DevHdrBuf V11Header(int32_t block0off, int32_t phys, int32_t logical, int32_t cluster) {
  DevHdrBuf hdr{};
  std::memcpy(hdr.raw, "XTL:1.1", 8);
  hdr.h_11.BlockSize.set(4096);
  hdr.h_11.Block0Off.set(block0off);
  hdr.h_11.PhysicalBlocks.set(phys);
  hdr.h_11.LogicalBlocks.set(logical);
  hdr.h_11.ClusterSize.set(cluster);
  return hdr;
}

// One segment's counts, as its write-block headers carry them.
struct Seg {
  uint32_t data_sz = 0;  // DataBlockSz, in chunks
  uint32_t nr_data = 0;
  uint32_t nr_zero = 0;
  uint32_t ecc_pad = 0;
  uint32_t parity = 0;
  uint32_t pad = 0;
  uint32_t meta = 1;  // NrMetaBlocks
  uint8_t repl = 2;   // NrMetaBlocksRepl
  uint32_t summary = 0;
  int64_t seq = 1;
  uint16_t segn = 1;
};

struct MetaBlock {
  uint64_t pba = 0;
  std::vector<uint8_t> bytes;  // 4096
  uint64_t hash = 0;           // the checksum stored in it
};

// The counts of segment s in a write-block header.
inline BLK_HDR_H_20x SegHeader(const Seg &s) {
  BLK_HDR_H_20x h{};
  h.seq.set(s.seq);
  h.SegN.set(s.segn);
  h.NrDataBlocks.set(s.nr_data);
  h.NrZeroBlocks.set(s.nr_zero);
  h.NrEccPadBlocks.set(s.ecc_pad);
  h.NrEccParityBlocks.set(s.parity);
  h.NrPadBlocks.set(s.pad);
  h.NrMetaBlocks.set(s.meta);
  h.NrMetaBlocksRepl = s.repl;
  h.NrSummaryBlocks.set(s.summary);
  h.DataBlockSz.set(s.data_sz);
  return h;
}

// A metadata block of segment s at pba: its header, entries of a pattern,
// and the true checksum.
inline MetaBlock MakeMeta(const DevHdrBuf &hdr, uint64_t pba, const Seg &s, uint8_t repln,
                          uint16_t segi) {
  MetaBlock b{pba, std::vector<uint8_t>(4096), 0};
  BLK_HDR_H_20x h = SegHeader(s);
  std::memcpy(h.Str, hdr.h_20x.Str, 32);
  h.pba.set(pba);
  h.ReplN = repln;
  h.SegI.set(segi);
  std::memcpy(b.bytes.data(), &h, sizeof h);
  for (size_t i = sizeof h; i < b.bytes.size(); i++)
    b.bytes[i] = static_cast<uint8_t>(i * 31 + pba);
  b.hash = BlkHdrChecksum(b.bytes.data());
  h.mm3_64.set(b.hash);
  std::memcpy(b.bytes.data(), &h, sizeof h);
  return b;
}

inline uint64_t SegBlocks(const DevHdrBuf &hdr, const Seg &s) {
  return ShapeOf(SegHeader(s), ChunksPerBlock(hdr.h_20x)).Blocks();
}

// The metadata blocks of the segments laid one after the other from the
// start of write block `track`, in the order the walk visits them.
inline std::vector<MetaBlock> WtBlkMetas(const DevHdrBuf &hdr, uint64_t track,
                                         const std::vector<Seg> &segs) {
  std::vector<MetaBlock> blocks;
  uint64_t off = uint64_t{hdr.h_20x.ClusterSize.get()} * track;
  for (const Seg &s : segs) {
    const uint64_t body = ShapeOf(SegHeader(s), ChunksPerBlock(hdr.h_20x)).body;
    blocks.push_back(MakeMeta(hdr, off, s, 1, 1));
    const uint32_t metas = s.meta * s.repl + s.summary;
    for (uint32_t i = 1; i < metas; i++) {
      const bool summary = i >= s.meta * s.repl;
      const auto repln = static_cast<uint8_t>(summary ? 0 : i / s.meta + 1);
      const auto segi = static_cast<uint16_t>(summary ? i - s.meta * s.repl + 1 : i % s.meta + 1);
      blocks.push_back(MakeMeta(hdr, off + i + body, s, repln, segi));
    }
    off += SegBlocks(hdr, s);
  }
  return blocks;
}

// Byte offset of block pba by the header's mapping.
inline uint64_t BlockByte(const DevHdrBuf &hdr, uint64_t pba) {
  uint64_t byte = 0;
  WtBlkByte(hdr.h_20x, pba, &byte);
  return byte;
}

}  // namespace support
