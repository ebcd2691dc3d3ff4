// SPDX-License-Identifier: Apache-2.0
// Device access: the open device value, the aligned I/O buffer, header and
// block reads, block-address mapping and two bit-width helpers.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fatal.h"
#include "mm3.h"
#include "wtblk.h"
#include "xtl.h"

HdrVersion GetHdrVersion(const uint8_t *hdr512) {
  if (std::memcmp(hdr512, "XTL:1.1", 8) == 0) return HdrVersion::V11;
  if (std::memcmp(hdr512, "XTL:2.0", 8) == 0) return HdrVersion::V20;
  return HdrVersion::Unknown;
}

namespace {
uint64_t Hash4096(const uint8_t *image) {
  uint64_t out[2];
  MurmurHash3_x64_128(image, static_cast<int>(kBlockSize), 0, out);
  return out[0];
}
}  // namespace

uint64_t HdrChecksum(const DevHdrBuf &hdr) {
  uint8_t image[kHdrBlockSize] = {};
  std::memcpy(image, hdr.raw, sizeof hdr.raw);
  std::memset(image + offsetof(DEV_HDR_20, mm3_64), 0, sizeof(DEV_HDR_20::mm3_64));
  return Hash4096(image);
}

uint64_t BlkHdrChecksum(const uint8_t *block4096) {
  uint8_t image[kBlockSize];
  std::memcpy(image, block4096, sizeof image);
  std::memset(image + offsetof(BLK_HDR_H_20x, mm3_64), 0, sizeof(BLK_HDR_H_20x::mm3_64));
  return Hash4096(image);
}

uint64_t GetDevSize(int fd, const std::string &path) {
  uint64_t size = 0;
  if (ioctl(fd, BLKGETSIZE64, &size) == 0) return size;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  NotBlkOrReg(path);
}

void NotBlkOrReg(const std::string &path) {
  FatalErr("Error: %s is neither a block device nor a regular file\n", path.c_str());
}

int OpenBlkOrReg(const std::string &path, int flags, bool &not_blk_reg) {
  not_blk_reg = false;
  struct stat st {};
  const int fd = open(path.c_str(), flags | O_NONBLOCK);
  if (fd < 0) {
    // A FIFO without a reader refuses a non-blocking open for writing (ENXIO).
    const int err = errno;
    if (err == ENXIO && stat(path.c_str(), &st) == 0 && !S_ISBLK(st.st_mode) &&
        !S_ISREG(st.st_mode))
      not_blk_reg = true;
    errno = err;
    return -1;
  }
  not_blk_reg = fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode));
  const int fl = not_blk_reg ? -1 : fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

