// SPDX-License-Identifier: Apache-2.0
// What every format path builds on: random signature bytes, the shared
// version 2.0 header fields, option words and bits, the header write and
// the geometry refusals.
#include "format/hdr20.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "fatal.h"
#include "undo.h"

namespace {
std::string RandPath = "/dev/urandom";

// Reads len bytes from the random source with one read; false when the
// source cannot be opened (errno kept) or gives fewer bytes.
enum class RandResult { Ok, OpenFailed, ShortRead };
RandResult ReadRand(uint8_t *dst, size_t len) {
  int fd = open(RandPath.c_str(), O_RDONLY);
  if (fd < 0) return RandResult::OpenFailed;
  ssize_t n = read(fd, dst, len);
  close(fd);
  return n == static_cast<ssize_t>(len) ? RandResult::Ok : RandResult::ShortRead;
}
}  // namespace

void SetRandSource(const std::string &path) { RandPath = path.empty() ? "/dev/urandom" : path; }

void LoadRand(uint8_t *dst, size_t len, RandMsgs msgs) {
  const RandResult r = ReadRand(dst, len);
  if (r == RandResult::Ok) return;
  const char *msg = r == RandResult::OpenFailed ? "Error opening /dev/urandom."
                    : msgs == RandMsgs::Layout  ? "Error reading from /dev/random."
                                                : "Error reading random seed from /dev/urandom.";
  if (msgs == RandMsgs::Layout) FatalErr("%s", msg);
  Fatal("%s", msg);
}

DEV_HDR_20 &BuildDevHdr20(DevHdrBuf &DevHdr, const FormatParams &p, const DevHdr20Fields &f,
                          const uint8_t *RandStr) {
  std::memset(DevHdr.raw, 0, sizeof DevHdr.raw);
  DEV_HDR_20 &h = DevHdr.h_20x;
  std::memcpy(h.Str, "XTL:2.0", 8);
  std::memcpy(h.Str + 12, RandStr, 20);
  h.MetaVersion.set(p.Ver);
  h.FeatureBits.set(f.FeatureBits);
  std::memcpy(h.BitSizes, f.BitSizes, sizeof f.BitSizes);
  h.BlockSize.set(kBlockSize);
  h.Block0Off.set(p.Offset0);
  h.PhysicalBlocks.set(f.PhysicalBlocks);
  h.LogicalBlocks.set(f.LogicalBlocks);
  h.ClusterSize.set(static_cast<uint32_t>(f.WtBlkBytes / kBlockSize));
  h.WriteSegmentSize.set(p.WtSegSz / (kBlockSize / kKiB));  // KiB to 4096-byte blocks
  h.WtBlkStripe.set(p.WtBlkStripeCnt);
  if (p.EccRaid5 || p.EccRaid6) {
    h.EccWidth = static_cast<uint8_t>(p.EccWidth);
    h.EccDepth = static_cast<uint8_t>(p.EccDepth);
    h.EccLevel = p.EccRaid6 ? 2 : 1;
  }
  h.MetaDupeCnt = static_cast<uint8_t>(p.MetaDupeCnt);
  h.MetaHashTp = static_cast<uint8_t>(p.HashTp);
  h.DataHashTp = static_cast<uint8_t>(p.HashTp);
  return h;
}

uint32_t OptionFeatureBits(const FormatParams &p) {
  uint32_t bits = 0;
  if (p.QuickFlg) bits |= kFeatQuickFmt;
  if (p.VmFlg) bits |= kFeatVm;
  if (p.DeDupe != 0) bits |= kFeatDedupe;
  if (p.EccRaid5) bits |= kFeatEcc;
  if (p.EccRaid6) bits |= kFeatEcc6;
  if (p.SummaryMeta) bits |= kFeatSummaryMeta;
  if (p.Comp != 0) bits |= kFeatCompress;
  return bits;
}

std::string FormatOpts(const FormatParams &p, bool vm2) {
  std::string opts = "HASH_META";
  if (vm2) opts += " VM2";
  if (p.QuickFlg) opts += " QUICK_FMT";
  if (p.VmFlg) opts += " VM";
  if (p.DeDupe != 0) opts += " DEDUPE";
  if (p.EccRaid5) opts += " ECC";
  if (p.EccRaid6) opts += " ECC6";
  if (p.SummaryMeta) opts += " SUMMARY_META";
  if (p.Comp != 0) opts += " COMPRESS";
  return opts;
}

int WriteDevHdr(const Device &dev, uint64_t hdrOff, int HdrN) {
  // Byte position (hdrOff + HdrN) x 512; a position that no file offset can
  // hold fails like a seek to it.
  const int64_t sector = static_cast<int64_t>(hdrOff) + HdrN;
  if (hdrOff > static_cast<uint64_t>(INT64_MAX) - INT_MAX || sector < 0 ||
      sector > INT64_MAX / static_cast<int64_t>(kSectorSize))
    Fatal("format: seek error %d\n", EINVAL);
  const off_t pos = static_cast<off_t>(sector * static_cast<int64_t>(kSectorSize));

  uint8_t block[kHdrBlockSize] = {};
  std::memcpy(block, dev.DevHdr.raw, sizeof dev.DevHdr.raw);
  const int fh = dev.fh;
  const size_t len = HdrN == 0 ? kHdrBlockSize : kHdrSize;
  if (lseek(fh, pos, SEEK_SET) == static_cast<off_t>(-1)) Fatal("format: seek error %d\n", errno);
  if (dev.undo) dev.undo->Save(static_cast<uint64_t>(pos), block, len);
  errno = 0;
  // A write may move fewer bytes than asked; the rest follows until all are in.
  const ssize_t n = PwriteFull(fh, block, len, static_cast<uint64_t>(pos));
  if (n != static_cast<ssize_t>(len))
    Fatal("format: write error %d %d  fh = %d\n", static_cast<int>(n), errno, fh);
  // The header must be on stable storage before the format reports success.
  if (fsync(fh) != 0) Fatal("format: write error %d %d  fh = %d\n", -1, errno, fh);
  return static_cast<int>(n);
}

void CheckWtBlkSettings(const FormatParams &p) {
  if (p.WtBlkStripeCnt == 0)
    Fatal("format: --wtblkstripe=0: a stripe set needs at least one write block.\n");
  // 0 asks for the default. The upper bound keeps the size in bytes within
  // 32 bits, where the volume set-up holds it.
  if (p.WtBlkSz != 0 && (p.WtBlkSz % 4 != 0 || p.WtBlkSz > 4194300))
    Fatal("format: --wtblksz=%u: the write-block size must be a multiple of 4 KiB, "
          "from 4 to 4194300.\n",
          p.WtBlkSz);
}

void CheckVolumeFits(uint64_t volEnd, uint64_t wtBlkBytes, uint32_t stripeCnt, uint64_t offset0) {
  if (offset0 >= volEnd)
    Fatal("format: data offset %llu is at or beyond the end of the device (%llu bytes).\n",
          static_cast<unsigned long long>(offset0), static_cast<unsigned long long>(volEnd));
  uint64_t stripeBytes;
  if (__builtin_mul_overflow(wtBlkBytes, uint64_t{stripeCnt}, &stripeBytes)) stripeBytes = UINT64_MAX;
  if (volEnd - offset0 < stripeBytes)
    Fatal("format: device too small: %llu bytes after the data offset %llu, one stripe set "
          "needs %llu.\n",
          static_cast<unsigned long long>(volEnd - offset0),
          static_cast<unsigned long long>(offset0), static_cast<unsigned long long>(stripeBytes));
}
