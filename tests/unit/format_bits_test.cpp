// SPDX-License-Identifier: Apache-2.0
// Bit sizing of a volume: the version gate, the rule of the de-duplicated
// and compressed volume with its spare-bit split, and the size classes of
// the plain volume at and around each bound.
#include <gtest/gtest.h>

#include "format_builders.h"

namespace {
using fmt_test::FmtRun;
using fmt_test::P;
using fmt_test::Params;
using fmt_test::RunCaptured;

class BitsTest : public fmt_test::FormatTest {
 protected:
  FormatBits bits;  // the widths of the last call; start values after a refusal
  FmtRun Calc(uint64_t logical, uint64_t physical, const Params &p = {}) {
    bits = FormatBits{};
    return RunCaptured([&](FILE *out) { bits = CalcFormatBits_v2(out, p.Plain(), logical, physical); });
  }
  std::string Widths() const {
    return std::to_string(bits.Bits1) + "/" + std::to_string(bits.Bits2) + "/" +
           std::to_string(bits.Bits3) + "/" + std::to_string(bits.Bits4);
  }
};

TEST_F(BitsTest, VersionGate) {
  for (const auto &c : {std::pair<uint32_t, const char *>{11, "Invalid v_Ver 11(b)\n"},
                        {769, "Invalid v_Ver 769(301)\n"},
                        {0, "Invalid v_Ver 0(0)\n"}}) {
    const FmtRun r = Calc(1000, 1000, Params().With(&P::Ver, c.first));
    EXPECT_TRUE(r.failed);
    EXPECT_FALSE(r.msg_stderr);
    EXPECT_EQ(r.msg, c.second);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Widths(), "30/0/0/0");
  }
}

struct DdcBits {
  uint64_t logical, physical;
  const char *widths;
};
void PrintTo(const DdcBits &c, std::ostream *os) { *os << c.logical << "/" << c.physical; }
class DedupeCompBits : public BitsTest, public ::testing::WithParamInterface<DdcBits> {};
TEST_P(DedupeCompBits, WidthsRoundedToWholeBytes) {
  const FmtRun r = Calc(GetParam().logical, GetParam().physical,
                        Params().With(&P::DeDupe, 200).With(&P::Comp, 200));
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(r.out, "");  // nothing printed on this rule
  EXPECT_EQ(Widths(), GetParam().widths);
  EXPECT_EQ((bits.Bits1 + bits.Bits2 + bits.Bits3 + bits.Bits4) % 8, 0);
}
INSTANTIATE_TEST_SUITE_P(
    Format, DedupeCompBits,
    ::testing::Values(
        // 28 + 50 + 7 = 85: three spare bits, two to b1 and one to b2.
        DdcBits{1ULL << 28, 1ULL << 26, "30/51/1/6"},
        // The worked two-volume example's data volume: 89 bits, 7 spare: 4 and 3.
        DdcBits{899697252, 249915904, "34/55/1/6"},
        // 0 and 1 logical blocks need 0 bits: 0 + 24 + 7 = 31, one spare bit to b1.
        DdcBits{0, 1, "1/24/1/6"}, DdcBits{1, 0, "1/24/1/6"},
        // Already a multiple of 8: 2^9 blocks (9) + 2^24 (24 + 24) + 7 = 64.
        DdcBits{1ULL << 9, 1ULL << 24, "9/48/1/6"},
        // 2 + 26 + 7 = 35: five spare bits, three to b1 and two to b2.
        DdcBits{4, 4, "5/28/1/6"},
        // 1 + 24 + 7 = 32 with GetBits(2) = 1 and physical 1: no spare.
        DdcBits{2, 1, "1/24/1/6"}));

TEST_F(BitsTest, SevenSpareBitsSplitFourAndThree) {
  // GetBits(2^20) = 20, GetBits(2^6) + 24 = 30: 57 bits, 64 - 57 = 7 spare.
  ASSERT_FALSE(Calc(1ULL << 20, 1ULL << 6, Params().With(&P::DeDupe, 1).With(&P::Comp, 1)).failed);
  EXPECT_EQ(Widths(), "24/33/1/6");
}

struct PlainRow {
  uint64_t logical;
  const char *line;
  int bits1, hashBits;
};
void PrintTo(const PlainRow &c, std::ostream *os) { *os << c.logical; }
class PlainBits : public BitsTest, public ::testing::WithParamInterface<PlainRow> {};
TEST_P(PlainBits, SizeClass) {
  const PlainRow &c = GetParam();
  for (uint32_t hash : {0u, 1u}) {
    const FmtRun r = Calc(c.logical, 12345, Params().With(&P::HashFlg, hash != 0));
    ASSERT_FALSE(r.failed);
    char trace[80];
    std::snprintf(trace, sizeof trace, "CalcFormatBits_v2(1655)  LogicalBlocks= %llx\n",
                  static_cast<unsigned long long>(c.logical));
    EXPECT_EQ(r.out, std::string(trace) + c.line);
    EXPECT_EQ(bits.Bits1, c.bits1);
    EXPECT_EQ(bits.Bits2, hash != 0 ? c.hashBits : 0);
    if (hash != 0) {
      EXPECT_EQ(bits.Bits1 + 2 + bits.Bits2, 64);
    }
    // Untouched by the plain rule: the start values.
    EXPECT_EQ(bits.Bits3, 0);
    EXPECT_EQ(bits.Bits4, 0);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Format, PlainBits,
    ::testing::Values(
        PlainRow{0, "Version 2.0 format for <= 4TB volume.  0.\n", 22, 40},
        PlainRow{4128767, "Version 2.0 format for <= 4TB volume.  4128767.\n", 22, 40},
        PlainRow{4128768, "Version 2.0 format for <= 64TB volume  4128768.\n", 30, 32},
        PlainRow{1056964607, "Version 2.0 format for <= 64TB volume  1056964607.\n", 30, 32},
        PlainRow{1056964608, "Version 2.0 format for <= 64TB volume.  1056964608.\n", 38, 24},
        PlainRow{270582939647ULL, "Version 2.0 format for <= 64TB volume.  270582939647.\n", 38, 24},
        PlainRow{270582939648ULL, "Version 2.0 format for <= 16PB volume.  270582939648.\n", 46, 16},
        PlainRow{69269232549887ULL, "Version 2.0 format for <= 16PB volume.  69269232549887.\n", 46,
                 16}));

TEST_F(BitsTest, PlainVolumeTooLarge) {
  const FmtRun r = Calc(69269232549888ULL, 1);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.out, "CalcFormatBits_v2(1655)  LogicalBlocks= 3f0000000000\n");
  EXPECT_EQ(r.msg, "Volume is > 256PB.  Version 2.0 format not supported.  69269232549888.\n");
  EXPECT_EQ(bits.Bits1, 30);
}

}  // namespace
