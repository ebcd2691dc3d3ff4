// SPDX-License-Identifier: Apache-2.0
// Volume header set-up and write: the geometry and header of one volume, the
// quick and the full format, migration, ECC and compression fields, and the
// header write with its flush.
#include <gtest/gtest.h>

#include "format_builders.h"

namespace {
using fmt_test::Bits;
using fmt_test::FmtRun;
using fmt_test::P;
using fmt_test::Params;
using fmt_test::RunCaptured;

constexpr uint64_t kMiB = 1ULL << 20;

class VolumeTest : public fmt_test::FormatTest {
 protected:
  void SetUp() override {
    FormatTest::SetUp();
    dev.fh = open(image.c_str(), O_RDWR);
    ASSERT_GE(dev.fh, 0);
  }
  FmtRun SetupHdr(uint64_t volEnd, uint64_t logical, const Params &p = {}) {
    return RunCaptured([&](FILE *out) { SetupDevHdr(out, dev, p.Plain(), volEnd, logical); });
  }
  FmtRun FormatN(int hdrN, uint64_t volEnd, uint64_t logical, const Params &p = {}) {
    return RunCaptured([&](FILE *out) { DoFormatN(out, dev, p.Plain(), hdrN, volEnd, logical); });
  }
  const DEV_HDR_20 &H() const { return dev.DevHdr.h_20x; }
};

TEST_F(VolumeTest, PlainVolumeDefaults) {
  const FmtRun r = SetupHdr(1ULL << 40, 0);
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(r.out, support::ExpectedText("format-volume-plain.txt"));
  EXPECT_EQ(H().Block0Off.get(), 1048576u);
  EXPECT_EQ(H().ClusterSize.get(), 256u);
  EXPECT_EQ(H().PhysicalBlocks.get(), 268435200u);
  EXPECT_EQ(H().LogicalBlocks.get(), 241591680u);
  EXPECT_EQ(H().FeatureBits.get(), 0x0001u);  // no 0x2000 on this path
  EXPECT_EQ(Bits(H().BitSizes), "30/2/0/0");
  EXPECT_EQ(std::string(H().Str), "XTL:2.0");
  EXPECT_EQ(H().mm3_64.get(), HdrChecksum(dev.DevHdr));
}

TEST_F(VolumeTest, FreeOutsideTenToNinetyFiveBecomesNinety) {
  for (uint32_t f : {5u, 99u}) {
    ASSERT_FALSE(SetupHdr(64 * kMiB, 0, Params().With(&P::Free, f)).failed);
    EXPECT_EQ(H().LogicalBlocks.get(), 63u * 256 * 90 / 100);
  }
}

Params Ddc() { return Params().With(&P::DeDupe, 200).With(&P::Comp, 200); }

TEST_F(VolumeTest, RatiosScaleTheGivenLogicalCount) {
  ASSERT_FALSE(SetupHdr(64 * kMiB, 1000, Ddc()).failed);
  EXPECT_EQ(H().LogicalBlocks.get(), 4000u);
  EXPECT_EQ(H().FeatureBits.get(), 0x0001u | 0x0020 | 0x0400);
  // Compression defaults, in the header only.
  EXPECT_EQ(H().CompBytes.get(), 64u);
  EXPECT_EQ(H().CompMax.get(), 4u);
  // The de-duplicated volume takes all four widths: 4000 logical blocks
  // (12 bits) and 16128 physical (14 + 24), 7 spare bits.
  EXPECT_EQ(Bits(H().BitSizes), "16/41/1/6");
}

TEST_F(VolumeTest, PlainVolumeIgnoresLeftOverWidths) {
  // A de-duplicated and compressed volume first (widths 3 and 4 are 1 and 6).
  ASSERT_FALSE(SetupHdr(64 * kMiB, 0, Ddc()).failed);
  ASSERT_FALSE(SetupHdr(64 * kMiB, 0, Params().With(&P::HashFlg, true)).failed);
  EXPECT_EQ(Bits(H().BitSizes), "22/2/40/0");
}

TEST_F(VolumeTest, EccSixAloneAndShift) {
  const FmtRun r = SetupHdr(
      64 * kMiB, 0, Params().With(&P::EccRaid6, true).With(&P::SvWbCnt, 4).With(&P::SvScCnt, 8));
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(H().FeatureBits.get() & 0x00c0, 0x0080u);
  EXPECT_EQ(H().EccLevel, 2);
  EXPECT_EQ(H().EccWidth, 4);
  EXPECT_EQ(H().EccDepth, 128);
  EXPECT_EQ(H().ShiftVolWbCnt.get(), 4u);
  EXPECT_EQ(H().ShiftVolSkipSectors.get(), 8u);
  EXPECT_NE(r.out.find("            HASH_META ECC6   Dupe = 2  Bit Sizes = "), std::string::npos);
  EXPECT_NE(r.out.find("\n            ECC width/depth = 4/128\n"), std::string::npos);
}

TEST_F(VolumeTest, QuickFormatWritesTheHeaderBlockAndReturns) {
  // Something in the header block and just after it, to see what is written.
  std::vector<uint8_t> junk(8192, 0xee);
  WriteAt(image, 0, junk.data(), junk.size());
  const FmtRun r = FormatN(0, 64 * kMiB, 0, Params().With(&P::QuickFlg, true));
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(r.out.substr(r.out.size() - 23), "Quick Format finished.\n");
  std::vector<uint8_t> back(8192);
  ASSERT_EQ(pread(dev.fh, back.data(), back.size(), 0), 8192);
  EXPECT_EQ(0, std::memcmp(back.data(), dev.DevHdr.raw, kHdrSize));
  for (size_t i = kHdrSize; i < 4096; i++) ASSERT_EQ(back[i], 0) << i;
  for (size_t i = 4096; i < 8192; i++) ASSERT_EQ(back[i], 0xee) << i;
  EXPECT_EQ(H().FeatureBits.get(), 0x0009u);
}

TEST_F(VolumeTest, HeaderOneIsABare512ByteRecordAtSectorOne) {
  std::vector<uint8_t> junk(4096, 0xee);
  WriteAt(image, 0, junk.data(), junk.size());
  ASSERT_FALSE(FormatN(1, 64 * kMiB, 0, Params().With(&P::QuickFlg, true).With(&P::HdrOff, 8)).failed);
  std::vector<uint8_t> back(4096 * 3);
  ASSERT_EQ(pread(dev.fh, back.data(), back.size(), 0), 4096 * 3);
  for (size_t i = 0; i < 4096; i++) ASSERT_EQ(back[i], 0xee) << i;  // before hdroff
  for (size_t i = 4096; i < 4608; i++) ASSERT_EQ(back[i], 0) << i;  // sector 8 not written
  EXPECT_EQ(0, std::memcmp(back.data() + 4608, dev.DevHdr.raw, kHdrSize));
  for (size_t i = 5120; i < back.size(); i++) ASSERT_EQ(back[i], 0) << i;
}

TEST_F(VolumeTest, FullFormatPreparesTheFirstWriteBlockAndStops) {
  const FmtRun r = FormatN(0, 64 * kMiB, 0);
  EXPECT_TRUE(r.failed);
  EXPECT_FALSE(r.msg_stderr);
  // 63 write blocks of 256 blocks.
  EXPECT_EQ(r.msg, "BlkCnt = 63\nBlkN0 = 2147483647\nBlkN1 = 0\n");
  // The header is on the device; the prepared block is not.
  DEV_HDR_20 on = fmt_test::ReadHdr20(image);
  EXPECT_EQ(0, std::memcmp(&on, dev.DevHdr.raw, kHdrSize));
  // The image: header at 0 and at the summary area (entry 22+2+0 bits = 3
  // bytes, 1322 per block, one summary block: SumOff = 255 x 4096).
  BLK_HDR_H_20x bh{};
  std::memcpy(&bh, dev.buf, sizeof bh);
  EXPECT_EQ(0, std::memcmp(bh.Str, H().Str, 32));
  EXPECT_EQ(bh.seq.get(), -1);
  EXPECT_EQ(bh.ReplN, 1);
  EXPECT_EQ(bh.SegN.get(), 1);
  EXPECT_EQ(bh.SegI.get(), 1);
  EXPECT_EQ(bh.NrPadBlocks.get(), 254u);
  EXPECT_EQ(0, std::memcmp(dev.buf + 255 * 4096, &bh, sizeof bh));
}

TEST_F(VolumeTest, MigrationRange) {
  const Params from1000 = Params().With(&P::Migrate_Flg, true).With(&P::Migrate_LinOff0, 1000);
  FmtRun r = FormatN(0, 64 * kMiB, 0, Params(from1000).With(&P::Migrate_LinOff1, 7));
  EXPECT_EQ(H().FeatureBits.get() & 0x0200, 0x0200u);
  EXPECT_EQ(H().Migrate_LinOff0.get(), 1000u);
  EXPECT_EQ(H().Migrate_LinOff1.get(), 7u);
  EXPECT_EQ(r.msg, "BlkCnt = 63\nBlkN0 = 2147483647\nBlkN1 = 0\n");

  r = FormatN(0, 64 * kMiB, 0, Params(from1000).With(&P::Migrate_LinBlks, 600));
  // 1000 / 256 = 3; (1000 + 600 + 255) / 256 = 7.
  EXPECT_EQ(r.msg, "BlkCnt = 63\nBlkN0 = 3\nBlkN1 = 7\n");
}

TEST_F(VolumeTest, RatiosBeyondSixtyFourBitsAreRefused) {
  const FmtRun r =
      SetupHdr(64 * kMiB, 0, Params().With(&P::DeDupe, 4000000000u).With(&P::Comp, 4000000000u));
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.msg,
            "format: the logical block count at --comp=4000000000 and --dedupe=4000000000 is "
            "beyond 64 bits.\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(VolumeTest, VolumeEndBeforeOffsetIsRefused) {
  const FmtRun r = SetupHdr(4 * kMiB, 0, Params().With(&P::Offset0, 8 * kMiB));
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.msg,
            "format: data offset 8388608 is at or beyond the end of the device (4194304 bytes).\n");
}

