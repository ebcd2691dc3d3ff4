// SPDX-License-Identifier: Apache-2.0
// The version 2.0 layout: the worked examples (trace, report and header of a
// 2^40-byte device, with and without --comp=200 --vm2), the entry-width table
// bounds, option words and bits, the random tag and checksum, and the
// refusals of meaningless geometry.
#include <gtest/gtest.h>

#include "format_builders.h"
#include "format_expected.h"
#include "xtl_blocks.h"

namespace {
using fmt_test::Bits;
using fmt_test::FormatTest;
using fmt_test::FmtRun;
using fmt_test::P;
using fmt_test::Params;
using fmt_test::RunCaptured;

constexpr uint64_t kTiB = 1ULL << 40;

class LayoutTest : public FormatTest {
 protected:
  FmtRun SetupHdr(uint64_t devSize, const Params &p = {}) {
    dev.DevSize = devSize;
    return RunCaptured([&](FILE *out) { SetupDevHdr_v2(out, dev, p.Plain()); });
  }
  const DEV_HDR_20 &H() const { return dev.DevHdr.h_20x; }
};

TEST_F(LayoutTest, DefaultFormatOfOneTiB) {
  const FmtRun r = SetupHdr(kTiB);
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(r.out, kDefaultOut);

  // The header, byte for byte: every field the layout sets, the rest zero.
  uint8_t known_rand[20];
  for (int i = 0; i < 20; i++) known_rand[i] = static_cast<uint8_t>(0x40 + i);  // KnownRand
  const DevHdrBuf want = support::WithSignature(support::V20Header(), known_rand);
  EXPECT_EQ(0, std::memcmp(dev.DevHdr.raw, want.raw, sizeof want.raw));
  EXPECT_NE(H().mm3_64.get(), 0u);
}

Params CompVm2() { return Params().With(&P::Comp, 200).With(&P::Vm2Flg, true); }

TEST_F(LayoutTest, CompressionWithSecondVolume) {
  const FmtRun r = SetupHdr(kTiB, CompVm2());
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(r.out.substr(0, r.out.find("\nFormattting")),
            support::ExpectedText("format-layout-comp-vm2.txt"));
  EXPECT_NE(r.out.find("Opts = HASH_META VM2 COMPRESS\n"), std::string::npos);
  EXPECT_NE(r.out.find("   Phy Size:      267,585,024 4K blocks    1,020 GiB    1,096 GB   32/6/2/0\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("vm Phy Size:          850,176 4K blocks    3,321 MiB    3,482 MB   32/2/0/0\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("vm Log Size:          707,324 4K blocks    2,762 MiB    2,897 MB\n"),
            std::string::npos);
  EXPECT_EQ(H().PhysicalBlocks.get(), 267585024u);
  EXPECT_EQ(H().LogicalBlocks.get(), 481653043u);
  EXPECT_EQ(Bits(H().BitSizes), "32/6/2/0");
  EXPECT_EQ(H().vm_status.get(), 1u);
  EXPECT_EQ(H().vm_LogicalBlocks.get(), 707324u);
  EXPECT_EQ(H().vm_PhysicalBlocks.get(), 850176u);
  EXPECT_EQ(H().vm_Block0Off.get(), 1048576u);
  EXPECT_EQ(Bits(H().vm_BitSizes), "32/2/0/0");
  EXPECT_EQ(H().FeatureBits.get(), 0x2001u | 0x0400u);
  EXPECT_EQ(H().CompBytes.get(), 0u);  // not set on this path
  EXPECT_EQ(H().mm3_64.get(), HdrChecksum(dev.DevHdr));
}

TEST_F(LayoutTest, CompressedSecondVolumeTakesCompressedWidths) {
  ASSERT_FALSE(SetupHdr(kTiB, Params(CompVm2()).With(&P::Vm2CompFlg, true)).failed);
  EXPECT_EQ(Bits(H().vm_BitSizes), "32/6/2/0");
}

TEST_F(LayoutTest, CompIsClampedTo400) {
  const Params p = Params().With(&P::Comp, 1000);
  const FmtRun r = SetupHdr(kTiB, p);
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(ComputeLayoutV20(p.Plain(), kTiB).Comp, 400u);
  EXPECT_NE(r.out.find("ProvPct          = 360\n"), std::string::npos);
}

struct WidthCase {
  uint64_t phys, log;
  bool comp;
  uint32_t lba, meta;
  int bits1;
};
void PrintTo(const WidthCase &c, std::ostream *os) { *os << c.phys << "/" << c.log << (c.comp ? " comp" : ""); }
class EntryWidthBounds : public ::testing::TestWithParam<WidthCase> {};
TEST_P(EntryWidthBounds, InclusiveBounds) {
  const WidthCase &c = GetParam();
  const EntryWidths w = ChooseEntryWidths(c.phys, c.log, c.comp);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.LbaSz, c.lba);
  EXPECT_EQ(w.MetaSz, c.meta);
  EXPECT_EQ(w.Bits1, c.bits1);
  EXPECT_EQ(w.Bits2, c.comp ? 6 : 2);
}
INSTANTIATE_TEST_SUITE_P(
    Format, EntryWidthBounds,
    ::testing::Values(
        WidthCase{805306368, 805306368, false, 4, 4, 30},
        WidthCase{805306369, 805306369, false, 5, 5, 38},
        WidthCase{805306369, 1, false, 5, 4, 30},
        WidthCase{206158430208ULL, 206158430208ULL, false, 5, 5, 38},
        WidthCase{206158430209ULL, 206158430209ULL, false, 6, 6, 46},
        WidthCase{52776558133248ULL, 52776558133249ULL, false, 6, 7, 54},
        WidthCase{13510798882111489ULL, 3458764513820540928ULL, false, 8, 8, 62},
        WidthCase{786432, 12582912, true, 4, 4, 24},
        WidthCase{786433, 12582913, true, 5, 5, 32},
        WidthCase{201326593, 3221225473ULL, true, 6, 6, 40},
        WidthCase{51539607553ULL, 824633720833ULL, true, 7, 7, 48},
        WidthCase{3377699720527872ULL, 54043195528445952ULL, true, 8, 8, 54}));

TEST(EntryWidths, BeyondTheLastRowShowsTheCountOfItsCase) {
  EntryWidths w = ChooseEntryWidths(0x3000000000000001ULL, 5, false);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.BadCount, 0x3000000000000001ULL);  // plain physical: the physical count
  w = ChooseEntryWidths(5, 0x3000000000000001ULL, false);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.BadCount, 0x3000000000000001ULL);
  w = ChooseEntryWidths(0xc000000000001ULL, 7, true);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.BadCount, 7u);  // compressed physical: the logical count is shown
  w = ChooseEntryWidths(5, 0xc0000000000001ULL, true);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.BadCount, 0xc0000000000001ULL);
}

