// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

TEST(Records, LittleEndianFieldsAndTheMetaBlockWord) {
  BLK_HDR_H_20x b{};
  b.NrMetaBlocks.set(5);
  b.NrMetaBlocksRepl = 2;
  const auto *raw = reinterpret_cast<const uint8_t *>(&b);
  EXPECT_EQ(raw[88], 5);
  EXPECT_EQ(raw[89], 0);
  EXPECT_EQ(raw[90], 0);
  EXPECT_EQ(raw[91], 2);
  b.NrMetaBlocks.set(0x123456);
  EXPECT_EQ(raw[88], 0x56);
  EXPECT_EQ(raw[90], 0x12);
  EXPECT_EQ(b.NrMetaBlocks.get(), 0x123456u);

  DevHdrBuf h{};
  h.h_20x.Block0Off.set(0x0102030405060708ULL);
  EXPECT_EQ(h.raw[64], 0x08);
  EXPECT_EQ(h.raw[71], 0x01);
  h.h_11.Block0Off.set(-1000);
  EXPECT_EQ(h.h_11.Block0Off.get(), -1000);
  EXPECT_EQ(h.raw[36], 0x18);  // -1000 = 0xfffffc18
  EXPECT_EQ(h.raw[39], 0xff);
}

TEST(Records, VersionRecognitionNeedsTagAndNul) {
  DevHdrBuf h{};
  EXPECT_EQ(GetHdrVersion(h.raw), HdrVersion::Unknown);
  std::memcpy(h.raw, "XTL:1.1", 8);
  EXPECT_EQ(GetHdrVersion(h.raw), HdrVersion::V11);
  std::memcpy(h.raw, "XTL:2.0", 8);
  EXPECT_EQ(GetHdrVersion(h.raw), HdrVersion::V20);
  h.raw[7] = ' ';
  EXPECT_EQ(GetHdrVersion(h.raw), HdrVersion::Unknown);
  std::memcpy(h.raw, "XTL:1.2", 8);
  EXPECT_EQ(GetHdrVersion(h.raw), HdrVersion::Unknown);
}

class Mapping : public ::testing::Test {
 protected:
  DevHdrBuf DevHdr;
  void SetUp() override {
    ResetSettings();
    DevHdr = MakeV20();
  }
};

TEST_F(Mapping, Version20OffsetAndHeader) {
  DevHdr.h_20x.Block0Off.set(1048576);
  EXPECT_EQ(PbaToSector(DevHdr, 0), 2048);
  EXPECT_EQ(PbaToSector(DevHdr, 3), 2072);
  v_HdrOff = 8;
  EXPECT_EQ(PbaToSector(DevHdr, -1), 8);
}

TEST_F(Mapping, Version20ShiftEveryFewWriteBlocks) {
  DevHdr.h_20x.ClusterSize.set(256);
  DevHdr.h_20x.ShiftVolWbCnt.set(4);
  DevHdr.h_20x.ShiftVolSkipSectors.set(8);
  EXPECT_EQ(PbaToSector(DevHdr, 0), 0);
  EXPECT_EQ(PbaToSector(DevHdr, 1023), 1023 * 8);
  EXPECT_EQ(PbaToSector(DevHdr, 1024), 1024 * 8 + 8);
  EXPECT_EQ(PbaToSector(DevHdr, 2047), 2047 * 8 + 8);
  EXPECT_EQ(PbaToSector(DevHdr, 2048), 2048 * 8 + 16);
  EXPECT_EQ(PbaToSector(DevHdr, 3071), 3071 * 8 + 16);
}

TEST_F(Mapping, ShiftProductIsFormedIn32Bits) {
  DevHdr.h_20x.ClusterSize.set(1);
  DevHdr.h_20x.ShiftVolWbCnt.set(1);
  DevHdr.h_20x.ShiftVolSkipSectors.set(0x80000000u);
  // stripe 2 x 0x80000000 wraps to 0 in 32 bits; stripe 3 leaves 0x80000000.
  EXPECT_EQ(PbaToSector(DevHdr, 2), 16);
  EXPECT_EQ(PbaToSector(DevHdr, 3), 24 + 0x80000000LL);
}

TEST_F(Mapping, ShiftWithZeroClusterSizeIsRefused) {
  DevHdr.h_20x.ShiftVolWbCnt.set(4);
  if (auto e = Thrown<FatalError>([&] { PbaToSector(DevHdr, 5); }, "no refusal")) {
    EXPECT_EQ(e->text, "Error: device header has ClusterSize 0\n");
  }
}

TEST_F(Mapping, Version11TruncatesTheSignedOffset) {
  v_Ver = 11;
  DevHdr = {};
  DevHdr.h_11.Block0Off.set(1000);
  EXPECT_EQ(PbaToSector(DevHdr, 0), 1);
  EXPECT_EQ(PbaToSector(DevHdr, 2), 17);
  DevHdr.h_11.Block0Off.set(-1000);
  EXPECT_EQ(PbaToSector(DevHdr, 2), 15);  // 16 + (-1)
}

TEST_F(Mapping, FollowsTheSettingNotTheTag) {
  DevHdr.h_20x.Block0Off.set(4096);
  v_Ver = 11;  // the 1.1 view of these bytes has Block0Off 0
  EXPECT_EQ(PbaToSector(DevHdr, 1), 8);
}

