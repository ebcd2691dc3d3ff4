// The format driver: the --devsz= bound, the default counts, the --free=
// normalisation, the version selector and the exclusive open.
#include <gtest/gtest.h>

#include "format_builders.h"

namespace {
using fmt_test::FmtRun;
using fmt_test::RunFormat;

class DriverTest : public fmt_test::FormatTest {
 protected:
  std::string image;
  void SetUp() override {
    FormatTest::SetUp();
    image = dir.File("drv.img");
    MakeSparse(image, 1ULL << 40);
  }
};

TEST_F(DriverTest, DevSzBoundAndDefaultCounts) {
  const FmtRun r = RunFormat({"format", image, "--devsz=1024", "-q"});
  ASSERT_FALSE(r.failed) << r.msg;
  EXPECT_EQ(dev.DevSize, 1073741824u);
  const DefaultCounts c = GetDefaultCounts(dev.DevSize);
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
    EXPECT_EQ(v_Free, c.value) << c.word;
    EXPECT_EQ(GetDefaultCounts(dev.DevSize).LogicalBlocks, (1ULL << 28) * c.value / 100) << c.word;
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

}  // namespace
