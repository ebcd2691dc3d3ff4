// SPDX-License-Identifier: Apache-2.0
// The format driver: the --devsz= bound, the default counts, the parameters
// with their defaults (settings left as given), the version selector and the
// exclusive open.
#include <gtest/gtest.h>

#include "format_builders.h"

namespace {
using fmt_test::FmtRun;
using fmt_test::RunFormat;

using DriverTest = fmt_test::FormatTest;

TEST_F(DriverTest, DevSzBoundAndDefaultCounts) {
  const FmtRun r = RunFormat({"format", image, "--devsz=1024", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(dev.DevSize, 1073741824u);
  const DefaultCounts c = GetDefaultCounts(dev.DevSize, 90);
  EXPECT_EQ(c.PhysicalBlocks, 262144u);
  EXPECT_EQ(c.LogicalBlocks, 235929u);
}

TEST_F(DriverTest, DevSzAboveTheDeviceChangesNothing) {
  // 2^44 MiB is 2^64 bytes: the bound saturates instead of wrapping to 0.
  for (const char *sz : {"--devsz=1048576", "--devsz=17592186044416", "--devsz=0xffffffffffffffff"}) {
    const FmtRun r = RunFormat({"format", image, sz, "-q"});
    ASSERT_FALSE(r.failed) << sz << ": " << r.msg;
    EXPECT_EQ(dev.DevSize, 1ULL << 40) << sz;
  }
}

TEST_F(DriverTest, FreeNormalisation) {
  const struct {
    const char *word;
    uint32_t value;
  } cases[] = {{"--free=0", 90}, {"--free=9", 90}, {"--free=96", 90}, {"--free=10", 10},
               {"--free=95", 95}};
  for (const auto &c : cases) {
    const FmtRun r = RunFormat({"format", image, c.word, "-q"});
    ASSERT_FALSE(r.failed) << r.msg;
    const FormatParams p = PlainFormatParams(ReadFormatParams());
    EXPECT_EQ(p.Free, c.value) << c.word;
    EXPECT_EQ(GetDefaultCounts(dev.DevSize, p.Free).LogicalBlocks, (1ULL << 28) * c.value / 100)
        << c.word;
  }
}

TEST_F(DriverTest, OtherVersionsAreStoredOnThePlainPath) {
  const FmtRun r = RunFormat({"format", image, "--ver=769", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(fmt_test::ReadHdr20(image).MetaVersion.get(), 769u);
}

TEST_F(DriverTest, VersionElevenIsRefusedBeforeAnythingIsPrintedOrWritten) {
  const FmtRun r = RunFormat({"format", image, "--ver=11"});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.msg, "Invalid v_Ver 11(b)\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(fmt_test::ReadHdr20(image).Str[0], 0);
}

TEST_F(DriverTest, DirectoryIsRefused) {
  const FmtRun r = RunFormat({"format", dir.path});
  EXPECT_TRUE(r.failed);
  EXPECT_TRUE(r.msg_stderr);
  // O_RDWR on a directory: EISDIR.
  EXPECT_EQ(r.msg, "Error opening file - " + dir.path + " = 21\n");
}

// Each refusal of a command line: one message for standard output, nothing
// printed before it, nothing written, the image's size kept.
TEST_F(DriverTest, RefusalsWriteNothing) {
  const struct {
    std::vector<std::string> args;
    const char *msg;
  } cases[] = {
      {{"--wtblkstripe=0"}, "format: --wtblkstripe=0: a stripe set needs at least one write block.\n"},
      {{"--wtblksz=2"},
       "format: --wtblksz=2: the write-block size must be a multiple of 4 KiB, from 4 to 4194300.\n"},
      {{"--wtblksz=6"},
       "format: --wtblksz=6: the write-block size must be a multiple of 4 KiB, from 4 to 4194300.\n"},
      {{"--devsz=1"},
       "format: data offset 1048576 is at or beyond the end of the device (1048576 bytes).\n"},
      {{"--devsz=3", "--wtblkstripe=2"},
       "format: device too small: 1048576 bytes after the data offset 2097152, one stripe set "
       "needs 2097152.\n"},
      {{"--ver=11"}, "Invalid v_Ver 11(b)\n"},
      {{"--ver=11", "-q"}, "Invalid v_Ver 11(b)\n"},
      {{"--autovm", "--dedupe=1"}, "AutoVm mode only valid with de-dupe and compressed mode.\n"},
      {{"--autovm", "--comp=1", "-q"}, "AutoVm mode only valid with de-dupe and compressed mode.\n"},
      {{"--autovm", "--dedupe=1", "--comp=1", "--devsz=2"}, "Error computing VmSz."},
      {{"--autovm", "--dedupe=1", "--comp=1", "--wtblksz=1"},
       "format: --wtblksz=1: the write-block size must be a multiple of 4 KiB, from 4 to 4194300.\n"},
      {{"--offset0=1099511627776"},
       "format: data offset 1099511627776 is at or beyond the end of the device (1099511627776 "
       "bytes).\n"},
      {{"--offset0=1099510579201"},  // less than one write block left
       "format: device too small: 1048575 bytes after the data offset 1099510579201, one stripe "
       "set needs 1048576.\n"},
      {{"--devsz=5", "--vm2"}, "format: the second volume needs 4 stripe sets; the device holds 4.\n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words = {"format", image};
    words.insert(words.end(), c.args.begin(), c.args.end());
    const FmtRun r = RunFormat(words);
    EXPECT_TRUE(r.failed) << c.args[0];
    EXPECT_FALSE(r.msg_stderr) << c.args[0];
    EXPECT_EQ(r.msg, c.msg) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_EQ(ReadAt(image, 0, 2 << 20), std::vector<uint8_t>(2 << 20)) << c.args[0];
    EXPECT_EQ(FileSize(image), 1ULL << 40) << c.args[0];
  }
}

// The parameters of the single-volume paths: the defaults applied to a copy.
TEST(FormatParams, PlainDefaults) {
  const struct {
    uint32_t wtblksz, stripe;
    uint64_t offset0;
    uint32_t free;
    uint32_t WtBlkSz;
    uint64_t Offset0;
    uint32_t Free;
  } cases[] = {
      {0, 1, 0, 0, 1024, 1048576, 90},     {256, 3, 0, 5, 256, 786432, 90},
      {4, 1, 4097, 95, 4, 4097, 95},       {0, 2, 0, 96, 1024, 2097152, 90},
      {4194300, 1, 0, 10, 4194300, 4294963200ULL, 10},
  };
  for (const auto &c : cases) {
    FormatParams given;
    given.WtBlkSz = c.wtblksz;
    given.WtBlkStripeCnt = c.stripe;
    given.Offset0 = c.offset0;
    given.Free = c.free;
    given.HdrOff = 7;
    const FormatParams p = PlainFormatParams(given);
    EXPECT_EQ(p.WtBlkSz, c.WtBlkSz) << c.wtblksz;
    EXPECT_EQ(p.Offset0, c.Offset0) << c.wtblksz;
    EXPECT_EQ(p.Free, c.Free) << c.wtblksz;
    EXPECT_EQ(p.HdrOff, 7u);
  }
}

// A format of any path leaves every setting as the command line gave it.
TEST_F(DriverTest, SettingsStayAsGiven) {
  const struct {
    std::vector<std::string> words;
    uint32_t wtblksz, free, comp;
  } cases[] = {
      {{"-q"}, 0, 0, 0},
      {{"--comp=1000", "--vm2", "-q"}, 0, 0, 1000},
      {{"--ver=11", "--free=5"}, 0, 5, 0},
      {{"--autovm", "--dedupe=200", "--comp=200", "--wtblksz=1024", "-q"}, 1024, 0, 200},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words{"format", image};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunFormat(words);
    EXPECT_EQ(v_WtBlkSz, c.wtblksz) << c.words[0];
    EXPECT_EQ(v_Offset0, 0u) << c.words[0];
    EXPECT_EQ(v_Free, c.free) << c.words[0];
    EXPECT_EQ(v_Comp, c.comp) << c.words[0];
    EXPECT_EQ(v_CompBytes + v_CompMax, 0u) << c.words[0];
  }
}

}  // namespace
