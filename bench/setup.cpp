// SPDX-License-Identifier: Apache-2.0
// Set-up of a run: devices, buffers and their fill patterns, the shared result
// array, the random source, the signal handlers and the clock.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bench.h"
#include "cellmem.h"
#include "config.h"
#include "fatal.h"

namespace {

void Put32(char *p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// Reads 4 bytes from "/dev/urandom" (fd); false on a short read.
bool ReadRandom(int fd, uint32_t &v) { return read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v); }

void Sig1Fn(int) { SigFlg1 = 1; }
void Sig2Fn(int) { SigFlg2 = 1; }
void Sig3Fn(int) { SigFlg3 = 1; }

bool Install(int sig, void (*fn)(int)) {
  struct sigaction sa {};
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(sig, &sa, nullptr) == 0;
}

// SIGTERM, SIGINT, SIGHUP: the parent still ends by the signal, but takes the
// workers of the running measurement along and removes the result array.
void EndFn(int sig) {
  for (pid_t p : Live.pid)
    if (p > 0) kill(p, SIGKILL);
  if (Live.shm_id >= 0) shmctl(Live.shm_id, IPC_RMID, nullptr);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns
}

// SIGTSTP, SIGTTIN, SIGTTOU: the workers are in sessions of their own, so a
// stop of the parent's job does not reach them; the parent stops them, stops
// itself, and when it is continued, continues them.
void StopFn(int) {
  const int saved = errno;
  for (pid_t p : Live.pid)
    if (p > 0) kill(p, SIGSTOP);
  raise(SIGSTOP);
  for (pid_t p : Live.pid)
    if (p > 0) kill(p, SIGCONT);
  errno = saved;
}

// Installs EndFn unless the signal was ignored when the program started (a
// background job of a shell keeps ignoring SIGINT).
void InstallEnd(int sig, void (*fn)(int) = EndFn) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  Install(sig, fn);
}

