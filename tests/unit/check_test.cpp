// SPDX-License-Identifier: Apache-2.0
// The check's parts on in-memory devices: the header rules field by field,
// the walk's events, and the verdict of each write block.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "check_hdr.h"
#include "fatal.h"
#include "readq.h"
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

// The in-memory device as a read queue whose reads end last queued, first
// ended, so that later write blocks finish before earlier ones; a read at
// an offset of fail ends with that errno.
struct MemQueue : BlockQueue {
  MemDev &m;
  std::vector<std::array<uint8_t, kBlockSize>> bufs;
  std::map<uint64_t, int> fail;
  std::vector<std::pair<unsigned, uint64_t>> queued;
  MemQueue(MemDev &dev, unsigned depth) : m(dev), bufs(depth) {}
  unsigned Depth() const override { return static_cast<unsigned>(bufs.size()); }
  const uint8_t *Buf(unsigned tag) const override { return bufs[tag].data(); }
  void Queue(unsigned tag, uint64_t off) override { queued.emplace_back(tag, off); }
  void Reap(std::vector<BlockDone> &done) override {
    for (; !queued.empty(); queued.pop_back()) {
      const auto [tag, off] = queued.back();
      if (fail.count(off) != 0) {
        done.push_back({tag, false, fail[off]});
        continue;
      }
      std::memcpy(bufs[tag].data(), m.bytes.data() + off, kBlockSize);
      done.push_back({tag, true, 0});
    }
  }
};

// Write blocks 0 to 6: never written, sound, a bad checksum, a torn
// segment, an oversized segment, two sound segments, written half-way.
MemDev Mixed() {
  MemDev m;
  m.Lay(1, {Of(256)});
  m.Lay(2, {Of(256)});
  m.At(2 * 256)[2000] ^= 1;
  m.Lay(3, {Of(256)});
  m.At(4 * 256 - 1)[20] ^= 1;
  m.Lay(4, {Of(100), Of(300)});
  m.Lay(5, {Of(100), Of(156)});
  m.Lay(6, {Of(128)});
  return m;
}

void Progressed(uint64_t done, uint64_t total, void *ctx) {
  *static_cast<std::string *>(ctx) += std::to_string(done) + "/" + std::to_string(total) + " ";
}

TEST(CheckQueued, ReportsWhatTheOneAtATimeWalkReportsAtEveryDepth) {
  MemDev m = Mixed();
  for (const CheckRange range : {CheckRange{}, CheckRange{true, 3, true, 2}}) {
    std::string want_progress;
    CheckDev one = m.Dev();
    one.progress = Progressed;
    one.progress_ctx = &want_progress;
    const CheckReport want = CheckDevice(one, range);
    ASSERT_GE(want.damaged, 2u);
    const std::string text = support::Capture([&](FILE *f) { PrintCheck(f, want); });
    const std::string json = support::Capture([&](FILE *f) { PrintCheckJson(f, want, "d"); });
    for (unsigned depth : {1u, 2u, 8u, 32u}) {
      MemQueue q(m, depth);
      std::string progress;
      CheckDev dev = one;
      dev.queue = &q;
      dev.progress_ctx = &progress;
      const CheckReport r = CheckDevice(dev, range);
      EXPECT_EQ(support::Capture([&](FILE *f) { PrintCheck(f, r); }), text) << depth;
      EXPECT_EQ(support::Capture([&](FILE *f) { PrintCheckJson(f, r, "d"); }), json) << depth;
      EXPECT_EQ(r.blocks_read, want.blocks_read) << depth;
      EXPECT_EQ(progress, want_progress) << depth;
    }
  }
}

// A failed read ends the check with its errno when its write block's turn
// comes: a later write block's failure, ended first, waits behind it.
TEST(CheckQueued, AFailedReadIsReportedAtItsWriteBlock) {
  MemDev m = Mixed();
  for (unsigned depth : {1u, 8u, 32u}) {
    MemQueue q(m, depth);
    q.fail[support::BlockByte(m.hdr, 5 * 256 + 100)] = 5;  // the second segment's head
    q.fail[support::BlockByte(m.hdr, 2 * 256 + 255)] = 6;  // the copy of the first's metadata
    std::string progress;
    CheckDev dev = m.Dev();
    dev.queue = &q;
    dev.progress = Progressed;
    dev.progress_ctx = &progress;
    const auto e = support::Thrown<FatalError>([&] { CheckDevice(dev, CheckRange{}); });
    ASSERT_TRUE(e) << depth;
    EXPECT_EQ(e->text, "Error reading block - 6\n") << depth;
    EXPECT_EQ(progress, "1/7 2/7 ") << depth;
  }
}

}  // namespace