ssize_t PreadFull(int fd, void *dst, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, static_cast<uint8_t *>(dst) + done, len - done,
                      static_cast<off_t>(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : n;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t PwriteFull(int fd, const void *src, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, static_cast<const uint8_t *>(src) + done, len - done,
                       static_cast<off_t>(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : n;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
  if (this != &other) {
    Close();
    fh = std::exchange(other.fh, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fh >= 0) close(fh);
}

int UniqueFd::Close() {
  const int fd = std::exchange(fh, -1);
  return fd >= 0 ? close(fd) : 0;
}

void AlignedBuf::Free::operator()(uint8_t *block) const { std::free(block); }

AlignedBuf AllocAligned(size_t size) {
  AlignedBuf b;
  if (size > SIZE_MAX - 4095) return b;
  b.mem.reset(static_cast<uint8_t *>(std::calloc(size + 4095, 1)));
  if (!b.mem) return b;
  const auto addr = reinterpret_cast<uintptr_t>(b.mem.get());
  b.p = b.mem.get() + ((4096 - (addr & 4095)) & 4095);
  return b;
}

Device &Device::operator=(Device &&other) noexcept {
  if (this != &other) {
    DevSize = other.DevSize;
    DevHdr = other.DevHdr;
    v_ChunkCnt = other.v_ChunkCnt;
    buf = std::exchange(other.buf, nullptr);
    AllocatedBuf = std::move(other.AllocatedBuf);
    undo = std::move(other.undo);
    UniqueFd::operator=(std::move(other));  // last: the handle of the base
  }
  return *this;
}

Device OpenDevAt(const std::string &path, int flags, OpenFailMsg msg, int bufSize) {
  Device dev;
  if (bufSize > 0) InitBuf(dev, bufSize);
  bool not_blk_reg = false;
  dev.fh = OpenBlkOrReg(path, flags, not_blk_reg);
  if (not_blk_reg) NotBlkOrReg(path);
  if (dev.fh < 0) {
    if (msg == OpenFailMsg::XtlRaw)
      FatalSys(true, errno, "Error opening XTL raw device %s %d\n", path.c_str(), errno);
    FatalSys(true, errno, "Error opening file - %s = %d\n", path.c_str(), errno);
  }
  dev.DevSize = GetDevSize(dev.fh, path);
  return dev;
}

Device OpenDev(int flags, int bufSize) { return OpenDevAt(v_DevName, flags, OpenFailMsg::File, bufSize); }

int CloseDev(Device &dev) { return dev.Close(); }

uint8_t *InitBuf(Device &dev, int sz) {
  dev.AllocatedBuf = AlignedBuf{};
  dev.buf = nullptr;
  if (sz < 0) Fatal("Error allocating buf, size = %d\n", sz);
  dev.AllocatedBuf = AllocAligned(static_cast<size_t>(sz));
  if (dev.AllocatedBuf.p == nullptr) Fatal("Error allocating buf, size = %d\n", sz);
  dev.buf = dev.AllocatedBuf.p;
  return dev.buf;
}

void ReadHdr(Device &dev) {
  uint64_t off = static_cast<uint64_t>(PbaToSector(dev.DevHdr, -1)) * kSectorSize;
  errno = 0;
  // A header offset beyond what a file position can hold reads as a failure.
  if (off / kSectorSize != v_HdrOff || off > static_cast<uint64_t>(INT64_MAX) ||
      PreadFull(dev.fh, dev.buf, kHdrSize, off) != static_cast<ssize_t>(kHdrSize))
    FatalSys(false, errno, "Error reading header - %d\n", errno);
  LoadHdr(dev, dev.buf);
}

void LoadHdr(Device &dev, const uint8_t *hdr512) {
  std::memcpy(dev.DevHdr.raw, hdr512, kHdrSize);
  dev.v_ChunkCnt = (dev.DevHdr.h_20x.FeatureBits.get() & kFeatCompress) != 0 ? 64 : 1;
}

int64_t PbaToSector(const DevHdrBuf &DevHdr, int64_t pba) {
  if (pba == -1) return static_cast<int64_t>(v_HdrOff);
  const auto upba = static_cast<uint64_t>(pba);
  if (v_Ver == 11) {
    int64_t off = DevHdr.h_11.Block0Off.get() / static_cast<int64_t>(kSectorSize);
    return static_cast<int64_t>(upba * kSectorsPerBlock + static_cast<uint64_t>(off));
  }
  if (v_Ver == 0x201) {
    const DEV_HDR_20 &h = DevHdr.h_20x;
    if (h.ShiftVolWbCnt.get() != 0 && h.ClusterSize.get() == 0)
      Fatal("Error: device header has ClusterSize 0\n");
    return static_cast<int64_t>(WtBlkSector(h, upba));
  }
  Fatal("Error: no block mapping for --ver=%u (use 11 or 513)\n", v_Ver);
}

const uint8_t *ReadDevBlock(uint64_t off, void *ctx) {
  Device &dev = *static_cast<Device *>(ctx);
  errno = 0;
  if (off > static_cast<uint64_t>(INT64_MAX) ||
      PreadFull(dev.fh, dev.buf, kBlockSize, off) != static_cast<ssize_t>(kBlockSize))
    FatalSys(false, errno, "Error reading block - %d\n", errno);
  return dev.buf;
}

void ReadBlk(Device &dev, uint64_t pba) {
  // No device reaches byte 2^63; refusing such addresses here keeps the
  // mapping arithmetic below from wrapping back into the device.
  if (pba >= kMaxPba) {
    errno = EINVAL;
    FatalSys(false, errno, "Error reading block - %d\n", errno);
  }
  uint64_t sector = static_cast<uint64_t>(PbaToSector(dev.DevHdr, static_cast<int64_t>(pba)));
  uint64_t off = sector * kSectorSize;
  errno = 0;
  if (off / kSectorSize != sector || off > static_cast<uint64_t>(INT64_MAX) ||
      PreadFull(dev.fh, dev.buf, kBlockSize, off) != static_cast<ssize_t>(kBlockSize))
    FatalSys(false, errno, "Error reading block - %d\n", errno);
}

// The smallest n >= 0 with 2^n >= val: 0 for 0 and 1, 64 above 2^63.
int GetBits(uint64_t val) { return val <= 1 ? 0 : static_cast<int>(std::bit_width(val - 1)); }

uint64_t Pwr(int bits, FILE *trace) {
  if (bits > 1) return bits < 64 ? uint64_t{1} << bits : 0;  // 0 once doubled out of 64 bits
  if (trace != nullptr) std::fprintf(trace, "bits = %d\n", bits);
  return 1;
}
