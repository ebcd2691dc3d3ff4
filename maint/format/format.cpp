// The format command: opens the device, trims its size and hands over to one
// of the three format paths; writes the device header block.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "fatal.h"
#include "format.h"
#include "guard.h"

uint64_t DevSzBytes(uint64_t mib) { return mib > (UINT64_MAX >> 20) ? UINT64_MAX : mib << 20; }

void CheckWtBlkSettings() {
  if (v_WtBlkStripeCnt == 0)
    Fatal("format: --wtblkstripe=0: a stripe set needs at least one write block.\n");
  // 0 asks for the default. The upper bound keeps the size in bytes within
  // 32 bits, where the volume set-up holds it.
  if (v_WtBlkSz != 0 && (v_WtBlkSz % 4 != 0 || v_WtBlkSz > 4194300))
    Fatal("format: --wtblksz=%u: the write-block size must be a multiple of 4 KiB, "
          "from 4 to 4194300.\n",
          v_WtBlkSz);
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

DEV_HDR_20 &BuildDevHdr20(DevHdrBuf &DevHdr, const DevHdr20Fields &f, const uint8_t *RandStr) {
  std::memset(DevHdr.raw, 0, sizeof DevHdr.raw);
  DEV_HDR_20 &h = DevHdr.h_20x;
  std::memcpy(h.Str, "XTL:2.0", 8);
  std::memcpy(h.Str + 12, RandStr, 20);
  h.MetaVersion.set(v_Ver);
  h.FeatureBits.set(f.FeatureBits);
  std::memcpy(h.BitSizes, f.BitSizes, sizeof f.BitSizes);
  h.BlockSize.set(kBlockSize);
  h.Block0Off.set(v_Offset0);
  h.PhysicalBlocks.set(f.PhysicalBlocks);
  h.LogicalBlocks.set(f.LogicalBlocks);
  h.ClusterSize.set(static_cast<uint32_t>(f.WtBlkBytes / kBlockSize));
  h.WriteSegmentSize.set(v_WtSegSz / (kBlockSize / kKiB));  // KiB to 4096-byte blocks
  h.WtBlkStripe.set(v_WtBlkStripeCnt);
  if (v_EccRaid5 != 0 || v_EccRaid6 != 0) {
    h.EccWidth = static_cast<uint8_t>(v_EccWidth);
    h.EccDepth = static_cast<uint8_t>(v_EccDepth);
    h.EccLevel = v_EccRaid6 != 0 ? 2 : 1;
  }
  h.MetaDupeCnt = static_cast<uint8_t>(v_MetaDupeCnt);
  h.MetaHashTp = static_cast<uint8_t>(v_HashTp);
  h.DataHashTp = static_cast<uint8_t>(v_HashTp);
  return h;
}

int WriteDevHdr(const Device &dev, int HdrN) {
  // Byte position (v_HdrOff + HdrN) x 512; a position that no file offset can
  // hold fails like a seek to it.
  const int64_t sector = static_cast<int64_t>(v_HdrOff) + HdrN;
  if (v_HdrOff > static_cast<uint64_t>(INT64_MAX) - INT_MAX || sector < 0 ||
      sector > INT64_MAX / static_cast<int64_t>(kSectorSize))
    Fatal("format: seek error %d\n", EINVAL);
  const off_t pos = static_cast<off_t>(sector * static_cast<int64_t>(kSectorSize));

  uint8_t block[kHdrBlockSize] = {};
  std::memcpy(block, dev.DevHdr.raw, sizeof dev.DevHdr.raw);
  const int fh = dev.fh;
  const size_t len = HdrN == 0 ? kHdrBlockSize : kHdrSize;
  if (lseek(fh, pos, SEEK_SET) == static_cast<off_t>(-1)) Fatal("format: seek error %d\n", errno);
  errno = 0;
  // A write may move fewer bytes than asked; the rest follows until all are in.
  const ssize_t n = PwriteFull(fh, block, len, static_cast<uint64_t>(pos));
  if (n != static_cast<ssize_t>(len))
    Fatal("format: write error %d %d  fh = %d\n", static_cast<int>(n), errno, fh);
  // The header must be on stable storage before the format reports success.
  if (fsync(fh) != 0) Fatal("format: write error %d %d  fh = %d\n", -1, errno, fh);
  return static_cast<int>(n);
}

DefaultCounts GetDefaultCounts(uint64_t devSize) {
  DefaultCounts c;
  c.PhysicalBlocks = devSize / kBlockSize;
  // setting normalised in place
  if (v_Free < kFreeMin || v_Free > kFreeMax) v_Free = kFreeDefault;
  c.LogicalBlocks = c.PhysicalBlocks * v_Free / kPercent;
  return c;
}

void CheckHdrBlockFits(const Device &dev) {
  // A write past the end of a block device fails by itself; a regular file
  // would grow to take the header block.
  struct stat st {};
  if (fstat(dev.fh, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (v_HdrOff > size / kSectorSize || size - v_HdrOff * kSectorSize < kHdrBlockSize)
    Fatal("format: header offset %llu sectors leaves no room for the %u-byte header block in "
          "%s (%llu bytes).\n",
          static_cast<unsigned long long>(v_HdrOff), kHdrBlockSize, v_DevName.c_str(),
          static_cast<unsigned long long>(size));
}

Device OpenFormatDev() {
  // Exclusive: a device that the system holds (mounted, or held by the
  // driver) fails the open instead of losing its header.
  Device dev = OpenDev(O_RDWR | O_LARGEFILE | O_EXCL);
  CheckHdrBlockFits(dev);
  GuardFormat(dev.fh, v_DevName);
  return dev;
}

void DoFormat() {
  Device dev;
  DoFormat(stdout, dev);
}

void DoFormat(FILE *out, Device &dev) {
  if (v_AutoVm != 0) {
    if (v_DeDupe != 0 && v_Comp != 0) {
      DoFormatDDC(out, dev);
      return;
    }
    Fatal("AutoVm mode only valid with de-dupe and compressed mode.\n");
  }
  CheckWtBlkSettings();

  dev = OpenFormatDev();
  if (v_DevSz != 0) {
    const uint64_t bound = DevSzBytes(v_DevSz);
    if (bound < dev.DevSize) dev.DevSize = bound;
  }

  const DefaultCounts counts = GetDefaultCounts(dev.DevSize);
  if (v_Ver == 11) {
    DoFormatN(out, dev, 0, dev.DevSize, counts.LogicalBlocks);
    return;
  }
  SetupDevHdr_v2(out, dev);
  WriteDevHdr(dev, 0);
}
