// SPDX-License-Identifier: Apache-2.0
// The check's parts on in-memory devices: the header rules field by field,
// the walk's events, and the verdict of each write block.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "check_report.h"
#include "fatal.h"
#include "format_builders.h"
#include "readq.h"
#include "support.h"
#include "wtblk.h"
#include "xtl_blocks.h"

namespace {

using support::Seg;

// An 8 MiB device (or one of the size given): the header, and write blocks
// of 1 MiB from 1 MiB on.
struct MemDev {
  std::vector<uint8_t> bytes;
  DevHdrBuf hdr;

  explicit MemDev(uint64_t size = 8 << 20) : bytes(size), hdr(support::V20Header(size)) { Seal(); }
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
  std::string sig;  // what libblkid names on the device
  static std::string Probe(void *ctx) { return static_cast<MemDev *>(ctx)->sig; }
  CheckDev Dev() {
    CheckDev dev{std::span<const uint8_t, kHdrSize>(bytes.data(), kHdrSize), bytes.size(), 0, Read,
                 this};
    dev.probe = Probe;
    return dev;
  }
};

// A segment of n blocks: its first metadata block, data, its copy.
Seg Of(uint32_t n) {
  Seg s;
  s.data_sz = s.nr_data = n - 2;
  return s;
}

// A report's text, and the code of each problem.
std::string Text(const CheckReport &r) {
  return support::Capture([&](FILE *f) { PrintCheck(f, r); });
}
std::string Codes(const CheckReport &r) {
  std::string s;
  for (const CheckProblem &p : r.problems)
    s += std::string(s.empty() ? "" : " ") + CheckCodeName(p.code);
  return s;
}

// Each header damage on a 64 MiB device, the header's checksum recomputed
// (but where the row says not): its problem lines and their codes.
const std::string kArea = "header 0: data area start: expected clear of the header block, bytes ";
const std::string kEnd =
    "header 0: data area end: expected at most the device size 67108864, found ";
const std::string kStr = "header 0: Str: expected XTL:2.0 or XTL:1.1, found ";
const struct HdrCase {
  void (*change)(DevHdrBuf &);
  std::string lines;  // empty: sound
  std::string codes;
  uint64_t hdr_sector = 0;
  std::string sig = "";  // what libblkid names there
  bool seal = true;
} kHdrCases[] = {
    {[](DevHdrBuf &) {}, "", ""},
    {[](DevHdrBuf &h) { std::memcpy(h.raw, "XTL:3.0", 8); }, kStr + "58544c3a332e3000",
     "header.version"},
    {[](DevHdrBuf &h) { std::memset(h.raw, 0, 8); }, kStr + "no XTL header", "header.no_header"},
    {[](DevHdrBuf &h) { std::memcpy(h.raw, "\x53\xef\x01", 3); },
     kStr + "no XTL header but an ext4 file system", "header.no_header", 0, "an ext4 file system"},
    {[](DevHdrBuf &h) { h.raw[9] = 1; }, "header 0: Str[8..11]: expected 00000000, found 00010000",
     "header.str_reserved"},
    {[](DevHdrBuf &h) { h.h_20x.mm3_64.set(HdrChecksum(h) ^ 1); },
     "header 0: mm3_64: expected 0xd7421b46d2dd535e, found 0xd7421b46d2dd535f", "header.mm3_64", 0,
     "", false},
    {[](DevHdrBuf &h) { h.h_20x.MetaVersion.set(0x200); },
     "header 0: MetaVersion: expected 0x201, found 0x200", "header.meta_version"},
    {[](DevHdrBuf &h) { h.h_20x.BlockSize.set(512); },
     "header 0: BlockSize: expected 4096, found 512", "header.block_size"},
    {[](DevHdrBuf &h) { h.h_20x.FeatureBits.set(0xa001); },
     "header 0: FeatureBits: expected 0x0001, known bits only, 0x2000 or DEDUPE and COMPRESS, "
     "found 0xa001",
     "header.feature_bits"},
    {[](DevHdrBuf &h) { h.h_20x.EccLevel = 1; }, "header 0: EccLevel: expected 0, found 1",
     "header.ecc_level"},
    {[](DevHdrBuf &h) { h.h_20x.FeatureBits.set(0x2081); },
     "header 0: EccLevel: expected 2, found 0", "header.ecc_level"},
    {[](DevHdrBuf &h) { h.h_20x.BitSizes[0] = h.h_20x.BitSizes[1] = 0; },
     "header 0: BitSizes[0..2] sum: expected more than 0, found 0\n"
     "header 0: BitSizes[0]: expected one of 30/38/46/54/62, found 0\n"
     "header 0: BitSizes[1]: expected 2, found 0",
     "header.bit_sizes_sum header.bit_sizes header.bit_sizes"},
    {[](DevHdrBuf &h) { h.h_20x.BitSizes[0] = 31; },
     "header 0: BitSizes[0]: expected one of 30/38/46/54/62, found 31", "header.bit_sizes"},
    {[](DevHdrBuf &h) {
       h.h_20x.FeatureBits.set(0x2401), h.h_20x.BitSizes[1] = 6, h.h_20x.BitSizes[2] = 2;
     },
     "header 0: BitSizes[0]: expected one of 24/32/40/48/54, found 30", "header.bit_sizes"},
    {[](DevHdrBuf &h) { h.h_20x.BitSizes[1] = 6; }, "header 0: BitSizes[1]: expected 2, found 6",
     "header.bit_sizes"},
    {[](DevHdrBuf &h) { h.h_20x.BitSizes[2] = 2; }, "header 0: BitSizes[2]: expected 0, found 2",
     "header.bit_sizes"},
    {[](DevHdrBuf &h) { h.h_20x.BitSizes[4] = 1; }, "header 0: BitSizes[4]: expected 0, found 1",
     "header.bit_sizes"},
    {[](DevHdrBuf &h) { h.h_20x.Block0Off.set((1 << 20) - 100); },
     "header 0: Block0Off: expected a whole number of sectors, found 1048476", "header.block0_off"},
    {[](DevHdrBuf &h) { h.h_20x.MetaDupeCnt = 0; },
     "header 0: MetaDupeCnt: expected more than 0, found 0", "header.meta_dupe_cnt"},
    {[](DevHdrBuf &h) { h.h_20x.WtBlkStripe.set(0); },
     "header 0: WtBlkStripe: expected more than 0, found 0", "header.wtblk_stripe"},
    {[](DevHdrBuf &h) { h.h_20x.LogicalBlocks.set(16129); },
     "header 0: LogicalBlocks: expected at most PhysicalBlocks 16128, found 16129",
     "header.logical_blocks"},
    {[](DevHdrBuf &h) { h.h_20x.ClusterSize.set(0); },
     "header 0: ClusterSize: expected more than 0, found 0", "header.cluster_size"},
    {[](DevHdrBuf &h) { h.h_20x.PhysicalBlocks.set(16127); },
     "header 0: PhysicalBlocks: expected a multiple of ClusterSize 256, found 16127",
     "header.physical_blocks"},
    {[](DevHdrBuf &h) { h.h_20x.Block0Off.set(2 << 20); }, kEnd + "68157440", "header.area_end"},
    {[](DevHdrBuf &h) { h.h_20x.PhysicalBlocks.set(64 * 256); }, kEnd + "68157440",
     "header.area_end"},
    {[](DevHdrBuf &h) { h.h_20x.ShiftVolWbCnt.set(1), h.h_20x.ShiftVolSkipSectors.set(8); },
     kEnd + "67362816", "header.area_end"},
    {[](DevHdrBuf &h) { h.h_20x.Block0Off.set(UINT64_MAX - 511); }, kEnd + "beyond 2^64",
     "header.area_end"},
    {[](DevHdrBuf &h) { h.h_20x.Block0Off.set(0); }, kArea + "0 to 4095, found bytes 0 to 66060287",
     "header.area_start"},
    {[](DevHdrBuf &) {}, kArea + "1048576 to 1052671, found bytes 1048576 to 67108863",
     "header.area_start", 2048},
    {[](DevHdrBuf &h) { h.h_20x.vm_status.set(2); },
     "header 0: vm_status: expected 0 or 1, found 2", "header.vm_status"},
    {[](DevHdrBuf &h) {
       h.h_20x.vm_status.set(1), h.h_20x.vm_Block0Off.set(1 << 19), h.h_20x.vm_BitSizes[0] = 30;
     },
     "header 0: vm_Block0Off: expected 1048576, found 524288", "header.vm_block0_off"},
    {[](DevHdrBuf &h) { h.h_20x.vm_status.set(1), h.h_20x.vm_Block0Off.set(1 << 20); },
     "header 0: vm_BitSizes[0]: expected 30, found 0", "header.vm_bit_sizes"},
    {[](DevHdrBuf &h) {
       h.h_20x.vm_status.set(1), h.h_20x.vm_Block0Off.set(1 << 20), h.h_20x.vm_BitSizes[0] = 30;
       h.h_20x.vm_PhysicalBlocks.set(256);
     },
     "header 0: vm data area end: expected at most the device size 67108864, found 68157440",
     "header.vm_area_end"},
};

// The verdict, and the walk only with a sound header.
TEST(CheckHeaderRules, EachFieldAgainstWhatAFormatWrites) {
  MemDev m(64 << 20);
  for (const HdrCase &c : kHdrCases) {
    m.hdr = support::V20Header(64 << 20);
    c.change(m.hdr);
    if (c.seal) m.Seal();
    std::memcpy(m.bytes.data(), m.hdr.raw, kHdrSize);
    m.sig = c.sig;
    CheckDev dev = m.Dev();
    dev.hdr_sector = c.hdr_sector;
    const CheckReport r = CheckDevice(dev, CheckRange{});
    const std::string verdict = c.codes == "header.no_header" ? "no XTL header" : "header damaged";
    const auto n = std::count(c.lines.begin(), c.lines.end(), '\n') + 1;
    EXPECT_EQ(Text(r), c.lines.empty()
                           ? "check: header sound; write blocks 0 to 62: 0 sound, 63 never "
                             "written, 0 damaged; 0 problem(s)\n"
                           : c.lines + "\ncheck: " + verdict + "; write blocks not checked; " +
                                 std::to_string(n) + " problem(s)\n");
    EXPECT_EQ(Codes(r), c.codes) << c.lines;
    EXPECT_EQ(r.Damaged(), !c.lines.empty()) << c.lines;  // status 2
  }
}

// Two volumes (a format with --autovm, in this process): header 1 is checked
// beside header 0, its damage is the verdict's, and the walk needs only
// header 0.
TEST(CheckHeaderRules, TheSecondHeaderOfTwoVolumes) {
  support::ScratchDir dir;
  const std::string path = dir.File("dev.img");
  support::MakeSparse(path, 64 << 20);
  ASSERT_FALSE(fmt_test::RunFormat({"format", path, "-q", "--autovm", "--dedupe=200", "--comp=200",
                                    "--wtblksz=1024"})
                   .failed);
  const std::vector<uint8_t> block = support::ReadAt(path, 0, kBlockSize);
  const std::string walk = "write blocks 0 to 58: 0 sound, 59 never written, 0 damaged; ";
  const struct {
    void (*change)(DevHdrBuf &);
    std::string lines;
    std::string codes;
  } cases[] = {
      {[](DevHdrBuf &) {}, "", ""},
      {[](DevHdrBuf &h) { std::memset(h.raw, 0, kHdrSize); },
       "header 1: Str: expected XTL:2.0, found 0000000000000000", "header.version"},
      {[](DevHdrBuf &h) {
         h.h_20x.ClusterSize.set(512);
         h.h_20x.mm3_64.set(HdrChecksum(h));
       },
       "header 1: ClusterSize: expected 256, found 512", "header.cluster_size"},
  };
  for (const auto &c : cases) {
    MemDev m(64 << 20);
    std::memcpy(m.bytes.data(), block.data(), block.size());
    DevHdrBuf h1{};
    std::memcpy(h1.raw, block.data() + kHdrSize, kHdrSize);
    c.change(h1);
    std::memcpy(m.bytes.data() + kHdrSize, h1.raw, kHdrSize);
    const CheckReport r = CheckDevice(m.Dev(), CheckRange{});
    EXPECT_EQ(Text(r),
              c.lines.empty()
                  ? "check: header sound (two volumes); " + walk + "0 problem(s)\n"
                  : c.lines + "\ncheck: header damaged (two volumes); " + walk + "1 problem(s)\n");
    EXPECT_EQ(Codes(r), c.codes);
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
      {{Of(256)}, [](MemDev &m) { m.At(256)[2000] ^= 1; }, "damaged", "wtblk.mm3_64"},
      {{Of(256)}, [](MemDev &m) { m.At(511)[40] ^= 1; }, "damaged", "wtblk.mm3_64"},
      {{Of(256)}, [](MemDev &m) { m.At(511)[20] ^= 1; }, "damaged", "wtblk.torn_segment"},
      {{Of(100), Of(300)}, nullptr, "damaged", "wtblk.segment_overrun"},
      {{Of(100), Seg{0, 0, 0, 0, 0, 0, 0, 0}}, nullptr, "damaged", "wtblk.empty_segment"},
      {{Of(256)},
       [](MemDev &m) {
         m.hdr.h_20x.ShiftVolWbCnt.set(1);
         m.hdr.h_20x.ShiftVolSkipSectors.set(0x80000000);
         m.Seal();
       },
       "damaged",
       "wtblk.beyond_device"},
  };
  for (const auto &c : cases) {
    MemDev m;
    m.Lay(1, c.segs);
    if (c.damage != nullptr) c.damage(m);
    const CheckReport r = CheckDevice(m.Dev(), CheckRange{true, 1, true, 1});
    const std::string got = r.sound != 0 ? "sound" : r.never_written != 0 ? "never" : "damaged";
    EXPECT_EQ(got, c.verdict) << c.problem;
    EXPECT_EQ(Codes(r), c.problem);
  }
}

std::string Hex(uint64_t v, int width = 0) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(v));
  return text;
}

