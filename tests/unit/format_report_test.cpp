// SPDX-License-Identifier: Apache-2.0
// The format report's number formatting: thousands separators and the two
// unit scalings, at and around every row bound, and beyond the last row.
#include <gtest/gtest.h>

#include <cstring>

#include "format/report.h"
#include "support.h"

namespace {

std::string Comma(uint64_t x) {
  char text[24];
  return FmtComma(x, text);
}

TEST(FmtComma, RowsAndBounds) {
  const struct {
    uint64_t x;
    const char *text;
  } cases[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {1001, "1,001"},
      {999999, "999,999"},
      {1000000, "1,000,000"},
      {1002003, "1,002,003"},
      {999999999, "999,999,999"},
      {1000000000, "1,000,000,000"},
      {1234567890123ULL, "1234,567,890,123"},
      // Larger than a signed 64-bit number: still the true value.
      {UINT64_MAX, "18446744073,709,551,615"},
  };
  for (const auto &c : cases) EXPECT_EQ(Comma(c.x), c.text) << c.x;
}

TEST(FmtComma, WidestValueFitsTheBuffer) {
  char text[24];
  std::memset(text, 'x', sizeof text);
  FmtComma(UINT64_MAX, text);
  EXPECT_EQ(std::strlen(text), 23u);
}

// One step of the size scaling, in binary units (GiB()/GiB_u()) and in
// decimal ones (GB()/GB_u()): bytes, the value and the label shown.
struct ScaleCase {
  uint64_t bin_bytes;
  int32_t bin_value;
  const char *bin_label;
  uint64_t dec_bytes;
  int32_t dec_value;
  const char *dec_label;
};
void PrintTo(const ScaleCase &c, std::ostream *os) { *os << c.bin_bytes << " / " << c.dec_bytes; }

class ScaleRows : public ::testing::TestWithParam<ScaleCase> {};
TEST_P(ScaleRows, ValueAndLabel) {
  const ScaleCase &c = GetParam();
  EXPECT_EQ(GiB(c.bin_bytes), c.bin_value);
  EXPECT_STREQ(GiB_u(c.bin_bytes), c.bin_label);
  EXPECT_EQ(GB(c.dec_bytes), c.dec_value);
  EXPECT_STREQ(GB_u(c.dec_bytes), c.dec_label);
}
// Beyond the TiB (TB) row the scaling goes on in PiB (PB).
INSTANTIATE_TEST_SUITE_P(
    Format, ScaleRows,
    ::testing::Values(ScaleCase{0, 0, "  B", 0, 0, " B"},
                      ScaleCase{99999, 99999, "  B", 99999, 99999, " B"},
                      ScaleCase{100000, 97, "KiB", 100000, 100, "KB"},
                      ScaleCase{102398976, 99999, "KiB", 99999000, 99999, "KB"},
                      ScaleCase{102398977, 97, "MiB", 99999001, 99, "MB"},
                      ScaleCase{104856551424ULL, 99999, "MiB", 99999000000ULL, 99999, "MB"},
                      ScaleCase{104856551425ULL, 97, "GiB", 99999000001ULL, 99, "GB"},
                      ScaleCase{1ULL << 40, 1024, "GiB", 1ULL << 40, 1099, "GB"},
                      ScaleCase{107373108658176ULL, 99999, "GiB", 99999000000000ULL, 99999, "GB"},
                      ScaleCase{107373108658177ULL, 97, "TiB", 99999000000001ULL, 99, "TB"},
                      ScaleCase{109950063265972224ULL, 99999, "TiB", 99999000000000000ULL, 99999, "TB"},
                      ScaleCase{109950063265972225ULL, 97, "PiB", 99999000000000001ULL, 99, "PB"},
                      ScaleCase{UINT64_MAX, 16383, "PiB", UINT64_MAX, 18446, "PB"}));

TEST(FormatReport, ZeroSecondVolumeAndWideCounts) {
  DEV_HDR_20 h{};
  h.PhysicalBlocks.set(1ULL << 50);  // 2^62 bytes: 4,096 PiB; first group not split
  h.LogicalBlocks.set(24);           // 98,304 bytes
  h.BitSizes[0] = 34;
  h.BitSizes[1] = 55;
  h.BitSizes[2] = 1;
  h.BitSizes[3] = 6;
  EXPECT_EQ(support::Capture([&](FILE *f) { PrintFormatReport(f, 4096, 65536, 12345, "HASH_META", h); }),
            support::ExpectedText("format-report-wide.txt"));
}

}  // namespace