// A device other than the first may be the same block device as an earlier
// one: the run already holds it exclusively through the earlier descriptor.
bool HeldByRun(const Rig &rig, const char *path, int upto) {
  struct stat st {};
  if (stat(path, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  for (int j = 0; j < upto; j++) {
    struct stat other {};
    if (rig.fh[j] >= 0 && fstat(rig.fh[j], &other) == 0 && S_ISBLK(other.st_mode) &&
        other.st_rdev == st.st_rdev)
      return true;
  }
  return false;
}

}  // namespace

int OpenDevice(const char *path, int flags) {
  // Looked at before the open (a FIFO blocks in it) and again after it.
  struct stat st {};
  bool known = stat(path, &st) == 0;
  int fd = open(path, flags | O_NONBLOCK);
  int err = errno;
  if (fd >= 0) known = fstat(fd, &st) == 0;
  if (known && !S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    Fatal("Error: %s is neither a block device nor a regular file\n", path);
  }
  if (fd < 0) {
    errno = err;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int64_t PositionLimit(int fd) {
  // lseek refuses an offset above the limit with EINVAL and takes every other
  // one, so the limit is found by halving; asked once per descriptor, instead
  // of once per transfer.
  const off_t cur = lseek(fd, 0, SEEK_CUR);
  int64_t ok = 0, bad = INT64_MAX;  // ok is accepted, bad refused (or the top)
  if (lseek(fd, bad, SEEK_SET) == bad) {
    ok = bad;
  } else {
    while (bad - ok > 1) {
      int64_t mid = ok + (bad - ok) / 2;
      if (lseek(fd, mid, SEEK_SET) == mid)
        ok = mid;
      else
        bad = mid;
    }
  }
  if (cur >= 0) lseek(fd, cur, SEEK_SET);
  return ok;
}

char *Alloc4K(int sz, std::vector<std::shared_ptr<void>> &keep) {
  size_t want = static_cast<size_t>(sz) + 4095;
  void *raw = std::malloc(want);
  if (raw == nullptr) Fatal("Error allocating IO buffer.  sz = %d\n", static_cast<int>(want));
  keep.emplace_back(raw, std::free);
  auto addr = reinterpret_cast<uintptr_t>(raw);
  char *buf = static_cast<char *>(raw) + ((4096 - addr % 4096) % 4096);
  std::memset(buf, 0, static_cast<size_t>(sz));
  return buf;
}

void FillWtBuf(const BenchConfig &cfg, const RandSource &rnd, char *buf, int sz) {
  if (cfg.zero_buf || cfg.dupe != 0) {
    std::memset(buf, 0, static_cast<size_t>(sz));
  } else if (cfg.half_zero) {
    // 256 random bytes, 256 zero bytes, alternating.
    for (int off = 0; off + 4 <= sz; off += 4) Put32(buf + off, (off & 0x100) ? 0 : rnd.Next());
  } else {
    for (int off = 0; off + 4 <= sz; off += 4) Put32(buf + off, rnd.Next());
  }
  if (cfg.comp != 0) {
    for (int sec = 0; sec + kSectorSize <= sz; sec += kSectorSize)
      std::memset(buf + sec + 12, 0, static_cast<size_t>(cfg.comp) * 5);
  }
}

namespace {

// Opens descriptor i of the rig (a device the run writes exclusively: a
// mounted or otherwise held device is refused before anything is written)
// and gives it its buffers.
void OpenWorker(const BenchConfig &cfg, Rig &rig, int i) {
  const char *path = cfg.PathOf(i).c_str();
  int flags = cfg.direct | (cfg.open_wt ? O_RDWR | O_EXCL : O_RDONLY);
  rig.fh[i] = OpenDevice(path, flags);
  int err = errno;
  if (rig.fh[i] < 0 && err == EBUSY && cfg.open_wt && HeldByRun(rig, path, i)) {
    rig.fh[i] = OpenDevice(path, flags & ~O_EXCL);
    err = errno;
  }
  if (rig.fh[i] < 0) {
    std::printf("Error opening device %s - %d\n", path, err);
    rig.open_err = true;  // the run goes on without this worker, but does not pass
    return;
  }
  rig.PosEnd[i] = PositionLimit(rig.fh[i]);
  rig.RdBuf[i] = Alloc4K(cfg.BufBytes(), rig.allocs);
  rig.WtBuf[i] = Alloc4K(cfg.BufBytes(), rig.allocs);
  FillWtBuf(cfg, rig.rnd, rig.WtBuf[i], cfg.BufBytes());
}

// The result array, then the per-second counts and the mixed cells' second
// histograms (cellmem.h); a new segment is all zero bytes.
void AttachResults(Rig &rig) {
  int id = shmget(IPC_PRIVATE, sizeof(_CTL_RES) + sizeof(_CTL_EXT), IPC_CREAT | 0);
  if (id < 0) Fatal("Error creating shared memory - %d\n", errno);
  void *p = shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void *>(-1)) {
    int err = errno;
    shmctl(id, IPC_RMID, nullptr);
    Fatal("Error attaching shared memory - %d\n", err);
  }
  // Marked for removal at once: it stays usable while attached (the workers
  // inherit the attachment) and is not left behind by a run without tables.
  shmctl(id, IPC_RMID, nullptr);
  rig.ResArray_id = id;
  Live.shm_id = id;
  rig.ResArray = static_cast<_CTL_RES *>(p);
  rig.ext = reinterpret_cast<_CTL_EXT *>(static_cast<char *>(p) + sizeof(_CTL_RES));
  std::memset(rig.ResArray, 0, sizeof(_CTL_RES));
}

}  // namespace

Rig::Rig() {
  for (int &fd : fh) fd = -1;
  for (auto &p : RdBuf) p = nullptr;
  for (auto &p : WtBuf) p = nullptr;
  for (auto &e : PosEnd) e = INT64_MAX;
}

Rig AllocBufs(const BenchConfig &cfg) {
  Rig rig;
  rig.rnd = InitRand(cfg);
  const int n = cfg.Descriptors();
  for (int i = 0; i < n; i++) OpenWorker(cfg, rig, i);
  if (rig.fh[0] < 0) FatalQuiet();
  AttachResults(rig);
  return rig;
}

RandSource InitRand(const BenchConfig &cfg, const RandSource &old) {
  RandSource r{-1, cfg.urandom, cfg.fixed_seed};
  if (cfg.fixed_seed) {
    r.fd = old.fd;
    std::srand(0);
    return r;
  }
  if (old.fd >= 0) close(old.fd);
  r.fd = open("/dev/urandom", O_RDONLY);
  if (r.fd < 0) Fatal("Error opening /dev/urandom %d\n", errno);
  if (cfg.urandom) return r;
  uint32_t seed = 0;
  if (!ReadRandom(r.fd, seed)) Fatal("Error reading random seed value %d\n", errno);
  std::srand(seed);
  return r;
}

uint32_t RandSource::Next() const {
  if (urandom) {
    uint32_t v = 0;
    if (!ReadRandom(fd, v)) Fatal("Error reading random value %d\n", errno);
    return v;
  }
  return static_cast<uint32_t>(std::rand());
}

void ReseedRand(WorkerEnv &env) {
  if (env.rnd.fixed_seed) {
    // Repeatable: the seed depends only on the worker and on how often it
    // reseeded, never on "/dev/urandom" (not open with -e) or the process id.
    std::srand(static_cast<unsigned>(env.seed_w + 1) +
               static_cast<unsigned>(env.reseeds++ * kMaxThreads));
    return;
  }
  uint32_t x = 0;
  if (!ReadRandom(env.rnd.fd, x)) Fatal("Error reading random seed value %d\n", errno);
  std::srand(static_cast<unsigned>(getpid()) + x);
}

uint64_t get_ms() {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
}

std::string PrettyK(int n) {
  char buf[32];
  if (n <= 1023)
    std::snprintf(buf, sizeof buf, "%3dB", n);
  else if (n >= 1048576)
    std::snprintf(buf, sizeof buf, "%3dM", n / 1048576);
  else
    std::snprintf(buf, sizeof buf, "%3dK", n / 1024);
  return buf;
}

void InstallSignals() {
  if (!Install(kSigStart, Sig1Fn) || !Install(kSigStop, Sig2Fn) || !Install(kSigEnd, Sig3Fn))
    Fatal("Cannot catch signal.\n");
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) InstallEnd(sig);
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) InstallEnd(sig, StopFn);
}

void SleepMs(uint64_t ms) {
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
