// SPDX-License-Identifier: Apache-2.0
// Whole-program tests of format: a sparse 1 TiB image file and a loop device;
// the header block byte for byte, nothing else written, status of the result,
// the refusals, the exclusive open, and the two-volume format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../unit/format_expected.h"
#include "maint_run.h"
#include "support.h"
#include "xtl.h"
#include "xtl_blocks.h"

namespace {

constexpr uint64_t kTiB = 1ULL << 40;
using cli::kBin;
using cli::Maint;

// Sentinel bytes spread over an image: the header block area, just after it,
// the middle and the last bytes; a format may change the first 4096 only.
struct Sentinels {
  std::string path;
  uint64_t size;
  std::vector<uint64_t> offs;
  static constexpr size_t kLen = 4096;
  Sentinels(const std::string &p, uint64_t s) : path(p), size(s) {
    offs = {0, 4096, size / 2, size - kLen};
    std::vector<uint8_t> fill(kLen, 0xa5);
    for (uint64_t o : offs) support::WriteAt(path, o, fill.data(), fill.size());
  }
  // Every sentinel intact, except the bytes in [skip, skip + skipLen).
  void ExpectIntact(uint64_t skip = 0, uint64_t skipLen = 0) const {
    for (uint64_t o : offs) {
      const std::vector<uint8_t> got = support::ReadAt(path, o, kLen);
      ASSERT_EQ(got.size(), kLen);
      for (size_t i = 0; i < kLen; i++) {
        const uint64_t at = o + i;
        if (at >= skip && at < skip + skipLen) continue;
        ASSERT_EQ(got[i], 0xa5) << "byte " << at << " changed";
      }
    }
    EXPECT_EQ(support::FileSize(path), size);
  }
};

DevHdrBuf ReadHdrBlock(const std::string &path, uint64_t off, std::vector<uint8_t> *rest = nullptr) {
  DevHdrBuf h{};
  const std::vector<uint8_t> block = support::ReadAt(path, off, 4096);
  if (block.size() == 4096) std::memcpy(h.raw, block.data(), kHdrSize);
  if (rest != nullptr) rest->assign(block.begin() + kHdrSize, block.end());
  return h;
}

// The header block at off is the one the default format of a 2^40-byte
// device writes: the random bytes taken from the written one, the checksum
// recomputed, the rest of the block zero.
void ExpectDefaultHeaderAt(const std::string &path, uint64_t off) {
  std::vector<uint8_t> rest;
  const DevHdrBuf got = ReadHdrBlock(path, off, &rest);
  const DevHdrBuf want = support::WithSignature(support::V20Header(), got.h_20x.Str + 12);
  EXPECT_EQ(0, std::memcmp(got.raw, want.raw, kHdrSize)) << "header differs";
  ASSERT_EQ(rest.size(), 4096u - kHdrSize);
  for (size_t i = 0; i < rest.size(); i++) ASSERT_EQ(rest[i], 0) << "byte " << kHdrSize + i;
  // The random bytes came from the random source: not all zero.
  const std::vector<uint8_t> zero(20, 0);
  EXPECT_NE(0, std::memcmp(got.h_20x.Str + 12, zero.data(), 20));
}

class FormatCli : public ::testing::Test {
 protected:
  support::ScratchDir dir;
  std::string img;
  void SetUp() override {
    img = dir.File("xtl.img");
    support::MakeSparse(img, kTiB);
  }
};

TEST_F(FormatCli, DefaultFormatOfSparseImage) {
  Sentinels s(img, kTiB);
  const support::Result r = Maint({"format", img});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultOut);
  EXPECT_EQ(r.err, "");
  ExpectDefaultHeaderAt(img, 0);
  s.ExpectIntact(0, 4096);

  const support::Result st = Maint({"status", img});
  EXPECT_EQ(st.status, 0);
  EXPECT_EQ(st.out, cli::kV20Status);
}

