// SPDX-License-Identifier: Apache-2.0
// Sequential write runs: the fill before the tables (Clear) and the fixed
// runs of modes 10 to 12.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bench.h"
#include "config.h"
#include "report.h"
#include "fatal.h"

namespace {

constexpr int kBigXfer = 16777216;                          // bytes per write, modes 10 and 11
constexpr long long kX10Start = 19327352832LL;              // 18 GiB
constexpr int kX10Writes = 14106;
constexpr int kX11Writes = 1024;
constexpr long long kFixedArea = 17179869184LL;             // 16 GiB, mode 12

inline void Put64(char *p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// The zero buffer of modes 10 to 12: its start is the next multiple of 4096
// strictly after the start of the allocation.
char *FixedBuf(std::unique_ptr<void, void (*)(void *)> &keep) {
  constexpr size_t kAlloc = static_cast<size_t>(kFixedBufSz) + 4096;
  void *raw = std::malloc(kAlloc);
  if (raw == nullptr) Fatal("Error allocating IO buffer.  sz = %d\n", static_cast<int>(kAlloc));
  keep.reset(raw);
  auto addr = reinterpret_cast<uintptr_t>(raw);
  char *buf = static_cast<char *>(raw) + (4096 - addr % 4096);
  std::memset(buf, 0, static_cast<size_t>(kFixedBufSz));
  return buf;
}

int OpenFixed(const BenchConfig &cfg) {
  const char *path = cfg.PathOf(0).c_str();
  int fd = OpenDevice(path, O_RDWR | O_EXCL | cfg.direct);
  if (fd < 0) Fatal("Error opening device %s\n", path);
  return fd;
}

// The zero buffer of modes 10 to 12 and its allocation.
struct Fixed {
  std::unique_ptr<void, void (*)(void *)> keep{nullptr, std::free};
  char *buf = FixedBuf(keep);
};

void WriteOrDie(int fd, const char *buf, int len) {
  ssize_t res = write(fd, buf, static_cast<size_t>(len));
  if (res != len) Fatal("Error writing.  res = %d\n", static_cast<int>(res));
}

// Where the device ends, in bytes: the size of a block device, the length of
// anything else (0 for a character device).
uint64_t DeviceEnd(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return UINT64_MAX;
  if (!S_ISBLK(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  uint64_t size = 0;
  return ioctl(fd, BLKGETSIZE64, &size) == 0 ? size : UINT64_MAX;
}

// Prepares MiB number i of the fill in buf.
void PrepareFill(const BenchConfig &cfg, const RandSource &rnd, char *buf, uint64_t i) {
  if (cfg.dupe != 0) {
    for (int unit = 0; unit < kSeqXfer; unit += 4096) {
      uint64_t k = rnd.Next() % static_cast<uint32_t>(cfg.dupe);
      for (int s = 0; s < 4096; s += kSectorSize) Put64(buf + unit + s, k);
    }
  } else if (!cfg.quick) {
    for (uint64_t j = 0; j < kSeqXfer / kSectorSize; j++)
      Put64(buf + j * kSectorSize, i * (kSeqXfer / kSectorSize) + j);
  }
}

}  // namespace

uint64_t FillRate(uint64_t mib, uint64_t elapsed_ms) {
  return elapsed_ms == 0 ? 0 : mib * 1000 / elapsed_ms;
}

long long KbPerMs(long long kib, long long elapsed_ms) {
  return elapsed_ms <= 0 ? 0 : kib / elapsed_ms;
}

void Clear(const BenchConfig &cfg, const Rig &rig, const FillReporter &rep) {
  rep.Start(cfg.size_mib);
  const int fd = rig.fh[0];
  char *const buf = rig.WtBuf[0];
  if (cfg.offset != 0) {
    ssize_t ignored = write(fd, buf, static_cast<size_t>(cfg.offset) * kSectorSize);
    (void)ignored;
  }
  uint64_t start = get_ms();
  uint64_t last = start;
  uint64_t i = 0;
  for (; i < cfg.size_mib; i++) {
    PrepareFill(cfg, rig.rnd, buf, i);
    errno = 0;
    // A write may move fewer bytes than asked: the rest follows until the
    // MiB is in or a write moves nothing.
    ssize_t res = write(fd, buf, kSeqXfer);
    for (ssize_t w = res; res > 0 && res < kSeqXfer && w > 0;) {
      w = write(fd, buf + res, static_cast<size_t>(kSeqXfer - res));
      if (w > 0) res += w;
    }
    if (res != kSeqXfer) {
      // Only the end of the device ends the fill; a write that fails before
      // it would leave the rest unstamped and the read test meaningless.
      int err = errno;
      off_t pos = lseek(fd, 0, SEEK_CUR);
      if (pos >= 0 && static_cast<uint64_t>(pos) >= DeviceEnd(fd)) break;
      rep.Stopped(i);
      Fatal("Error writing.  res = %d  errno = %d\n", static_cast<int>(res), err);
    }
    if ((i + 1) % 64 == 0) {
      uint64_t now = get_ms();
      if (now - last >= 500) {
        rep.Filled(i + 1);
        last = now;
      }
    }
  }
  rep.Done(i, get_ms() - start);
}

void x10_clear(const BenchConfig &cfg, const FillReporter &rep) {
  const Fixed fixed;
  char *buf = fixed.buf;
  int fd = OpenFixed(cfg);
  off_t pos = lseek(fd, static_cast<off_t>(kX10Start), SEEK_SET);
  (void)pos;
  uint64_t start = get_ms();
  for (int i = 0; i < kX10Writes; i++) {
    WriteOrDie(fd, buf, kBigXfer);
    if (i % 64 == 0) {
      auto elapsed = static_cast<long long>(get_ms() - start);
      rep.Progress(false, i / 64, KbPerMs(static_cast<long long>(i) * 16384, elapsed));
    }
  }
  // The result line covers every write, so it takes the time at the end.
  auto elapsed = static_cast<long long>(get_ms() - start);
  rep.Progress(true, 220, KbPerMs(static_cast<long long>(kX10Writes) * 16384, elapsed));
  close(fd);
}

void x11_clear(const BenchConfig &cfg, const FillReporter &rep) {
  const Fixed fixed;
  char *buf = fixed.buf;
  int fd = OpenFixed(cfg);
  uint64_t wstart = get_ms();
  long long t = 0;
  for (int i = 0; i < kX11Writes; i++) {
    WriteOrDie(fd, buf, kBigXfer);
    if ((i + 1) % 64 == 0) {
      uint64_t now = get_ms();
      t = static_cast<long long>(now - wstart);
      rep.Progress(false, i / 64, KbPerMs(1048576, t));
      wstart = now;
    }
  }
  rep.Progress(true, 16, KbPerMs(1048576, t));
  close(fd);
}

void x12_test(const BenchConfig &cfg, const FillReporter &rep) {
  const long long block = static_cast<long long>(cfg.fixed_blk_k) * 1024;
  const long long WriteCnt = kFixedArea / block;
  const Fixed fixed;
  char *buf = fixed.buf;
  int fd = OpenFixed(cfg);
  // The random source as the run left it: std::rand unseeded, or -u's
  // "/dev/urandom", which this mode never opens.
  const RandSource rnd{-1, cfg.urandom, cfg.fixed_seed};
  uint64_t wstart = get_ms();
  long long LastTb = 0;
  long long t = 0;
  for (long long i = 0; i < WriteCnt; i++) {
    uint32_t r = rnd.Next();
    off_t pos = lseek(fd, static_cast<off_t>((static_cast<long long>(r) % WriteCnt) * block + cfg.offset),
                      SEEK_SET);
    (void)pos;
    WriteOrDie(fd, buf, static_cast<int>(block));
    long long g = (i + 1) * block / (1LL << 30);
    if (g > LastTb) {
      uint64_t now = get_ms();
      t = static_cast<long long>(now - wstart);
      rep.Progress(false, g, KbPerMs(1048576, t));
      wstart = now;
      LastTb = g;
    }
  }
  rep.Progress(true, LastTb, KbPerMs(1048576, t));
  close(fd);
}
