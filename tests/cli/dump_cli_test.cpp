// SPDX-License-Identifier: Apache-2.0
// xtl-maint dump on images written the way the driver writes write blocks.
#include <string>
#include <vector>

#include "maint_run.h"
#include "support.h"
#include "wtblk_image.h"

namespace {

using cli::kBin;

support::Result Dump(std::vector<std::string> args) { return cli::MaintCmd("dump", args); }

std::string Hash(uint64_t h) { return cli::Fmt("%16llx", static_cast<unsigned long long>(h)); }

const std::string kPreamble = support::ExpectedText("dump-preamble.txt");

class DumpImage : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  wtblk::Image img{dir.File("dev.img"), uint64_t{64} << 20};
};

TEST_F(DumpImage, NeverWrittenDeviceShowsTheMismatchAtZero) {
  img.WriteHeader();
  support::Result r = Dump({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kPreamble +
                       "\n"
                       "Off0 = 0  ! hdr match\n"
                       "  blk hdr = " + std::string(64, '0') + "\n"
                       "  dev hdr = 58544c3a322e300000000000acadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(DumpImage, FreshlyFormattedDevice) {
  support::Result f = support::Run({kBin, "format", img.path, "-q"});
  ASSERT_EQ(f.status, 0) << f.out << f.err;
  support::Result r = Dump({img.path});
  EXPECT_EQ(r.status, 0);
  const auto hdr = support::ReadAt(img.path, 0, 32);
  std::string dev_hex;
  for (uint8_t b : hdr) {
    char x[3];
    std::snprintf(x, sizeof x, "%02x", b);
    dev_hex += x;
  }
  EXPECT_EQ(r.out.substr(r.out.find("\n\nOff0")),
            "\n\nOff0 = 0  ! hdr match\n  blk hdr = " + std::string(64, '0') + "\n  dev hdr = " +
                dev_hex + "\n");
}

TEST_F(DumpImage, OneSegmentWithACopy) {
  img.WriteHeader();
  wtblk::Seg s;
  s.data_sz = 100;
  s.nr_data = 100;
  s.pad = 154;  // 1 + 100 + 154 + 1 = 256 blocks: the segment fills the write block
  s.seq = 7;
  auto h = img.WriteSegments(0, {s});
  support::Result r = Dump({img.path, "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kPreamble + "\n" +
                       " XTL:2.0        0/   0  1   1   1        7   100     0   100  0/ 0  154"
                       "   1/2   0 " + Hash(h[0]) + " 100 256\n" +
                       " XTL:2.0      255/ 255  2   1   1        7   100     0   100  0/ 0  154"
                       "   1/2   0 " + Hash(h[1]) + " 100 \n");
}

TEST_F(DumpImage, SeveralSegmentsFillTheWriteBlock) {
  img.hdr.h_20x.WriteSegmentSize.set(64);
  img.WriteHeader();
  wtblk::Seg a;  // 1 + 40 + 4 pad + 2 parity + 1 = 48 blocks
  a.data_sz = a.nr_data = 40;
  a.pad = 4;
  a.parity = 2;
  a.ecc_pad = 0;
  a.seq = 100;
  wtblk::Seg b = a;  // 3 metadata blocks a copy, 2 copies, 2 summary: 1+60+5+2 +... = 72
  b.segn = 2;
  b.seq = 101;
  b.data_sz = b.nr_data = 60;
  b.nr_zero = 3;
  b.pad = 0;
  b.parity = 0;
  b.meta = 3;
  b.summary = 2;
  b.data_sz = 64;
  wtblk::Seg c;  // the rest: 256 - 48 - 72 = 136 = 1 + 134 + 1
  c.segn = 3;
  c.seq = 102;
  c.data_sz = c.nr_data = 134;
  ASSERT_EQ(img.SegBlocks(a) + img.SegBlocks(b) + img.SegBlocks(c), 256u);
  auto h = img.WriteSegments(0, {a, b, c});
  support::Result r = Dump({img.path});
  EXPECT_EQ(r.status, 0);
  auto lines = support::Lines(r.out);
  // preamble (8 lines), then per segment an empty line and its headers
  ASSERT_EQ(lines.size(), 8u + (1 + 2) + (1 + 8) + (1 + 2)) << r.out;
  EXPECT_EQ(lines[8], "");
  // NextOff = Off0 + 1 metadata block x 2 copies + data + pad + parity;
  // with a 64-block write segment it also shows quotient and remainder.
  EXPECT_EQ(lines[9], " XTL:2.0        0/   0  1   1   1      100    40     0    40  0/ 2    4"
                      "   1/2   0 " + Hash(h[0]) + "  40 48 0/48");
  EXPECT_EQ(lines[11], "");
  EXPECT_EQ(lines[12], " XTL:2.0       48/  48  1   2   1      101    60     3    64  0/ 0    0"
                       "   3/2   2 " + Hash(h[2]) + "  64 114 1/50");
  // the further blocks of segment 2: copy 1 blocks 2 and 3, copy 2, summaries
  EXPECT_EQ(lines[13].substr(0, 41), " XTL:2.0      113/ 113  1   2   2      10");
  EXPECT_EQ(lines[17].substr(0, 41), " XTL:2.0      117/ 117  2   2   3      10");
  EXPECT_EQ(lines[19].substr(0, 41), " XTL:2.0      119/ 119  0   2   2      10");
  EXPECT_EQ(lines[19].back(), ' ');
  EXPECT_EQ(lines[21].substr(0, 41), " XTL:2.0      120/ 120  1   3   1      10");
  EXPECT_EQ(lines[22].substr(0, 41), " XTL:2.0      255/ 255  2   3   1      10");
}

TEST_F(DumpImage, MismatchInAFurtherMetadataBlock) {
  img.WriteHeader();
  wtblk::Seg s;
  s.data_sz = s.nr_data = 10;
  s.meta = 2;
  s.pad = 2;
  img.WriteSegments(0, {s});
  // The second copy's first block is left over from an earlier format.
  std::vector<uint8_t> stale(4096);
  std::memcpy(stale.data(), "XTL:2.0", 8);
  support::WriteAt(img.path, img.BlockOffset(1 + 12 + 1), stale.data(), stale.size());
  support::Result r = Dump({img.path});
  EXPECT_EQ(r.status, 0);
  auto lines = support::Lines(r.out);
  ASSERT_EQ(lines.size(), 8u + 1 + 2 + 2) << r.out;
  EXPECT_EQ(lines[11], "! hdr match  pba = 14 |XTL:2.0|");
  EXPECT_EQ(lines[12], "i = 2  pba = 14  NrMetaBlocks = 2  NrMetaBlocksRepl = 2  NrSummaryBlocks = 0");
}

TEST_F(DumpImage, WriteBlockThreeOfAShiftedDevice) {
  img.hdr.h_20x.ShiftVolWbCnt.set(1);
  img.hdr.h_20x.ShiftVolSkipSectors.set(8);
  img.WriteHeader();
  wtblk::Seg s;
  s.data_sz = s.nr_data = 200;
  s.pad = 54;
  img.WriteSegments(3, {s});
  // Block 768 lies three skips (24 sectors) past its unshifted place.
  EXPECT_EQ(img.BlockOffset(768), (1u << 20) + 768u * 4096 + 24 * 512);
  support::Result r = Dump({img.path, "3"});
  EXPECT_EQ(r.status, 0);
  auto lines = support::Lines(r.out);
  ASSERT_EQ(lines.size(), 8u + 3) << r.out;
  EXPECT_EQ(lines[9].substr(0, 24), " XTL:2.0      768/   0  ");
  EXPECT_EQ(lines[10].substr(0, 24), " XTL:2.0     1023/ 255  ");
  // The same write block read without the shift finds no header.
  img.hdr.h_20x.ShiftVolWbCnt.set(0);
  img.WriteHeader();
  EXPECT_NE(Dump({img.path, "3"}).out.find("Off0 = 0  ! hdr match\n"), std::string::npos);
}

TEST_F(DumpImage, CompressedDataCountsChunks) {
  img.SetCompressed();
  img.WriteHeader();
  wtblk::Seg s;
  s.data_sz = 100;  // 100 chunks of 64 a block: 2 blocks
  s.nr_data = 100;
  s.pad = 252;
  img.WriteSegments(0, {s});
  support::Result r = Dump({img.path});
  auto lines = support::Lines(r.out);
  ASSERT_EQ(lines.size(), 8u + 3) << r.out;
  EXPECT_NE(lines[9].find("   100     0     2  0/ 0  252   1/2"), std::string::npos) << lines[9];
  EXPECT_EQ(lines[9].substr(lines[9].size() - 8), "   2 256");
  EXPECT_EQ(lines[10].substr(0, 24), " XTL:2.0      255/ 255  ");
}

TEST_F(DumpImage, RefusedHeaders) {
  struct {
    const char *name;
    void (*damage)(DevHdrBuf &);
    std::string out;
  } cases[] = {
      {"version 1.1", [](DevHdrBuf &h) { std::memcpy(h.raw, "XTL:1.1", 8); },
       "Header / version not supported.\n"},
      {"blank", [](DevHdrBuf &h) { h = DevHdrBuf{}; }, "Header / version not supported.\n"},
      {"MetaVersion", [](DevHdrBuf &h) { h.h_20x.MetaVersion.set(0x200); },
       "v 2.0 header not MetaVersion 0x201.\n"},
      {"no entry size", [](DevHdrBuf &h) { h.h_20x.BitSizes[0] = h.h_20x.BitSizes[1] = 0; },
       "v 2.0 header has no metadata entry size (BitSizes 0/0/0).\n"},
      {"no write block", [](DevHdrBuf &h) { h.h_20x.ClusterSize.set(0); },
       "v 2.0 header has no write-block size (ClusterSize 0).\n"},
  };
  for (auto &c : cases) {
    wtblk::Image im(dir.File("refused.img"), 1 << 24);
    c.damage(im.hdr);
    im.WriteHeader();
    support::Result r = Dump({im.path});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST_F(DumpImage, CorruptCountsEndWithoutLoopingOrWrapping) {
  img.WriteHeader();
  // A segment of no blocks at all would never advance.
  wtblk::Seg empty;
  empty.meta = 0;
  empty.repl = 0;
  img.WriteSegments(0, {empty});
  support::Result r = Dump({img.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(support::Lines(r.out).back(), "Off0 = 0  ! empty segment, walk ends");

  // Counts that place the next metadata block far past the device: a read error.
  wtblk::Seg huge;
  huge.data_sz = 0xffffffffu;
  huge.pad = 0xffffffffu;
  huge.meta = 1;
  img.WriteMeta(0, huge, 1, 1);
  r = Dump({img.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(support::Lines(r.out).back(), "Error reading block - 0");

  // A write-block number whose blocks lie beyond any device.
  r = Dump({img.path, "0xffffffff"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kPreamble + "\nError reading block - 0\n");
}

TEST_F(DumpImage, WithoutADevicePathTheOpenFails) {
  support::Result r = Dump({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error opening file -  = 2\n");
}

}  // namespace
