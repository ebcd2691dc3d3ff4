// SPDX-License-Identifier: Apache-2.0
// Device image files with a version 2.0 header and write blocks filled the
// way the driver fills them (the builders of tests/support/xtl_blocks.h).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "xtl.h"
#include "xtl_blocks.h"

namespace wtblk {

using Seg = support::Seg;

struct Image {
  std::string path;
  DevHdrBuf hdr{};
  uint32_t chunk = 1;  // chunks per block: 64 with compression

  Image(std::string p, uint64_t size) : path(std::move(p)), hdr(support::V20Header(size)) {
    support::MakeSparse(path, size);
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
    return static_cast<uint32_t>(support::SegBlocks(hdr, s));
  }

  // Byte offset of a physical block, by the header's mapping.
  uint64_t BlockOffset(uint64_t pba) const { return support::BlockByte(hdr, pba); }

  // Writes one metadata block; returns its header's hash.
  uint64_t WriteMeta(uint64_t pba, const Seg &s, uint8_t repln, uint16_t segi) {
    const support::MetaBlock b = support::MakeMeta(hdr, pba, s, repln, segi);
    support::WriteAt(path, BlockOffset(pba), b.bytes.data(), b.bytes.size());
    return b.hash;
  }

  // Lays the segments of write block `track` one after the other; returns
  // the hash of every metadata block in the order the dump visits them.
  std::vector<uint64_t> WriteSegments(uint64_t track, const std::vector<Seg> &segs) {
    std::vector<uint64_t> hashes;
    for (const support::MetaBlock &b : support::WtBlkMetas(hdr, track, segs)) {
      support::WriteAt(path, BlockOffset(b.pba), b.bytes.data(), b.bytes.size());
      hashes.push_back(b.hash);
    }
    return hashes;
  }
};

}  // namespace wtblk