TEST_F(LayoutTest, EccFieldsAndWords) {
  const struct {
    uint32_t ecc5, ecc6;
    uint8_t level;
    uint32_t bits;
    const char *opts;
  } cases[] = {
      {0, 1, 2, 0x0080, "Opts = HASH_META ECC6\n"},
      {1, 0, 1, 0x0040, "Opts = HASH_META ECC\n"},
      {1, 1, 2, 0x00c0, "Opts = HASH_META ECC ECC6\n"},
  };
  for (const auto &c : cases) {
    const FmtRun r = SetupHdr(kTiB, Params().With(&P::EccRaid5, c.ecc5).With(&P::EccRaid6, c.ecc6));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(H().EccLevel, c.level);
    EXPECT_EQ(H().EccWidth, 4);
    EXPECT_EQ(H().EccDepth, 128);
    EXPECT_EQ(H().FeatureBits.get(), 0x2001u | c.bits);
    EXPECT_NE(r.out.find(c.opts), std::string::npos) << r.out;
  }
}

TEST_F(LayoutTest, EccSizesWithoutEccStayZero) {
  ASSERT_FALSE(SetupHdr(kTiB, Params().With(&P::EccWidth, 8).With(&P::EccDepth, 64)).failed);
  EXPECT_EQ(H().EccWidth, 0);
  EXPECT_EQ(H().EccDepth, 0);
  EXPECT_EQ(H().EccLevel, 0);
}