TEST_F(VolumeTest, RandomSourceMessagesGoToStandardOutput) {
  SetRandSource(dir.File("missing"));
  FmtRun r = SetupHdr(64 * kMiB, 0);
  EXPECT_TRUE(r.failed);
  EXPECT_FALSE(r.msg_stderr);
  EXPECT_EQ(r.msg, "Error opening /dev/urandom.");
  SetRandBytes(std::vector<uint8_t>(3, 1));
  r = SetupHdr(64 * kMiB, 0);
  EXPECT_FALSE(r.msg_stderr);
  EXPECT_EQ(r.msg, "Error reading random seed from /dev/urandom.");
}

// Header writes through handles that fail at each step.
TEST(WriteDevHdr, FailuresOfSeekWriteAndFlush) {
  ResetSettings();
  Device dev;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  dev.fh = p[1];
  if (auto e = Thrown<FatalError>([&] { WriteDevHdr(dev, 0, 0); }, "no seek error")) {
    EXPECT_EQ(e->text, "format: seek error 29\n");  // ESPIPE
  }
  close(p[0]);
  close(p[1]);

  dev.fh = open("/dev/full", O_RDWR);
  ASSERT_GE(dev.fh, 0);
  if (auto e = Thrown<FatalError>([&] { WriteDevHdr(dev, 0, 0); }, "no write error")) {
    EXPECT_EQ(e->text, "format: write error -1 28  fh = " + std::to_string(dev.fh) + "\n");  // ENOSPC
  }
  close(dev.fh);

  // /dev/null takes the write but cannot flush it.
  dev.fh = open("/dev/null", O_RDWR);
  ASSERT_GE(dev.fh, 0);
  if (auto e = Thrown<FatalError>([&] { WriteDevHdr(dev, 0, 1); }, "no flush error")) {
    EXPECT_EQ(e->text, "format: write error -1 22  fh = " + std::to_string(dev.fh) + "\n");  // EINVAL
  }
  close(dev.fh);

  // A header position beyond any file offset.
  if (auto e = Thrown<FatalError>([&] { WriteDevHdr(dev, UINT64_MAX / 2, 0); }, "no seek error")) {
    EXPECT_EQ(e->text, "format: seek error 22\n");
  }
  dev.fh = -1;  // closed above
}

}  // namespace
