// SPDX-License-Identifier: Apache-2.0
// The check's parts on in-memory devices: the header rules field by field,
// the walk's events, and the verdict of each write block.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "check_hdr.h"
#include "support.h"
#include "wtblk.h"
#include "xtl_blocks.h"

namespace {

using support::Seg;

// An 8 MiB device: the header, and 7 write blocks from 1 MiB on.
struct MemDev {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(8 << 20);
  DevHdrBuf hdr = support::V20Header(8 << 20);

  MemDev() { Seal(); }
  void Seal() {
    hdr.h_20x.mm3_64.set(HdrChecksum(hdr));
    std::memcpy(bytes.data(), hdr.raw, kHdrSize);
  }
  uint8_t *At(uint64_t pba) { return bytes.data() + support::BlockByte(hdr, pba); }
  void Lay(uint64_t t, const std::vector<Seg> &segs) {
    for (const support::MetaBlock &b : support::WtBlkMetas(hdr, t, segs))
      std::memcpy(At(b.pba), b.bytes.data(), b.bytes.size());
  }
  static const uint8_t *Read(uint64_t off, void *ctx) {
    return static_cast<MemDev *>(ctx)->bytes.data() + off;
  }
  CheckDev Dev() {
    return CheckDev{std::span<const uint8_t, kHdrSize>(bytes.data(), kHdrSize), bytes.size(), 0,
                    Read, this};
  }
};

std::string Problems(const CheckReport &r) {
  std::string s;
  for (const CheckProblem &p : r.problems) s += p.field + ": " + p.expected + " / " + p.found + ";";
  return s;
}

// A segment of n blocks: its first metadata block, data, its copy.
Seg Of(uint32_t n) {
  Seg s;
  s.data_sz = s.nr_data = n - 2;
  return s;
}

TEST(CheckHeaderRules, EachFieldAgainstWhatAFormatWrites) {
  const struct {
    void (*change)(DEV_HDR_20 &);
    std::string problem;  // empty: sound
  } cases[] = {
      {[](DEV_HDR_20 &) {}, ""},
      {[](DEV_HDR_20 &h) { h.FeatureBits.set(0x2401), h.BitSizes[1] = 6, h.BitSizes[2] = 2; },
       "BitSizes[0]: one of 24/32/40/48/54 / 30;"},
      {[](DEV_HDR_20 &h) { h.FeatureBits.set(0x2081); }, "EccLevel: 2 / 0;"},
      {[](DEV_HDR_20 &h) { h.BitSizes[2] = 2; }, "BitSizes[2]: 0 / 2;"},
      {[](DEV_HDR_20 &h) { h.PhysicalBlocks.set(8 * 256); },
       "data area end: at most the device size 8388608 / 9437184;"},
      {[](DEV_HDR_20 &h) { h.ShiftVolWbCnt.set(1), h.ShiftVolSkipSectors.set(8); },
       "data area end: at most the device size 8388608 / 8413184;"},
      {[](DEV_HDR_20 &h) { h.Block0Off.set(UINT64_MAX - 511); },
       "data area end: at most the device size 8388608 / beyond 2^64;"},
      {[](DEV_HDR_20 &h) { h.vm_status.set(1), h.vm_Block0Off.set(1 << 20); },
       "vm_BitSizes[0]: 30 / 0;"},
  };
  for (const auto &c : cases) {
    MemDev m;
    c.change(m.hdr.h_20x);
    m.Seal();
    CheckReport r;
    CheckHeaders(m.Dev(), r);
    EXPECT_EQ(Problems(r), c.problem);
    EXPECT_EQ(HeaderSound(r, 0), c.problem.empty()) << c.problem;
  }
}

// The walk's events: each segment's first block, further blocks, the end.
struct Events : WtBlkVisitor {
  MemDev &m;
  bool wide = false;  // visit the blocks of an oversized segment, as dump does
  std::string log;
  explicit Events(MemDev &dev) : m(dev) {}
  const uint8_t *Read(const WtBlkAt &at) override {
    return at.pba < 7 * 256 ? m.At(at.pba) : nullptr;
  }
  void Head(const WtBlkAt &at, const BLK_HDR_H_20x &, const uint8_t *, const SegShape &s) override {
    // Appended piece by piece: "H" + std::to_string(...) trips GCC 12's
    // -Wrestrict at -O3.
    log += 'H';
    log += std::to_string(at.off0);
    log += '+';
    log += std::to_string(s.Blocks());
    log += ' ';
  }
  void Meta(const WtBlkAt &at, const BLK_HDR_H_20x &, const uint8_t *) override {
    log += 'M';
    log += std::to_string(at.pba);
    log += ' ';
  }
  void End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &, const SegShape &) override {
    static const char *const kWhy[] = {"full", "head", "meta", "empty", "overrun", "unread"};
    log += kWhy[static_cast<int>(why)];
    log += '@';
    log += std::to_string(at.pba);
  }
  uint64_t OverrunMetas(const SegShape &s) override {
    return wide ? static_cast<uint32_t>(s.metas) : 0;
  }
};