TEST_F(LayoutTest, EveryOptionWordInOrder) {
  Params p;
  for (bool P::*flag : {&P::Vm2Flg, &P::QuickFlg, &P::VmFlg, &P::EccRaid5, &P::EccRaid6,
                        &P::SummaryMeta})
    p.With(flag, true);
  p.With(&P::DeDupe, 1).With(&P::Comp, 100).With(&P::HashTp, 3).With(&P::MetaDupeCnt, 3);
  const FmtRun r = SetupHdr(kTiB, p);
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_NE(r.out.find("Opts = HASH_META VM2 QUICK_FMT VM DEDUPE ECC ECC6 SUMMARY_META COMPRESS\n"),
            std::string::npos);
  EXPECT_EQ(H().FeatureBits.get(), 0x2001u | 0x0008 | 0x0010 | 0x0020 | 0x0040 | 0x0080 | 0x0100 | 0x0400);
  EXPECT_EQ(H().MetaHashTp, 3);
  EXPECT_EQ(H().DataHashTp, 3);
  EXPECT_EQ(H().MetaDupeCnt, 3);
}

TEST_F(LayoutTest, WriteSegmentSize) {
  ASSERT_FALSE(SetupHdr(kTiB).failed);
  EXPECT_EQ(H().WriteSegmentSize.get(), 0u);
  const FmtRun r = SetupHdr(kTiB, Params().With(&P::WtSegSz, 10));
  EXPECT_EQ(H().WriteSegmentSize.get(), 2u);
  EXPECT_NE(r.out.find("             WtSegSz =          10 KB\n"), std::string::npos);
}

TEST_F(LayoutTest, UnalignedOffsetIsKept) {
  const FmtRun r = SetupHdr(kTiB, Params().With(&P::Offset0, 4097));
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(H().Block0Off.get(), 4097u);
  // (2^40 - 4097) / 2^20 whole write blocks.
  EXPECT_NE(r.out.find("dev_NumWtBlks    = 1048575\n"), std::string::npos);
}

TEST_F(LayoutTest, StripeSetsAndWriteBlockSize) {
  const FmtRun r = SetupHdr(kTiB, Params().With(&P::WtBlkSz, 256).With(&P::WtBlkStripeCnt, 3));
  ASSERT_FALSE(r.failed);
  // Offset: one stripe set of 768 KiB; (2^40 - 786432) / 786432 stripe sets.
  EXPECT_EQ(H().Block0Off.get(), 786432u);
  EXPECT_NE(r.out.find("dev_NumWtBlks    = 1398100\n"), std::string::npos);
  EXPECT_NE(r.out.find("main_NumWtBlks   = 4194300\n"), std::string::npos);
  EXPECT_EQ(H().ClusterSize.get(), 64u);
  EXPECT_EQ(H().WtBlkStripe.get(), 3u);
  EXPECT_EQ(H().PhysicalBlocks.get(), 268435200u);
}

TEST_F(LayoutTest, TwoFormatsDifferOnlyInTagBytesAndChecksum) {
  ASSERT_FALSE(SetupHdr(kTiB).failed);
  const DevHdrBuf first = dev.DevHdr;
  std::vector<uint8_t> other = fmt_test::KnownRand();
  other[0] ^= 0xff;  // bytes 20..31 of the source are not used
  other[19] ^= 0x01;
  SetRandBytes(other);
  ASSERT_FALSE(SetupHdr(kTiB).failed);
  for (size_t i = 0; i < kHdrSize; i++) {
    const bool tag = i >= 12 && i < 32;
    const bool sum = i >= 32 && i < 40;
    if (!tag && !sum) {
      EXPECT_EQ(first.raw[i], dev.DevHdr.raw[i]) << "byte " << i;
    }
  }
  EXPECT_NE(0, std::memcmp(first.raw + 12, dev.DevHdr.raw + 12, 20));
  EXPECT_NE(first.h_20x.mm3_64.get(), dev.DevHdr.h_20x.mm3_64.get());
}

TEST_F(LayoutTest, RealRandomSourceGivesDifferentTags) {
  SetRandSource("");
  ASSERT_FALSE(SetupHdr(kTiB).failed);
  const DevHdrBuf first = dev.DevHdr;
  ASSERT_FALSE(SetupHdr(kTiB).failed);
  EXPECT_NE(0, std::memcmp(first.raw + 12, dev.DevHdr.raw + 12, 20));
  EXPECT_EQ(0, std::memcmp(first.raw + 40, dev.DevHdr.raw + 40, kHdrSize - 40));
}