TEST_F(Mapping, OtherVersionSettingsAreRefused) {
  v_Ver = 12;
  EXPECT_EQ(PbaToSector(DevHdr, -1), 0);  // the header address needs no mapping
  if (auto e = Thrown<FatalError>([&] { PbaToSector(DevHdr, 0); }, "no refusal")) {
    EXPECT_EQ(e->text, "Error: no block mapping for --ver=12 (use 11 or 513)\n");
    EXPECT_FALSE(e->to_stderr);
  }
}

TEST(BitWidths, GetBits) {
  const std::pair<uint64_t, int> cases[] = {
      {0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {1000, 10}, {1024, 10}, {1025, 11},
      {uint64_t{1} << 63, 63}, {(uint64_t{1} << 63) + 1, 64}, {UINT64_MAX, 64},
  };
  for (auto [val, bits] : cases) EXPECT_EQ(GetBits(val), bits) << val;
}

TEST(BitWidths, PwrPrintsForOneAndBelow) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(Pwr(0), 1u);
  EXPECT_EQ(Pwr(1), 1u);
  EXPECT_EQ(Pwr(2), 4u);
  EXPECT_EQ(Pwr(40), uint64_t{1} << 40);
  EXPECT_EQ(Pwr(63), uint64_t{1} << 63);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "bits = 0\nbits = 1\n");
}

TEST(Buffer, AlignedZeroFilledAndReplaced) {
  Device d;
  uint8_t *a = InitBuf(d, 4096);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4096, 0u);
  std::memset(a, 0xaa, 4096);
  uint8_t *b = InitBuf(d, 8192);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 4096, 0u);
  for (int i = 0; i < 8192; i++) ASSERT_EQ(b[i], 0) << i;
}

// The one descriptor holder of devices and log files: the handle is closed
// exactly once, whichever way the holder lets it go.
TEST(UniqueFd, ClosesOnceWhetherMovedClosedOrReleased) {
  auto open_null = [] { return open("/dev/null", O_RDONLY); };
  auto is_open = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
  int fd = open_null();
  { UniqueFd a(fd); }
  EXPECT_FALSE(is_open(fd));  // out of scope
  fd = open_null();
  {
    UniqueFd a(fd);
    UniqueFd b(std::move(a));
    EXPECT_EQ(a.fh, -1);
    EXPECT_EQ(b.Close(), 0);
    EXPECT_EQ(b.Close(), 0);  // nothing left to close
  }
  EXPECT_FALSE(is_open(fd));
  fd = open_null();
  { EXPECT_EQ(UniqueFd(fd).Release(), fd); }
  EXPECT_TRUE(is_open(fd));  // released: the caller's
  close(fd);
}

class HeaderRead : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string img = dir.File("dev.img");
  Device dev;
  void SetUp() override {
    ResetSettings();
    v_DevName = img;
  }
};

TEST_F(HeaderRead, ReadsAtTheHeaderSectorAndSetsChunkCount) {
  DevHdrBuf h = MakeV20();
  h.h_20x.FeatureBits.set(kFeatCompress | kFeatAlways);
  MakeSparse(img, 1 << 20);
  WriteAt(img, 4096, h.raw, sizeof h.raw);
  v_HdrOff = 8;
  dev = OpenDev(O_RDWR | O_LARGEFILE, 4096);
  EXPECT_EQ(dev.DevSize, 1u << 20);  // an image file's size
  ReadHdr(dev);
  EXPECT_EQ(GetHdrVersion(dev.DevHdr.raw), HdrVersion::V20);
  EXPECT_EQ(dev.v_ChunkCnt, 64u);
  v_HdrOff = 0;
  ReadHdr(dev);
  EXPECT_EQ(GetHdrVersion(dev.DevHdr.raw), HdrVersion::Unknown);
  EXPECT_EQ(dev.v_ChunkCnt, 1u);
}

TEST_F(HeaderRead, ShortReadsAreReported) {
  MakeSparse(img, 1024);
  dev = OpenDev(O_RDWR | O_LARGEFILE, 4096);
  v_HdrOff = 2;
  if (auto e = Thrown<FatalError>([&] { ReadHdr(dev); })) {
    EXPECT_EQ(e->text, "Error reading header - 0\n");
  }
  v_HdrOff = 0;
  ReadHdr(dev);
  if (auto e = Thrown<FatalError>([&] { ReadBlk(dev, 0); })) {
    EXPECT_EQ(e->text, "Error reading block - 0\n");
  }
  // An address far beyond any device fails the same way, without wrapping.
  v_HdrOff = UINT64_MAX / 2;
  EXPECT_THROW(ReadHdr(dev), FatalError);
  v_HdrOff = 0;
  EXPECT_THROW(ReadBlk(dev, UINT64_MAX / 4), FatalError);
}

TEST_F(HeaderRead, OpenFailureGoesToStderrWithErrno) {
  v_DevName = dir.File("missing");
  if (auto e = Thrown<FatalError>([&] { OpenDev(O_RDWR | O_LARGEFILE); })) {
    EXPECT_EQ(e->text, "Error opening file - " + v_DevName + " = 2\n");
    EXPECT_TRUE(e->to_stderr);
  }
}

TEST(DeviceSize, CharacterDevicesAreRefused) {
  ResetSettings();
  v_DevName = "/dev/zero";
  if (auto e = Thrown<FatalError>([&] { OpenDev(O_RDWR | O_LARGEFILE); })) {
    EXPECT_EQ(e->text, "Error: /dev/zero is neither a block device nor a regular file\n");
  }
}

}  // namespace