TEST_F(FormatCli, OnlyTheHeaderBlockHoldsData) {
  ASSERT_EQ(Maint({"format", img, "-q", "--comp=200", "--vm2"}).status, 0);
  int fd = open(img.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  // The sparse image has data in its first 4096 bytes and nowhere else.
  EXPECT_EQ(lseek(fd, 0, SEEK_DATA), 0);
  const off_t hole = lseek(fd, 0, SEEK_HOLE);
  EXPECT_GE(hole, 4096);
  EXPECT_LT(hole, 1 << 20);
  EXPECT_EQ(lseek(fd, hole, SEEK_DATA), -1);
  close(fd);
  const DEV_HDR_20 h = ReadHdrBlock(img, 0).h_20x;
  EXPECT_EQ(h.FeatureBits.get(), 0x2001u | 0x0008 | 0x0400);
  EXPECT_EQ(h.vm_PhysicalBlocks.get(), 850176u);
}

TEST_F(FormatCli, HdrOffLeavesTheFirstBlockUntouched) {
  Sentinels s(img, kTiB);
  const support::Result r = Maint({"format", img, "--hdroff=8"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultOut);
  ExpectDefaultHeaderAt(img, 4096);
  s.ExpectIntact(4096, 4096);
  const support::Result st = Maint({"status", img, "--hdroff=8"});
  EXPECT_EQ(st.out, cli::kV20Status);
}

TEST_F(FormatCli, DevSzBoundsTheLayout) {
  const support::Result r = Maint({"format", img, "--devsz=1024", "-q"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Formattting: Dev = 1,024 MiB / 1,073 MB   Opts = HASH_META QUICK_FMT\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadHdrBlock(img, 0).h_20x.PhysicalBlocks.get(), 1023u * 256);
}

// A refusal through the whole program: the message on standard output,
// status 1, nothing written. (Each refusal: tests/unit/format_driver_test.cpp.)
TEST_F(FormatCli, ARefusalWritesNothing) {
  Sentinels s(img, kTiB);
  const support::Result r = Maint({"format", img, "--wtblkstripe=0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "format: --wtblkstripe=0: a stripe set needs at least one write block.\n");
  EXPECT_EQ(r.err, "");
  s.ExpectIntact();
}

TEST_F(FormatCli, MissingDeviceAndConvert) {
  const std::string absent = dir.File("absent");
  support::Result r = Maint({"format", absent});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error opening file - " + absent + " = 2\n");
  r = Maint({"format", absent, "--autovm", "--dedupe=200", "--comp=200"});
  EXPECT_EQ(r.err, "Error opening file - " + absent + " = 2\n");

  Sentinels s(img, kTiB);
  r = Maint({"convert", img, "1000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("main: exit\nusage: xtl-maint ...\n", 0), 0u);
  s.ExpectIntact();
}

TEST_F(FormatCli, TwoVolumesQuick) {
  Sentinels s(img, kTiB);
  const support::Result r = Maint({"format", img, "--autovm", "--dedupe=200", "--comp=200",
                               "--wtblksz=1024", "--free=90", "-q"});
  EXPECT_EQ(r.status, 0) << r.out;
  size_t n = 0;
  for (size_t at = r.out.find("Quick Format finished.\n"); at != std::string::npos;
       at = r.out.find("Quick Format finished.\n", at + 1))
    n++;
  EXPECT_EQ(n, 2u);
  // Header 0 at byte 0 (4096-byte block), header 1 at byte 512 inside it.
  const DevHdrBuf d = ReadHdrBlock(img, 0);
  EXPECT_EQ(d.h_20x.PhysicalBlocks.get(), 249915904u);
  EXPECT_EQ(d.h_20x.LogicalBlocks.get(), 899697252u);
  DevHdrBuf v{};
  const std::vector<uint8_t> b = support::ReadAt(img, 512, 512);
  std::memcpy(v.raw, b.data(), 512);
  EXPECT_EQ(v.h_20x.PhysicalBlocks.get(), 18519040u);
  EXPECT_EQ(v.h_20x.mm3_64.get(), HdrChecksum(v));
  // Bytes 1024..4095 of the header block are zero; nothing else changed.
  const std::vector<uint8_t> tail = support::ReadAt(img, 1024, 3072);
  for (uint8_t c : tail) ASSERT_EQ(c, 0);
  s.ExpectIntact(0, 4096);

  const support::Result st = Maint({"status", img});
  EXPECT_NE(st.out.find("FeatureBits    =     0x0429 (HASH_META QUICK_FMT DEDUPE COMPRESS)\n"),
            std::string::npos)
      << st.out;
}

TEST_F(FormatCli, TwoVolumesFullStopsAfterTheDataVolume) {
  const support::Result r = Maint(
      {"format", img, "--autovm", "--dedupe=200", "--comp=200", "--wtblksz=1024", "--free=90"});
  EXPECT_EQ(r.status, 1);
  const std::string tail = "BlkCnt = 976234\nBlkN0 = 2147483647\nBlkN1 = 0\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(ReadHdrBlock(img, 0).h_20x.PhysicalBlocks.get(), 249915904u);
  EXPECT_EQ(support::ReadAt(img, 512, 8)[0], 0);  // no VM volume header
}

// On a block device the size comes from the block-device size request.
TEST_F(FormatCli, LoopDevice) {
  ATTACH_LOOP(loop, img);
  const support::Result r = Maint({"format", loop.Path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultOut);
  ExpectDefaultHeaderAt(img, 0);  // the header reached the backing file
  const support::Result st = Maint({"status", loop.Path()});
  EXPECT_EQ(st.out, cli::kV20Status);
}

// A device that someone holds exclusively fails the open: EBUSY, nothing written.
TEST_F(FormatCli, HeldDeviceIsRefused) {
  Sentinels s(img, kTiB);
  ATTACH_LOOP(loop, img);
  const int held = open(loop.Path().c_str(), O_RDWR | O_EXCL);
  ASSERT_GE(held, 0) << strerror(errno);
  for (const auto &extra : {std::vector<std::string>{}, std::vector<std::string>{"-q"},
                            std::vector<std::string>{"--autovm", "--dedupe=200", "--comp=200", "-q"}}) {
    std::vector<std::string> args = {"format", loop.Path()};
    args.insert(args.end(), extra.begin(), extra.end());
    const support::Result r = Maint(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error opening file - " + loop.Path() + " = 16\n");
  }
  close(held);
  s.ExpectIntact();
}

}  // namespace
