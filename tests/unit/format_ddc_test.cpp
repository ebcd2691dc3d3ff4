// SPDX-License-Identifier: Apache-2.0
// De-dupe and compression sizing: the table sizes of the worked example, the
// PBA size classes, the reserve search, and the two-volume format end to end.
#include <gtest/gtest.h>

#include "format_builders.h"

namespace {
using fmt_test::Bits;
using fmt_test::FmtRun;
using fmt_test::RunCaptured;

constexpr uint64_t kTiB = 1ULL << 40;

TEST(DdcSizing, WorkedExampleTables) {
  // DataSz 976234 write blocks of 256 blocks, 90 %, 200 %, 200 %.
  const uint64_t lba = 976234ULL * 256 * 90 / 100 * 200 / 100 * 200 / 100;
  ASSERT_EQ(lba, 899697252u);
  const VmTables t = GetVmTables(976234, 256, lba);
  EXPECT_EQ(t.PbaSz, 12);
  EXPECT_EQ(t.SlotsPerWtBlk, 1356);
  EXPECT_EQ(t.LbaSz, 10);
  EXPECT_EQ(t.SlotHashCnt, 1ULL << 31);
  EXPECT_EQ(t.Blocks, 16667136u);
  EXPECT_EQ(GetVmSize(976234, 256, lba), 16667136);
  EXPECT_EQ(GetVmWtBlkCnt(976234, 256, lba), 65106);
  EXPECT_EQ(GetVmWtBlkCnt2(976234, 256, 90, 200, 200), 65106);
}

TEST(DdcSizing, WorkedExampleReserve) {
  const DdcPlan p = PlanDDC(kTiB, 256, 90, 200, 200);
  EXPECT_EQ(p.TotWtBlks, 1048575);
  EXPECT_EQ(p.i, 72341);
  EXPECT_EQ(p.DataSz, 976234);
  EXPECT_EQ(p.VmSz, 65106);
  EXPECT_EQ(p.VmSz2, 72341);
  // The reserve is the smallest: one write block less does not hold the tables.
  const int vm = GetVmWtBlkCnt2(static_cast<uint64_t>(p.TotWtBlks - (p.i - 1)), 256, 90, 200, 200);
  EXPECT_GT(vm * 10 / 9 + 1, p.i - 1);
}

TEST(DdcSizing, SmallHelpers) {
  EXPECT_EQ(GetSlotsPerWtBlk(256, 11), 1110);  // 370 a page: 1024 / 370 = 2, (2 + 1) x 370
  EXPECT_EQ(GetSlotsPerWtBlk(256, 12), 1356);
  EXPECT_EQ(GetSlotsPerWtBlk(256, 13), 1252);  // 313 a page: 1024 / 313 = 3, 4 x 313
  EXPECT_EQ(GetLbaSz(11, 1), 7);               // (54 + 0 + 7) / 8
  EXPECT_EQ(GetLbaSz(13, 1 << 20), 10);        // (60 + 20 + 7) / 8
  EXPECT_EQ(GetLbaSz(13, (1 << 20) + 1), 11);  // (60 + 21 + 7) / 8
  EXPECT_EQ(GetPbaHashSz(11), 32);
  EXPECT_EQ(GetPbaHashSz(12), 34);
  EXPECT_EQ(GetPbaHashSz(13), 36);
  EXPECT_EQ(GetPbaOvfSz(899697252), 65536u * 4);  // 31 bits: 2^16 entries of 4 bytes
  EXPECT_EQ(GetPbaOvfSz(1ULL << 32), 131072u * 8);  // 33 bits: 2^17 entries of 8 bytes
}

struct PbaCase {
  uint64_t wtblks;
  int wtblksz;
  uint64_t logblks;
  int size;
};
void PrintTo(const PbaCase &c, std::ostream *os) { *os << c.wtblks << "x" << c.wtblksz << ", " << c.logblks; }
class PbaSizeClasses : public ::testing::TestWithParam<PbaCase> {};
TEST_P(PbaSizeClasses, LargestOfTheThree) {
  EXPECT_EQ(GetPbaSz(GetParam().wtblks, GetParam().wtblksz, GetParam().logblks), GetParam().size);
}
INSTANTIATE_TEST_SUITE_P(
    Format, PbaSizeClasses,
    ::testing::Values(
        // Slot estimate wtblks x wtblksz x 5 below 2^30, 2^34, 2^36.
        PbaCase{214748, 1000, 1, 11},  // 1,073,740,000
        PbaCase{214749, 1000, 1, 12},  // 1,073,745,000
        PbaCase{3435973, 1000, 1, 12}, PbaCase{3435974, 1000, 1, 13},
        // Logical blocks below 2^31, 2^34, 2^37.
        PbaCase{1, 1, (1ULL << 31) - 1, 11}, PbaCase{1, 1, 1ULL << 31, 12},
        PbaCase{1, 1, 1ULL << 34, 13}, PbaCase{1, 1, (1ULL << 37) - 1, 13},
        // Write-block size up to 4095, 8191, 65535 blocks.
        PbaCase{1, 4095, 1, 11}, PbaCase{1, 4096, 1, 12}, PbaCase{1, 8192, 1, 13},
        PbaCase{1, 65535, 1, 13}));

TEST(DdcSizing, PbaSizeRefusals) {
  const struct {
    uint64_t wtblks;
    int wtblksz;
    uint64_t logblks;
    const char *msg;
  } cases[] = {
      {13743896, 1000, 1, "Volume SlotCnt 68719480000 too large.\n"},
      {1, 1, 1ULL << 37, "Volume LogBlks 137438953472 too large.\n"},
      {1, 65536, 1, "Volume WtBlk 65536 is too large.\n"},
      // The slot class is checked first.
      {13743896, 65536, 1ULL << 40, "Volume SlotCnt 4503599841280 too large.\n"},
  };
  for (const auto &c : cases) {
    if (auto e = Thrown<FatalError>([&] { GetPbaSz(c.wtblks, c.wtblksz, c.logblks); }, c.msg)) {
      EXPECT_EQ(e->text, c.msg);
      EXPECT_FALSE(e->to_stderr);
    }
  }
}

TEST(DdcSizing, DevicesTooSmallForTwoWriteBlocks) {
  for (uint64_t bytes : {0ULL, 4096ULL * 256, 4096ULL * 256 * 2 - 1}) {
    if (auto e =
            Thrown<FatalError>([&] { PlanDDC(bytes, 256, 90, 100, 100); }, std::to_string(bytes))) {
      EXPECT_EQ(e->text, "Error computing VmSz.");
    }
  }
}

TEST(DdcSizing, NoReserveFits) {
  // Three write blocks: two usable, and the tables need more than that.
  if (auto e = Thrown<FatalError>([&] { PlanDDC(4096ULL * 256 * 3, 256, 90, 200, 200); })) {
    EXPECT_EQ(e->text, "Error computing VmSz.");
  }
}

TEST(DdcSizing, RatiosBeyondSixtyFourBitsAreRefused) {
  if (auto e = Thrown<FatalError>(
          [&] { GetVmWtBlkCnt2(1000000, 256, 90, 4000000000u, 4000000000u); })) {
    EXPECT_EQ(e->text,
              "format: the logical block count at --comp=4000000000 and --dedupe=4000000000 is "
              "beyond 64 bits.\n");
  }
}

// The two volumes' parameters: the data volume after the reserve with
// --free= within 10..95, the VM volume plain from one stripe set on.
TEST(DdcVolumeParams, DataAndVm) {
  for (const uint32_t free : {0u, 5u, 50u}) {
    FormatParams given;
    given.Free = free;
    given.Comp = 200;
    given.DeDupe = 150;
    given.WtBlkStripeCnt = 2;
    given.QuickFlg = true;
    given.HdrOff = 16;
    const FormatParams d = DataVolumeParams(given, 2048, 123 * 2097152ULL);
    EXPECT_EQ(d.WtBlkSz, 2048u);
    EXPECT_EQ(d.Offset0, 123 * 2097152ULL);
    EXPECT_EQ(d.Free, free == 50 ? 50u : 90u);
    EXPECT_EQ(d.Comp, 200u);
    EXPECT_EQ(d.DeDupe, 150u);
    const FormatParams v = VmVolumeParams(d);
    EXPECT_EQ(v.WtBlkSz, 2048u);
    EXPECT_EQ(v.Offset0, 2 * 2097152ULL);
    EXPECT_EQ(v.Free, 90u);
    EXPECT_EQ(v.Comp + v.DeDupe, 0u);
    EXPECT_TRUE(v.QuickFlg);
    EXPECT_EQ(v.HdrOff, 16u);
  }
}

using DdcFormatTest = fmt_test::FormatTest;

TEST_F(DdcFormatTest, WorkedExampleQuick) {
  const FmtRun r = fmt_test::RunFormat({"format", image, "--autovm", "--dedupe=200", "--comp=200",
                                        "--wtblksz=1024", "--free=90", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(r.out, support::ExpectedText("format-ddc-worked-quick.txt"));

  // Header 0: the data volume, as the 4096-byte block; header 1: the VM
  // volume, 512 bytes at sector 1 inside it.
  const DEV_HDR_20 d = fmt_test::ReadHdr20(image, 0);
  EXPECT_EQ(d.Block0Off.get(), 72341ULL * 1048576);
  EXPECT_EQ(d.PhysicalBlocks.get(), 249915904u);
  EXPECT_EQ(d.LogicalBlocks.get(), 899697252u);
  EXPECT_EQ(Bits(d.BitSizes), "34/55/1/6");
  EXPECT_EQ(d.FeatureBits.get(), 0x0001u | 0x0008 | 0x0020 | 0x0400);
  EXPECT_EQ(d.CompBytes.get(), 64u);
  EXPECT_EQ(d.CompMax.get(), 4u);
  DevHdrBuf check{};
  std::memcpy(check.raw, &d, sizeof d);
  EXPECT_EQ(d.mm3_64.get(), HdrChecksum(check));

  const DEV_HDR_20 v = fmt_test::ReadHdr20(image, 512);
  EXPECT_EQ(v.Block0Off.get(), 1048576u);
  EXPECT_EQ(v.PhysicalBlocks.get(), 18519040u);
  EXPECT_EQ(v.LogicalBlocks.get(), 16668160u);
  EXPECT_EQ(Bits(v.BitSizes), "30/2/0/0");
  EXPECT_EQ(v.FeatureBits.get(), 0x0009u);
  EXPECT_EQ(v.CompBytes.get(), 0u);
  std::memcpy(check.raw, &v, sizeof v);
  EXPECT_EQ(v.mm3_64.get(), HdrChecksum(check));
  // The settings as given: each volume has parameters of its own.
  EXPECT_EQ(v_WtBlkSz, 1024u);
  EXPECT_EQ(v_Comp, 200u);
  EXPECT_EQ(v_DeDupe, 200u);
  EXPECT_EQ(v_Offset0, 0u);
}

TEST_F(DdcFormatTest, FullFormatStopsAfterTheDataVolume) {
  const FmtRun r = fmt_test::RunFormat(
      {"format", image, "--autovm", "--dedupe=200", "--comp=200", "--wtblksz=1024", "--free=90"});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.msg, "BlkCnt = 976234\nBlkN0 = 2147483647\nBlkN1 = 0\n");
  EXPECT_EQ(r.out.find("Calling DoFormatN(1"), std::string::npos);
  EXPECT_EQ(fmt_test::ReadHdr20(image, 0).PhysicalBlocks.get(), 249915904u);
  EXPECT_EQ(fmt_test::ReadHdr20(image, 512).Str[0], 0);  // no VM volume header
}

TEST_F(DdcFormatTest, DefaultsWriteBlocksOf2MiBAndFreeZero) {
  const FmtRun r =
      fmt_test::RunFormat({"format", image, "--autovm", "--dedupe=150", "--comp=300", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  // 512 blocks a write block; the data volume's logical count is shown as 0.
  EXPECT_NE(r.out.find("Calling DoFormatN(0, 1099509530624, 0)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("WtBlkSz =       2048 K"), std::string::npos);
  const DEV_HDR_20 d = fmt_test::ReadHdr20(image, 0);
  EXPECT_EQ(d.ClusterSize.get(), 512u);
  // 90 % of the physical blocks, times 150 % and 300 %.
  EXPECT_EQ(d.LogicalBlocks.get(), d.PhysicalBlocks.get() * 90 / 100 * 150 * 300 / 10000);
  EXPECT_EQ(fmt_test::ReadHdr20(image, 512).ClusterSize.get(), 512u);
}

TEST_F(DdcFormatTest, ReserveSearchPrintsPwrLineAtEachStepThatCallsIt) {
  // The smallest device the search fits: 16 blocks of 4 KiB write blocks,
  // 15 usable. Steps i = 0..14 size data volumes of 15..1 write blocks; the
  // one-block volume needs 12 blocks of tables (VmSz2 14), so i = 14. A step
  // whose volume maps 0 or 1 logical blocks prints "bits = 1" (overflow table).
  const std::string tiny = dir.File("tiny.img");
  MakeSparse(tiny, 16 * 4096);
  const struct {
    const char *dedupe, *comp;
    size_t lines;
  } cases[] = {
      {"--dedupe=200", "--comp=200", 1},  // only 1 write block maps 0: 1 x 90 / 100
      {"--dedupe=100", "--comp=100", 2},  // 2 write blocks map 1
      {"--dedupe=1", "--comp=1", 15},     // every step maps 0
  };
  for (const auto &c : cases) {
    const FmtRun r =
        fmt_test::RunFormat({"format", tiny, "--autovm", c.dedupe, c.comp, "--wtblksz=4", "-q"});
    ASSERT_FALSE(r.failed) << c.dedupe << " " << r.msg;
    std::string want;
    for (size_t n = 0; n < c.lines; n++) want += "bits = 1\n";
    want += "\n1:  Format for de-dupe and compression.\n\n"
            "         DataSz =        1 WtBlks (         0 MB)\n";
    EXPECT_EQ(r.out.rfind(want, 0), 0u) << c.dedupe << "\n" << r.out;
    EXPECT_EQ(r.out.find("bits = ", want.size()), std::string::npos) << c.dedupe;
  }
  // One block less: the one-block volume would be step 13, too early.
  MakeSparse(tiny, 15 * 4096);
  const FmtRun r = fmt_test::RunFormat(
      {"format", tiny, "--autovm", "--dedupe=200", "--comp=200", "--wtblksz=4", "-q"});
  EXPECT_EQ(r.out, "bits = 1\n");
  EXPECT_EQ(r.msg, "Error computing VmSz.");
}

TEST(DdcSizing, SizingOfATinyVolumePrintsToItsTrace) {
  // One write block of one block: 4 x 1 / 370 + 1 = 1 page of 370 slots ->
  // 370 slots (9 bits); 0 logical blocks -> one overflow entry.
  VmTables t;
  EXPECT_EQ(support::Capture([&](FILE *f) { t = GetVmTables(1, 1, 0, f); }), "bits = 1\n");
  EXPECT_EQ(t.OvfBytes, 4u);
  EXPECT_EQ(t.SlotHashCnt, 512u);
  // Quiet when asked.
  EXPECT_EQ(GetVmTables(1, 1, 0, nullptr).Blocks, t.Blocks);
}

TEST_F(DdcFormatTest, AutoVmNeedsBothRatios) {
  for (auto words : {std::vector<std::string>{"format", image, "--autovm", "--dedupe=1"},
                     std::vector<std::string>{"format", image, "--autovm", "--comp=1"},
                     std::vector<std::string>{"format", dir.File("absent"), "--autovm"}}) {
    const FmtRun r = fmt_test::RunFormat(words);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.msg, "AutoVm mode only valid with de-dupe and compressed mode.\n");
    EXPECT_EQ(fmt_test::TestDev().fh, -1);  // the device is not opened
  }
}

TEST_F(DdcFormatTest, StripeSetsThatDoNotFitTheVmVolumeAreRefusedBeforeWriting) {
  // A small VM volume cannot hold its own stripe set and one more of 100000.
  const FmtRun r = fmt_test::RunFormat({"format", image, "--autovm", "--dedupe=200", "--comp=200",
                                        "--wtblksz=1024", "--wtblkstripe=100000", "-q"});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.msg.rfind("format: ", 0), 0u) << r.msg;
  EXPECT_EQ(fmt_test::ReadHdr20(image, 0).Str[0], 0);
}

TEST_F(DdcFormatTest, DevSzBeyondTheDeviceIsTakenAsGiven) {
  const FmtRun r = fmt_test::RunFormat({"format", image, "--autovm", "--dedupe=200", "--comp=200",
                                        "--wtblksz=1024", "--devsz=2097152", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_NE(r.out.find("Calling DoFormatN(0, 2199022206976, "), std::string::npos);
}

}  // namespace