TEST(WtBlkWalk, TellsSegmentsBlocksAndWhyItEnded) {
  Seg two_copies = Of(100);
  two_copies.meta = 2;
  two_copies.data_sz = two_copies.nr_data = 96;
  Seg wrap = Of(256);  // 2^32 metadata blocks: none when counted in 32 bits
  wrap.repl = 1;
  wrap.summary = 0xffffffff;
  const struct {
    std::vector<Seg> segs;
    bool wide;
    std::string log;
  } cases[] = {
      {{}, false, "head@256"},
      {{Of(256)}, false, "H0+256 M511 full@256"},
      {{two_copies, Of(156)}, false, "H0+100 M353 M354 M355 H100+156 M511 full@356"},
      {{Of(100), Seg{}}, false, "H0+100 M355 H100+2 M357 head@358"},
      {{Of(100), Of(300)}, false, "H0+100 M355 H100+300 overrun@356"},
      {{Of(100), Of(300)}, true, "H0+100 M355 H100+300 M655 overrun@356"},
      {{wrap}, true, "H0+4294967550 overrun@256"},
      {{Of(100), Seg{0, 0, 0, 0, 0, 0, 0, 0}}, false, "H0+100 M355 H100+0 empty@356"},
  };
  for (const auto &c : cases) {
    MemDev m;
    m.Lay(1, c.segs);
    Events e(m);
    e.wide = c.wide;
    WalkWtBlk(m.hdr.h_20x, 1, e);
    EXPECT_EQ(e.log, c.log);
  }
}

TEST(CheckVerdicts, EachWriteBlockSoundNeverWrittenOrDamaged) {
  const struct {
    std::vector<Seg> segs;
    void (*damage)(MemDev &);
    const char *verdict;  // sound, never written, damaged
    std::string problem;
  } cases[] = {
      {{}, nullptr, "never", ""},
      {{Of(256)}, nullptr, "sound", ""},
      {{Of(100)}, nullptr, "sound", ""},  // written this far
      {{Of(256)}, [](MemDev &m) { m.At(256)[2000] ^= 1; }, "damaged", "mm3_64"},
      {{Of(256)}, [](MemDev &m) { m.At(511)[40] ^= 1; }, "damaged", "mm3_64"},
      {{Of(256)}, [](MemDev &m) { m.At(511)[20] ^= 1; }, "damaged", "Str"},
      {{Of(100), Of(300)}, nullptr, "damaged", "segment blocks"},
      {{Of(100), Seg{0, 0, 0, 0, 0, 0, 0, 0}}, nullptr, "damaged", "segment blocks"},
      {{Of(256)},
       [](MemDev &m) {
         m.hdr.h_20x.ShiftVolWbCnt.set(1);
         m.hdr.h_20x.ShiftVolSkipSectors.set(0x80000000);
         m.Seal();
       },
       "damaged", "block address"},
  };
  for (const auto &c : cases) {
    MemDev m;
    m.Lay(1, c.segs);
    if (c.damage != nullptr) c.damage(m);
    const CheckReport r = CheckDevice(m.Dev(), CheckRange{true, 1, true, 1});
    const std::string got = r.sound != 0 ? "sound" : r.never_written != 0 ? "never" : "damaged";
    EXPECT_EQ(got, c.verdict) << c.problem;
    EXPECT_EQ(r.problems.size(), c.problem.empty() ? 0u : 1u) << c.problem;
    if (!r.problems.empty()) {
      EXPECT_EQ(r.problems[0].field, c.problem);
    }
  }
}

}  // namespace
