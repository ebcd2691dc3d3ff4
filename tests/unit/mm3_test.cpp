// SPDX-License-Identifier: Apache-2.0
#include "mm3.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct HashCase {
  const char *name;
  std::vector<uint8_t> key;
  uint64_t h1, h2;  // h2 of 0 means: not given, only h1 is checked
};

std::vector<uint8_t> Bytes(const char *s) { return {s, s + std::strlen(s)}; }

TEST(MurmurHash3Early, KnownDigests) {
  const HashCase cases[] = {
      {"empty", {}, 0x94031e01d8b84f36ULL, 0x07bb2ffd0801feb5ULL},
      {"abc, tail only", Bytes("abc"), 0x1faef6e7db00e69eULL, 0xb213a7481c3d95f6ULL},
      {"16 zero bytes, one block", std::vector<uint8_t>(16), 0xa8cde8517edb202bULL,
       0x26a542cbf44c7eeaULL},
      {"17 bytes, block and tail", Bytes("abcdefghijklmnopq"), 0x7a0fde8097f94759ULL,
       0x5dba046a70251db1ULL},
      {"4096 zero bytes", std::vector<uint8_t>(4096), 0x18f3fc950ec87fa2ULL, 0},
  };
  for (const auto &c : cases) {
    uint64_t out[2];
    MurmurHash3_x64_128(c.key.data(), static_cast<int>(c.key.size()), 0, out);
    EXPECT_EQ(out[0], c.h1) << c.name;
    if (c.h2 != 0) {
      EXPECT_EQ(out[1], c.h2) << c.name;
    }
  }
}

TEST(MurmurHash3Early, OutputIsTwoLittleEndianWords) {
  uint8_t out[16];
  MurmurHash3_x64_128("", 0, 0, out);
  EXPECT_EQ(out[0], 0x36);
  EXPECT_EQ(out[7], 0x94);
  EXPECT_EQ(out[8], 0xb5);
}

TEST(MurmurHash3Early, ReadsUnalignedInput) {
  std::vector<uint8_t> storage(40);
  std::memcpy(storage.data() + 3, "abcdefghijklmnopq", 17);
  uint64_t out[2];
  MurmurHash3_x64_128(storage.data() + 3, 17, 0, out);
  EXPECT_EQ(out[0], 0x7a0fde8097f94759ULL);
}

TEST(MurmurHash3Early, SeedChangesDigest) {
  uint64_t a[2], b[2];
  MurmurHash3_x64_128("abc", 3, 0, a);
  MurmurHash3_x64_128("abc", 3, 1, b);
  EXPECT_NE(a[0], b[0]);
}

TEST(HeaderChecksum, CoversTheZeroPaddedBlockWithTheFieldZeroed) {
  DevHdrBuf h = MakeV20();
  // Only the first 32 bytes non-zero: the digest of that 4096-byte image.
  uint8_t image[4096] = {};
  std::memcpy(image, h.raw, 32);
  uint64_t want[2];
  MurmurHash3_x64_128(image, 4096, 0, want);
  EXPECT_EQ(HdrChecksum(h), want[0]);
  // The stored checksum itself is not covered.
  h.h_20x.mm3_64.set(0x1234567890abcdefULL);
  EXPECT_EQ(HdrChecksum(h), want[0]);
  // Every other field is.
  h.h_20x.pad2[45].set(1);
  EXPECT_NE(HdrChecksum(h), want[0]);
  // Up to the header's last byte, 511.
  const uint64_t upTo510 = HdrChecksum(h);
  h.raw[511] = 1;
  EXPECT_NE(HdrChecksum(h), upTo510);
}

TEST(HeaderChecksum, WriteBlockHeaderCoversItsEntries) {
  std::vector<uint8_t> block(4096);
  std::memcpy(block.data(), "XTL:2.0", 8);
  uint64_t clean = BlkHdrChecksum(block.data());
  block[32] = 0xff;  // the hash field
  EXPECT_EQ(BlkHdrChecksum(block.data()), clean);
  block[4095] = 1;  // the last metadata entry byte
  EXPECT_NE(BlkHdrChecksum(block.data()), clean);
}

}  // namespace