// A damaged block's checksum line: what its bytes hash to, what it holds.
std::string Sum(MemDev &m, uint64_t pba) {
  BLK_HDR_H_20x h;
  std::memcpy(&h, m.At(pba), sizeof h);
  return "write block 1 offset 0 pba " + std::to_string(pba) + ": mm3_64: expected " +
         "0x" + Hex(BlkHdrChecksum(m.At(pba))) + ", found 0x" + Hex(h.mm3_64.get());
}

// A torn segment: the block where its second metadata block belongs holds
// another instance's signature.
std::string Torn(MemDev &m) {
  std::string dev;
  for (size_t i = 0; i < 32; i++) dev += Hex(m.hdr.raw[i], 2);
  return "write block 1 offset 0 pba 509: Str: expected " + dev + ", found 58544c3a322e3000" +
         std::string(46, '0') + "07";
}

// Each write-block damage alone in write block 1: its line tells the write
// block, the segment's offset in it, the block, the field, what a sound
// block holds and what was found.
TEST(CheckVerdicts, EachDamageLineTellsWhereAndWhat) {
  Seg torn = Of(254);
  torn.meta = 2;
  const struct {
    std::vector<Seg> segs;
    void (*damage)(MemDev &);
    std::string (*line)(MemDev &);
  } cases[] = {
      {{Of(256)}, [](MemDev &m) { m.At(256)[32] ^= 0x40; }, [](MemDev &m) { return Sum(m, 256); }},
      {{Of(256)}, [](MemDev &m) { m.At(256)[2000] ^= 0x40; }, [](MemDev &m) { return Sum(m, 256); }},
      {{Of(256)}, [](MemDev &m) { m.At(511)[4095] ^= 0x40; }, [](MemDev &m) { return Sum(m, 511); }},
      {{torn},
       [](MemDev &m) {
         std::memset(m.At(509), 0, kBlockSize);
         std::memcpy(m.At(509), "XTL:2.0", 8);
         m.At(509)[31] = 7;
       },
       Torn},
      {{Of(100), Seg{0, 0, 0, 0, 0, 0, 0, 0}}, nullptr,
       [](MemDev &) -> std::string {
         return "write block 1 offset 100 pba 356: segment blocks: expected at least 1, found 0";
       }},
      {{Of(302)}, nullptr, [](MemDev &) -> std::string {
         return "write block 1 offset 0 pba 256: segment blocks: expected at most 256 (the rest of "
                "the write block), found 302";
       }},
  };
  for (const auto &c : cases) {
    MemDev m;
    m.Lay(1, c.segs);
    if (c.damage != nullptr) c.damage(m);
    const std::string want = c.line(m);
    const CheckReport r = CheckDevice(m.Dev(), CheckRange{true, 1, true, 1});
    EXPECT_EQ(Text(r), want + "\ncheck: header sound; write blocks 1 to 1: 0 sound, 0 never "
                              "written, 1 damaged; 1 problem(s)\n");
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
