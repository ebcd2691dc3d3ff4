// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_util.h"
#include "xtl_blocks.h"

namespace {

// The default header with other counts, stored version, random bytes and
// ECC geometry.
DevHdrBuf SampleV20(uint32_t features) {
  DevHdrBuf h = support::V20Header();
  DEV_HDR_20 &v = h.h_20x;
  std::memset(v.Str + 12, 0x5a, 20);  // random bytes after the tag are not shown
  v.MetaVersion.set(0x1234);           // nor is the stored version
  v.FeatureBits.set(features);
  v.BitSizes[3] = 9;
  v.PhysicalBlocks.set(1000);
  v.LogicalBlocks.set(262144);
  v.EccWidth = 4;
  v.EccDepth = 128;
  return h;
}

// The header with ECC shows the feature names and the ECC line; without,
// it ends with the bit sizes.
TEST(DispHdr, Version20ShowsNamesAndTheEccLineOnlyWithEcc) {
  EXPECT_EQ(Capture([](FILE *f) { DispHdr(f, SampleV20(0x2049)); }),
            ExpectedText("disphdr-v20-ecc.txt"));
  EXPECT_EQ(Capture([](FILE *f) { DispHdr(f, SampleV20(0x2001)); }),
            ExpectedText("disphdr-v20.txt"));
}

TEST(DispHdr, FeatureNamesInOrderAndHexWidth) {
  struct {
    uint32_t bits;
    const char *line;
  } cases[] = {
      {0x0005, "FeatureBits    =     0x0005 (HASH_META)\n"},
      {0x04b8, "FeatureBits    =     0x04B8 (HASH_META QUICK_FMT VM DEDUPE ECC6 COMPRESS)\n"},
      {0x12320, "FeatureBits    =     0x12320 (HASH_META DEDUPE)\n"},
  };
  for (const auto &c : cases) {
    std::string s = Capture([&](FILE *f) { DispHdr(f, SampleV20(c.bits)); });
    EXPECT_NE(s.find(c.line), std::string::npos) << s;
  }
  std::string s = Capture([](FILE *f) { DispHdr(f, SampleV20(0x0080)); });
  EXPECT_NE(s.find("            ECC width/depth = 4/128\n"), std::string::npos);
}

TEST(DispHdr, LargeCountsPrintSigned) {
  DevHdrBuf h = SampleV20(0x2001);
  h.h_20x.PhysicalBlocks.set(UINT64_MAX);
  h.h_20x.LogicalBlocks.set(uint64_t{1} << 62);  // x4 wraps to 0
  h.h_20x.ClusterSize.set(0x80000000u);
  std::string s = Capture([&](FILE *f) { DispHdr(f, h); });
  EXPECT_NE(s.find("PhysicalBlocks =         -1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("LogicalDataSz  =          0 M\n"), std::string::npos) << s;
  EXPECT_NE(s.find("ClusterSize    = -2147483648\n"), std::string::npos) << s;
}

TEST(DispHdr, Version11) {
  DevHdrBuf h{};
  DEV_HDR_11 &v = h.h_11;
  std::memcpy(v.Str, "XTL:1.1", 8);
  v.BlockSize.set(4096);
  v.Block0Off.set(1048576);
  v.PhysicalBlocks.set(100);
  v.LogicalBlocks.set(90);
  v.ClusterSize.set(64);
  EXPECT_EQ(Capture([&](FILE *f) { DispHdr(f, h); }), ExpectedText("disphdr-v11.txt"));
  v.Block0Off.set(-1000);
  const std::string s = Capture([&](FILE *f) { DispHdr(f, h); });
  EXPECT_NE(s.find("Block0Off      = -1\n"), std::string::npos);
}

TEST(DispHdr, UnknownTagPrintsNothing) {
  DevHdrBuf h{};
  EXPECT_EQ(Capture([&](FILE *f) { DispHdr(f, h); }), "");
  std::memcpy(h.raw, "XTL:2.0X", 8);
  EXPECT_EQ(Capture([&](FILE *f) { DispHdr(f, h); }), "");
}

}  // namespace
