// SPDX-License-Identifier: Apache-2.0
// Printed figures: table cells, block-size labels, fill and mode-10..12 rates,
// and a table as its reporter prints it from the results.
#include <string>

#include "bench.h"
#include "config.h"
#include "report.h"
#include "test_util.h"

namespace {

struct RateRow {
  int64_t n;
  const char *text;
};
void PrintTo(const RateRow &c, std::ostream *os) { *os << c.n; }

class PrettyRateTest : public ::testing::TestWithParam<RateRow> {};

TEST_P(PrettyRateTest, Row) {
  char buf[32];
  PrettyRate(GetParam().n, buf);
  EXPECT_STREQ(buf, GetParam().text) << GetParam().n;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, PrettyRateTest,
    ::testing::Values(RateRow{0, "   0   B"}, RateRow{8191, "8191   B"}, RateRow{8192, "   8.0K"},
                      RateRow{8703, "   8.4K"},  // 511/1024 of a K: truncated, not rounded
                      RateRow{8704, "   8.5K"}, RateRow{1572864, "1536.0K"},
                      RateRow{8388607, "8191.9K"}, RateRow{8388608, "   8.0M"},
                      RateRow{209715200, " 200.0M"}, RateRow{8589934591, "8191.9M"},
                      RateRow{8589934592, "   8.0G"}, RateRow{16106127360, "  15.0G"}));

struct KRow {
  int n;
  const char *text;
};
void PrintTo(const KRow &c, std::ostream *os) { *os << c.n; }

class PrettyKTest : public ::testing::TestWithParam<KRow> {};

TEST_P(PrettyKTest, Row) { EXPECT_EQ(PrettyK(GetParam().n), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Ranges, PrettyKTest,
                         ::testing::Values(KRow{512, "512B"}, KRow{1023, "1023B"}, KRow{1024, "  1K"},
                                           KRow{4096, "  4K"}, KRow{524288, "512K"},
                                           KRow{1048575, "1023K"}, KRow{1048576, "  1M"},
                                           KRow{4194304, "  4M"}));

TEST(FormatCellTest, IopsAndBandwidthOfTheWindow) {
  std::string cell;
  // 25000 transfers of 4 KiB in 1000 ms
  EXPECT_TRUE(FormatCell(25000, 4096, 1000, cell));
  EXPECT_EQ(cell, "|  25000   97.6M ");
  EXPECT_EQ(cell.size(), 17U);  // as wide as a header column
  EXPECT_TRUE(FormatCell(0, 512, 1003, cell));
  EXPECT_EQ(cell, "|      0    0   B ");
  EXPECT_TRUE(FormatCell(3, 4194304, 2000, cell));
  EXPECT_EQ(cell, "|      1 6144.0K ");
}

TEST(FormatCellTest, ZeroWindowDoesNotDivide) {
  std::string cell;
  EXPECT_FALSE(FormatCell(1234, 4096, 0, cell));
  EXPECT_EQ(cell, "|      0    0   B ");
  EXPECT_FALSE(FormatCell(1234, 4096, -5, cell));
}

TEST(FillRateTest, MibPerSecondAndZeroTime) {
  EXPECT_EQ(FillRate(4096, 2048), 2000U);
  EXPECT_EQ(FillRate(8, 3), 2666U);
  EXPECT_EQ(FillRate(8, 0), 0U);
  EXPECT_EQ(KbPerMs(1048576, 512), 2048);
  EXPECT_EQ(KbPerMs(0, 0), 0);
  EXPECT_EQ(KbPerMs(1048576, 0), 0);
}

// A mixed table of two columns, one row: the title names the share when
// there are several, a worker that sent no record is told before the cell.
TEST(TableReporterTest, PrintsTheTableFromItsResults) {
  BenchConfig cfg;
  cfg.threads[0] = 1;
  cfg.threads[2] = 2;  // a column left out between them
  cfg.mix_shares = {70, 30};
  CellResult c{2, 4096, 1000, 1, {3000}, false, {}};
  c.total = 3000;
  c.missing_records = 1;
  CaptureStdout cap;
  TableReporter rep(cfg, 2, 70);
  rep.Begin();
  rep.RowStart(4096);
  rep.Cell(c);
  rep.RowEnd();
  rep.End();  // no --lat: no latency table
  EXPECT_EQ(cap.Take(), "Mixed Tests, 70% reads:\n\n"
                        "Block |    1 thread    |    2 threads   \n"
                        " Size |   IOPS    BW   |   IOPS    BW   \n"
                        "      |                |                \n"
                        "   4K res = 0\n|   3000   11.7M \n");
}

}  // namespace
