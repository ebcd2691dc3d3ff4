// Builds device images with a version 2.0 header and write blocks filled the
// way the driver fills them: segments of a first metadata block, data,
// padding and parity, then the remaining metadata copies and summary blocks,
// every metadata block starting with a write-block header.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "xtl.h"

namespace wtblk {

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

struct Image {
  std::string path;
  DevHdrBuf hdr{};
  uint32_t chunk = 1;  // chunks per block: 64 with compression

  Image(std::string p, uint64_t size) : path(std::move(p)) {
    support::MakeSparse(path, size);
    std::memcpy(hdr.raw, "XTL:2.0", 8);
    for (int i = 12; i < 32; i++) hdr.raw[i] = static_cast<uint8_t>(0xa0 + i);
    DEV_HDR_20 &h = hdr.h_20x;
    h.MetaVersion.set(0x201);
    h.FeatureBits.set(0x2001);
    h.BitSizes[0] = 30;
    h.BitSizes[1] = 2;
    h.BlockSize.set(4096);
    h.Block0Off.set(1 << 20);
    h.PhysicalBlocks.set((size - (1 << 20)) / 4096);
    h.LogicalBlocks.set((size - (1 << 20)) / 4096 * 9 / 10);
    h.ClusterSize.set(256);
    h.MetaDupeCnt = 2;
    h.WtBlkStripe.set(1);
  }

  void SetCompressed() {
    hdr.h_20x.FeatureBits.set(hdr.h_20x.FeatureBits.get() | kFeatCompress);
    chunk = 64;
  }

  void WriteHeader() {
    hdr.h_20x.mm3_64.set(HdrChecksum(hdr));
    support::WriteAt(path, 0, hdr.raw, sizeof hdr.raw);
  }

  uint32_t DataBlocks(const Seg &s) const { return (s.data_sz + chunk - 1) / chunk; }
  uint32_t SegBlocks(const Seg &s) const {
    return DataBlocks(s) + s.ecc_pad + s.parity + s.pad + s.meta * s.repl + s.summary;
  }

  // Byte offset of a physical block, by the same mapping the tools use.
  uint64_t BlockOffset(uint64_t pba) const {
    v_Ver = 0x201;
    return static_cast<uint64_t>(PbaToSector(hdr, static_cast<int64_t>(pba))) * 512;
  }

  // Writes one metadata block; returns its header's hash.
  uint64_t WriteMeta(uint64_t pba, const Seg &s, uint8_t repln, uint16_t segi) {
    std::vector<uint8_t> block(4096);
    BLK_HDR_H_20x h{};
    std::memcpy(h.Str, hdr.h_20x.Str, 32);
    h.seq.set(s.seq);
    h.pba.set(pba);
    h.ReplN = repln;
    h.SegN.set(s.segn);
    h.SegI.set(segi);
    h.NrDataBlocks.set(s.nr_data);
    h.NrZeroBlocks.set(s.nr_zero);
    h.NrEccPadBlocks.set(s.ecc_pad);
    h.NrEccParityBlocks.set(s.parity);
    h.NrPadBlocks.set(s.pad);
    h.NrMetaBlocks.set(s.meta);
    h.NrMetaBlocksRepl = s.repl;
    h.NrSummaryBlocks.set(s.summary);
    h.DataBlockSz.set(s.data_sz);
    std::memcpy(block.data(), &h, sizeof h);
    for (size_t i = sizeof h; i < block.size(); i++) block[i] = static_cast<uint8_t>(i * 31 + pba);
    uint64_t hash = BlkHdrChecksum(block.data());
    BLK_HDR_H_20x *stored = reinterpret_cast<BLK_HDR_H_20x *>(block.data());
    stored->mm3_64.set(hash);
    support::WriteAt(path, BlockOffset(pba), block.data(), block.size());
    return hash;
  }

  // Lays the segments of write block `track` one after the other; returns
  // the hash of every metadata block in the order the dump visits them.
  std::vector<uint64_t> WriteSegments(uint64_t track, const std::vector<Seg> &segs) {
    std::vector<uint64_t> hashes;
    uint64_t off = uint64_t{hdr.h_20x.ClusterSize.get()} * track;
    for (const Seg &s : segs) {
      const uint64_t body = DataBlocks(s) + s.ecc_pad + s.parity + s.pad;
      hashes.push_back(WriteMeta(off, s, 1, 1));
      const uint32_t metas = s.meta * s.repl + s.summary;
      for (uint32_t i = 1; i < metas; i++) {
        const bool summary = i >= s.meta * s.repl;
        const auto repln = static_cast<uint8_t>(summary ? 0 : i / s.meta + 1);
        const auto segi = static_cast<uint16_t>(summary ? i - s.meta * s.repl + 1 : i % s.meta + 1);
        hashes.push_back(WriteMeta(off + i + body, s, repln, segi));
      }
      off += SegBlocks(s);
    }
    return hashes;
  }
};

}  // namespace wtblk