TEST_F(LayoutTest, RandomSourceFailures) {
  SetRandSource(dir.File("missing"));
  FmtRun r = SetupHdr(kTiB);
  EXPECT_TRUE(r.failed);
  EXPECT_TRUE(r.msg_stderr);
  EXPECT_EQ(r.msg, "Error opening /dev/urandom.");
  EXPECT_EQ(r.out, "");

  SetRandBytes(std::vector<uint8_t>(31, 7));
  r = SetupHdr(kTiB);
  EXPECT_TRUE(r.failed);
  EXPECT_TRUE(r.msg_stderr);
  EXPECT_EQ(r.msg, "Error reading from /dev/random.");
}

struct Refusal {
  uint64_t devSize;
  uint32_t wtblksz, stripe;
  uint64_t offset0;
  uint32_t vm2;
  const char *msg;
};
void PrintTo(const Refusal &c, std::ostream *os) { *os << c.devSize << " bytes, offset " << c.offset0; }
class LayoutRefusals : public LayoutTest, public ::testing::WithParamInterface<Refusal> {};
TEST_P(LayoutRefusals, OneMessageNoHeader) {
  const Refusal &c = GetParam();
  const FmtRun r = SetupHdr(c.devSize, Params()
                                           .With(&P::WtBlkSz, c.wtblksz)
                                           .With(&P::WtBlkStripeCnt, c.stripe)
                                           .With(&P::Offset0, c.offset0)
                                           .With(&P::Vm2Flg, c.vm2));
  EXPECT_TRUE(r.failed);
  EXPECT_FALSE(r.msg_stderr);
  EXPECT_EQ(r.msg, c.msg);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(dev.DevHdr.h_20x.Str[0], 0);
}
INSTANTIATE_TEST_SUITE_P(
    Format, LayoutRefusals,
    ::testing::Values(
        Refusal{kTiB, 0, 1, 1ULL << 40, 0,
                "format: data offset 1099511627776 is at or beyond the end of the device "
                "(1099511627776 bytes).\n"},
        Refusal{kTiB, 0, 1, 1ULL << 41, 0,
                "format: data offset 2199023255552 is at or beyond the end of the device "
                "(1099511627776 bytes).\n"},
        Refusal{0, 0, 1, 0, 0,
                "format: data offset 1048576 is at or beyond the end of the device (0 bytes).\n"},
        Refusal{2 * 1048576 - 1, 0, 1, 0, 0,
                "format: device too small: 1048575 bytes after the data offset 1048576, one "
                "stripe set needs 1048576.\n"},
        Refusal{4 * 1048576, 1024, 4, 1048576, 0,
                "format: device too small: 3145728 bytes after the data offset 1048576, one "
                "stripe set needs 4194304.\n"},
        Refusal{kTiB, 0, 0, 0, 0,
                "format: --wtblkstripe=0: a stripe set needs at least one write block.\n"},
        Refusal{kTiB, 2, 1, 0, 0,
                "format: --wtblksz=2: the write-block size must be a multiple of 4 KiB, from 4 "
                "to 4194300.\n"},
        Refusal{kTiB, 1026, 1, 0, 0,
                "format: --wtblksz=1026: the write-block size must be a multiple of 4 KiB, from "
                "4 to 4194300.\n"},
        Refusal{kTiB, 4194304, 1, 0, 0,
                "format: --wtblksz=4194304: the write-block size must be a multiple of 4 KiB, "
                "from 4 to 4194300.\n"},
        Refusal{5 * 1048576, 0, 1, 0, 1,
                "format: the second volume needs 4 stripe sets; the device holds 4.\n"}));

TEST_F(LayoutTest, SmallestDeviceThatFits) {
  const FmtRun r = SetupHdr(2 * 1048576);
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(H().PhysicalBlocks.get(), 256u);
  EXPECT_EQ(H().LogicalBlocks.get(), 230u);
}

TEST_F(LayoutTest, SecondVolumeThatJustFits) {
  const FmtRun r = SetupHdr(6 * 1048576, Params().With(&P::Vm2Flg, true));  // 5 stripe sets: 4 for the second volume, 1 main
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(H().PhysicalBlocks.get(), 256u);
  EXPECT_EQ(H().vm_PhysicalBlocks.get(), 1024u);
}

}  // namespace
