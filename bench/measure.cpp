// One table cell: the worker processes, the timed window driven by the signals
// kSigStart, kSigStop and kSigEnd, the count collection through a pipe, and the
// worker loops.
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench.h"
#include "fatal.h"
#include "schedule.h"

namespace {

constexpr int kReseedEvery = 1000;  // transfers between reseeds of the generator

inline void Put64(char *p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline uint64_t Get64(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Reports a failed transfer; the worker then reports 0.
WorkerResult XferError(ssize_t res) {
  int err = errno;
  std::printf("error reading %d %d\n", static_cast<int>(res), err);
  return {0, 1};
}

// The collision rule of a worker with every figure its positions need, read
// from the settings once before the loop, so that a transfer reads none.
struct SeekPlan {
  int rule;       // CollRule
  uint64_t n;     // sectors per block
  uint64_t area;  // ctl.DevSizeSectors
  uint64_t zone;  // blocks per worker (rules 1 and 2); 0: sector 0
  uint64_t th;    // ctl.thread_cnt
  uint64_t w;     // the worker
  int64_t end;    // ctl.PosEnd[w]: no position above it can be reached
};

SeekPlan MakePlan(int BlkSz, int w) {
  SeekPlan p{};
  p.rule = CollRule;
  p.n = static_cast<uint64_t>(BlkSz / kSectorSize);
  p.area = ctl.DevSizeSectors;
  p.th = static_cast<uint64_t>(ctl.thread_cnt);
  p.w = static_cast<uint64_t>(w);
  // The run's checks keep every divisor non-zero; sector 0 guards the rest.
  p.zone = (p.n != 0 && p.th != 0) ? p.area / p.n / p.th : 0;
  p.end = ctl.PosEnd[w];
  return p;
}

constexpr bool Positions(int rule) { return rule >= 0 && rule <= 2; }

// The sector of the next transfer for the random value r, and off, its byte
// offset. A position the descriptor cannot reach (lseek would refuse it with
// EINVAL: beyond a block device's end, or not a valid file offset) is reported
// as the positioning did it, and off is -1: the transfer then goes where the
// descriptor stands, and the sector is 0.
inline uint64_t PlanSector(const SeekPlan &p, uint64_t r, int64_t &off) {
  uint64_t sector = 0;
  switch (p.rule) {
    case 0:
      if (p.area != 0) sector = (r % p.area) & (~p.n + 1);
      break;
    case 1:
      if (p.zone != 0) sector = ((r % p.zone) + p.zone * p.w) * p.n;
      break;
    case 2:
      if (p.zone != 0) sector = ((r % p.zone) * p.th + p.w) * p.n;
      break;
    default:
      off = -1;
      return 0;  // no positioning: the transfer continues where the descriptor stands
  }
  const auto want = static_cast<int64_t>(sector * kSectorSize);
  if (want < 0 || want > p.end) {
    std::printf("error seeking %lld %lld %d\n", static_cast<long long>(want), -1LL, EINVAL);
    WorkerErr = 1;
    off = -1;
    return 0;
  }
  off = want;
  return sector;
}

template <bool kUrandom>
inline uint32_t NextRand() {
  return kUrandom ? Rand() : static_cast<uint32_t>(std::rand());
}

enum class Kind { kRead, kCheckedRead, kStamped, kQuick, kKeyed };

// One worker loop: one pread or pwrite per transfer at the offset the rule
// gives (kPos), or one read or write where the descriptor stands (the other
// rules). kLat times every transfer and records the counted ones in lat.
template <Kind K, bool kPos, bool kUrandom, bool kLat>
WorkerResult XferLoop(int w, int BlkSz, LatHist *lat) {
  constexpr bool kWrite = K == Kind::kStamped || K == Kind::kQuick || K == Kind::kKeyed;
  constexpr bool kReseed = K == Kind::kRead || K == Kind::kCheckedRead || K == Kind::kQuick;
  const int fd = ctl.fh[w];
  char *const buf = kWrite ? ctl.WtBuf[w] : ctl.RdBuf[w];
  const auto len = static_cast<size_t>(BlkSz);
  const SeekPlan plan = MakePlan(BlkSz, w);
  uint64_t cnt = 0;
  int since_reseed = 0;  // cnt mod kReseedEvery, kept without a division
  uint64_t seq = 0;      // write sequence of the stamps, from 0 in every measurement
  // Where the descriptor would stand had every transfer moved it; it is left
  // there when the loop ends, for the next measurement and for a position
  // that cannot be reached.
  int64_t pos = kPos ? lseek(fd, 0, SEEK_CUR) : 0;
  WorkerResult out{0, 0};
  while (!SigFlg3) {
    if (kReseed && since_reseed == 0) ReseedRand();
    int64_t off = -1;
    const uint64_t sector = PlanSector(plan, NextRand<kUrandom>(), off);
    if (kPos && off < 0) off = pos;
    if constexpr (K == Kind::kStamped) StampBlock(buf, BlkSz, sector, seq);
    if constexpr (K == Kind::kKeyed) PutKeys(buf, BlkSz);
    const uint64_t t0 = kLat ? MonoNs() : 0;
    ssize_t res;
    if constexpr (kPos)
      res = kWrite ? pwrite(fd, buf, len, off) : pread(fd, buf, len, off);
    else
      res = kWrite ? write(fd, buf, len) : read(fd, buf, len);
    const uint64_t t1 = kLat ? MonoNs() : 0;
    if (kPos) pos = off + (res > 0 ? res : 0);
    if (res != BlkSz) {
      out = XferError(res);
      break;
    }
    if (K == Kind::kCheckedRead && !CheckBlock(buf, BlkSz, sector)) {
      out = {0, 1};
      break;
    }
    if (SigFlg1 && !SigFlg2) {
      cnt++;
      if (++since_reseed == kReseedEvery) since_reseed = 0;
      if constexpr (kLat) LatRecord(*lat, t1 - t0);
    }
  }
  if (kPos && pos >= 0) lseek(fd, pos, SEEK_SET);
  if (out.err == 0) out.count = cnt;
  return out;
}

template <Kind K, bool kPos>
WorkerResult PickLoop(int w, int BlkSz, LatHist *lat) {
  if (u_opt)
    return lat ? XferLoop<K, kPos, true, true>(w, BlkSz, lat)
               : XferLoop<K, kPos, true, false>(w, BlkSz, lat);
  return lat ? XferLoop<K, kPos, false, true>(w, BlkSz, lat)
             : XferLoop<K, kPos, false, false>(w, BlkSz, lat);
}

template <Kind K>
WorkerResult PickLoop(int w, int BlkSz, LatHist *lat) {
  return Positions(CollRule) ? PickLoop<K, true>(w, BlkSz, lat) : PickLoop<K, false>(w, BlkSz, lat);
}

// Child of Test: runs one worker and never returns.
[[noreturn]] void RunWorker(int i, int BlkSz, int rw, int pipe_wr, pid_t parent) noexcept {
  // A worker ends with its parent, however the parent ends: the kernel kills
  // it when the parent is gone, and a parent that went before this was set
  // is seen in getppid(). The parent's ending handlers are not the worker's
  // (a signal ignored from the start stays ignored).
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction cur {};
    if (sigaction(sig, nullptr, &cur) == 0 && cur.sa_handler != SIG_IGN) signal(sig, SIG_DFL);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  WorkerResult r{0, 1};
  int status = 0;
  try {
    WorkerIdx = i;
    ReseedCnt = 0;
    WorkerErr = 0;
    // A fresh attachment of the result array; the inherited one stays in use
    // should this fail.
    void *p = shmat(ctl.ResArray_id, nullptr, 0);
    if (p != reinterpret_cast<void *>(-1)) ctl.ResArray = static_cast<_CTL_RES *>(p);
    InitRand();
    if (lat_opt && !IsSamplingMode(TestNum)) {
      // The histogram goes back in the worker's row of the result array: it
      // is larger than a record the pipe carries in one piece.
      LatHist lat{};
      r = RunWorkerLoop(i, BlkSz, rw, &lat);
      std::memcpy(ctl.ResArray->ResArray[i], &lat, sizeof lat);
    } else {
      r = RunWorkerLoop(i, BlkSz, rw);
    }
    if (WorkerErr) r.err = 1;
  } catch (const BenchFatal &e) {
    e.Print();
    r = {0, 1};
    status = 1;
  } catch (...) {
    r = {0, 1};
    status = 1;
  }
  std::fflush(stdout);
  r.worker = static_cast<uint64_t>(i);
  ssize_t n = write(pipe_wr, &r, sizeof r);
  if (n != static_cast<ssize_t>(sizeof r)) status = 1;
  _exit(status);
}

void SignalWorkers(int ThCnt, int sig) {
  for (int i = 0; i < ThCnt; i++)
    if (ctl.ChildPid[i] != 0) kill(ctl.ChildPid[i], sig);
}

// Waits for every worker of this measurement; false if one did not end well.
bool ReapWorkers(int ThCnt) {
  bool ok = true;
  for (int i = 0; i < ThCnt; i++) {
    if (ctl.ChildPid[i] == 0) continue;
    int st = 0;
    pid_t r;
    while ((r = waitpid(ctl.ChildPid[i], &st, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) ok = false;
    if (r >= 0) ctl.ChildPid[i] = 0;  // gone: never signalled again
  }
  return ok;
}

// Reads one worker record; the result of the read as the worker protocol
// reports it (negative: failure, 0: the pipe is at its end).
ssize_t ReadRecord(int fd, WorkerResult &r) {
  size_t got = 0;
  auto *dst = reinterpret_cast<char *>(&r);
  while (got < sizeof r) {
    ssize_t n = PipeReadFn(fd, dst + got, sizeof r - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return got == 0 ? n : 0;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Waits until the wall-clock second changes.
void WaitSecondBoundary() {
  time_t t0 = time(nullptr);
  while (time(nullptr) == t0) {
    uint64_t ms = get_ms() % 1000;
    SleepMs(ms < 999 ? 1000 - ms : 1);
  }
}

void PrintSamples(int ThCnt) {
  for (int i = 0; i < ThCnt; i++) {
    std::printf("t%d:%d:%s:", TestNum, i, Devices[i]);
    for (int k = 0; k < TestTime && k < kMaxSamples; k++)
      std::printf(k ? " %d" : "%d", ctl.ResArray->ResArray[i][k]);
    std::printf("\n");
  }
}

}  // namespace

void StampBlock(char *buf, int BlkSz, uint64_t sector, uint64_t &seq) {
  for (int k = 0; k < BlkSz / kSectorSize; k++) {
    char *s = buf + k * kSectorSize;
    Put64(s, sector + static_cast<uint64_t>(k));
    Put64(s + 8, seq++);
  }
}

bool CheckBlock(const char *buf, int BlkSz, uint64_t sector) {
  constexpr uint64_t kLow48 = (uint64_t{1} << 48) - 1;
  for (int k = 0; k < BlkSz / kSectorSize; k++) {
    uint64_t got = Get64(buf + k * kSectorSize);
    uint64_t want = sector + static_cast<uint64_t>(k);
    if ((got & kLow48) != want) {
      std::printf("read data err %lld %lld/%lld  %llx %llx\n", static_cast<long long>(got),
                  static_cast<long long>(want), static_cast<long long>(want / 8),
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
      return false;
    }
  }
  return true;
}

void PutKeys(char *buf, int BlkSz) {
  for (int off = 0; off < BlkSz; off += 4096)
    Put64(buf + off, Rand() % static_cast<uint32_t>(DupeMod));
}

uint64_t Seek(int fd, int BlkSz, int w) {
  // The descriptor is not moved: the transfer itself goes to the position
  // (pread, pwrite). fd stays for the worker's view of the call.
  (void)fd;
  int64_t off = -1;
  return PlanSector(MakePlan(BlkSz, w), Rand(), off);
}

int TestN(int fd, int XferSz, char *buf, int SampleTime, int *row) {
  const bool writing = IsWriteSampling(TestNum);
  const auto xfer = static_cast<uint64_t>(XferSz);
  uint64_t p = 0;
  int m = 0;
  int SampleN = 0;
  uint64_t start = get_ms();
  for (;;) {
    if (SigFlg3) {
      if (SampleN < kMaxSamples) row[SampleN] = m + 1;
      return SampleN + 1;
    }
    uint64_t off;
    if (p + xfer >= DevSizeBytes) {
      off = 0;
      p = xfer;
    } else {
      off = p;
      p += xfer;
    }
    off_t got = lseek(fd, static_cast<off_t>(off), SEEK_SET);
    if (got != static_cast<off_t>(off)) {
      std::printf("Error seeking %lld %lld %d\n", static_cast<long long>(off),
                  static_cast<long long>(got), errno);
      return 0;
    }
    ssize_t res = writing ? write(fd, buf, xfer) : read(fd, buf, xfer);
    if (res != XferSz) {
      int err = errno;
      std::printf("error reading %d %d\n", static_cast<int>(res), err);
      return 0;
    }
    uint64_t now = get_ms();
    if (!SigFlg1) {
      start = now;
      continue;
    }
    if (SigFlg2) continue;
    if (now - start < static_cast<uint64_t>(SampleTime) * 1000) {
      m++;
    } else if (SampleN < kMaxSamples) {
      row[SampleN] = m + 1;
      SampleN++;
      m = 0;
      start = now;
    }
  }
}

WorkerResult RunWorkerLoop(int i, int BlkSz, int rw, LatHist *lat) {
  if (IsSamplingMode(TestNum)) {
    int SampleTime = SampleSeconds(TestNum);
    char *buf = IsWriteSampling(TestNum) ? ctl.WtBuf[i] : ctl.RdBuf[i];
    int n = TestN(ctl.fh[i], kSeqXfer, buf, SampleTime, ctl.ResArray->ResArray[i]);
    return {static_cast<uint64_t>(n), n == 0 ? 1U : 0U};
  }
  // A worker whose device could not be opened has nothing to measure.
  if (ctl.fh[i] < 0 || ctl.RdBuf[i] == nullptr || ctl.WtBuf[i] == nullptr) return {0, 1};
  if (rw == 0)
    return !q_opt && DupeMod == 0 ? PickLoop<Kind::kCheckedRead>(i, BlkSz, lat)
                                  : PickLoop<Kind::kRead>(i, BlkSz, lat);
  if (DupeMod != 0) return PickLoop<Kind::kKeyed>(i, BlkSz, lat);
  if (q_opt) return PickLoop<Kind::kQuick>(i, BlkSz, lat);
  return PickLoop<Kind::kStamped>(i, BlkSz, lat);
}

void PrettyRate(int64_t n, char *buf) {
  constexpr int64_t kK = 1024, kM = int64_t{1} << 20, kG = int64_t{1} << 30;
  if (n <= 8191)
    std::snprintf(buf, 32, "%4d   B", static_cast<int>(n));
  else if (n <= 8388607)
    std::snprintf(buf, 32, "%4d.%0dK", static_cast<int>(n / kK), static_cast<int>(((n % kK) * 5) / 512));
  else if (n <= 8589934591)
    std::snprintf(buf, 32, "%4d.%0dM", static_cast<int>(n / kM),
                  static_cast<int>(((n % kM) * 5) / (int64_t{1} << 19)));
  else
    std::snprintf(buf, 32, "%4d.%0dG", static_cast<int>(n / kG),
                  static_cast<int>(((n % kG) * 5) / (int64_t{1} << 29)));
}

bool FormatCell(uint64_t total, int BlkSz, int64_t elapsed_ms, std::string &cell) {
  // A window without length (clock stepped back, or no time passed) has no
  // rate; the cell shows 0 instead of dividing by it.
  bool ok = elapsed_ms > 0;
  auto t = static_cast<int64_t>(total);
  int64_t iops = ok ? t * 1000 / elapsed_ms : 0;
  int64_t bw = ok ? static_cast<int64_t>(BlkSz) * t * 1000 / elapsed_ms : 0;
  char rate[32];
  PrettyRate(bw, rate);
  char buf[96];
  std::snprintf(buf, sizeof buf, "|%7lld %s ", static_cast<long long>(iops), rate);
  cell = buf;
  return ok;
}

namespace {

// Step 4 of Test: forks the workers; the number started. A fork that fails
// ends the run once the workers already started are stopped.
int StartWorkers(int ThCnt, int BlkSz, int rw, int pfd[2], bool sampling) {
  const pid_t parent = getpid();
  int ForkCnt = 0;
  int fork_fail = -1;
  int fork_errno = 0;
  for (int i = 0; i < ThCnt; i++) {
    if (sampling && ctl.fh[i] < 0) continue;
    std::fflush(stdout);
    pid_t pid = ForkFn();
    if (pid < 0) {
      fork_fail = i;
      fork_errno = errno;
      break;
    }
    if (pid == 0) {
      close(pfd[0]);
      RunWorker(i, BlkSz, rw, pfd[1], parent);
    }
    ctl.ChildPid[i] = pid;
    ForkCnt++;
  }
  // Only the workers hold the write end now: the pipe reaches its end once
  // every worker has ended, whether or not it wrote its record.
  close(pfd[1]);
  if (fork_fail < 0) return ForkCnt;

  // End the workers that exist, uncounted, and give up the run.
  SignalWorkers(ThCnt, kSigStop);
  SignalWorkers(ThCnt, kSigEnd);
  WorkerResult r{};
  for (int k = 0; k < ForkCnt; k++)
    if (ReadRecord(pfd[0], r) <= 0) break;
  close(pfd[0]);
  ReapWorkers(ThCnt);
  Fatal("Error starting worker %d of %d - %d; the %d started were stopped\n", fork_fail, ThCnt,
        fork_errno, ForkCnt);
}

// Steps 5 to 9: warm-up, the counted window, the drain; the window in ms.
// start: the clock when the window opened.
int64_t RunWindow(int ThCnt, uint64_t &start) {
  SleepMs(WarmUpMs());  // warm-up: the workers transfer, uncounted
  SignalWorkers(ThCnt, kSigStart);
  start = get_ms();
  SleepMs(static_cast<uint64_t>(TestTime) * 1000);
  SignalWorkers(ThCnt, kSigStop);
  uint64_t end = get_ms();
  SleepMs(1000);  // drain
  SignalWorkers(ThCnt, kSigEnd);
  return static_cast<int64_t>(end - start);
}

// Step 10: reads the record of every worker started and sums the counts;
// err is set when a worker reported an error or sent no record.
// counts: the count of every worker (a worker without a record counts 0);
// errors: the workers that reported an error or sent no record.
uint64_t CollectCounts(int ThCnt, int ForkCnt, int rd, bool &err, std::vector<uint64_t> &counts,
                       uint64_t &errors) {
  counts.assign(static_cast<size_t>(ThCnt), 0);
  errors = static_cast<uint64_t>(ThCnt - ForkCnt);
  uint64_t total = 0;
  for (int k = 0; k < ForkCnt; k++) {
    WorkerResult r{};
    ssize_t res = ReadRecord(rd, r);
    if (res < 0) {
      int e = errno;
      SignalWorkers(ThCnt, kSigEnd);
      Fatal("res = %d  errno = %d\n", static_cast<int>(res), e);
    }
    if (res == 0) {
      std::printf("res = %d\n", 0);
      err = true;
      errors++;
      continue;
    }
    total += r.count;
    if (r.worker < counts.size()) counts[r.worker] = r.count;
    if (r.err != 0) {
      err = true;
      errors++;
    }
  }
  return total;
}

// The histograms the workers left in their rows, merged; the non-empty
// buckets and the shortest transfer go to out.
LatSummary MergeLatency(int ThCnt, CellResult &out) {
  static LatHist all, one;  // 16 KiB each: kept off the stack
  all = LatHist{};
  for (int i = 0; i < ThCnt; i++) {
    std::memcpy(&one, ctl.ResArray->ResArray[i], sizeof one);
    LatMerge(all, one);
  }
  out.lat_min = LatMin(all);
  out.lat_buckets = LatBuckets(all);
  return LatSummarize(all);
}

}  // namespace

int Test(int ThCnt, int BlkSz, int rw, CellResult *out) {
  if (ThCnt == 0) return 0;
  int pfd[2];
  if (pipe(pfd) != 0) {
    RunErr = 1;  // the cell stays empty; the run must not pass
    return 0;
  }
  SigFlg1 = 0;
  SigFlg2 = 0;
  SigFlg3 = 0;
  ctl.thread_cnt = ThCnt;
  for (int i = 0; i < ThCnt; i++) ctl.ChildPid[i] = 0;
  const bool sampling = IsSamplingMode(TestNum);

  const bool lat = lat_opt && !sampling;
  if (lat)  // a worker that leaves no histogram leaves an empty one
    for (int i = 0; i < ThCnt; i++) std::memset(ctl.ResArray->ResArray[i], 0, sizeof(LatHist));

  if (!WaitForWindow()) WaitSecondBoundary();
  int ForkCnt = StartWorkers(ThCnt, BlkSz, rw, pfd, sampling);
  uint64_t start = 0;
  int64_t elapsed = RunWindow(ThCnt, start);
  bool err = false;
  std::vector<uint64_t> counts;
  uint64_t errors = 0;
  uint64_t total = CollectCounts(ThCnt, ForkCnt, pfd[0], err, counts, errors);
  close(pfd[0]);
  if (!ReapWorkers(ThCnt)) err = true;

  if (!sampling) {
    std::string cell;
    if (!FormatCell(total, BlkSz, elapsed, cell)) err = true;
    std::fputs(cell.c_str(), stdout);
    std::fflush(stdout);
  } else {
    PrintSamples(ThCnt);
  }
  if (out != nullptr) {
    out->rw = rw;
    out->BlkSz = BlkSz;
    out->window_ms = elapsed;
    out->window_start_ms = static_cast<int64_t>(start);
    out->errors = errors;
    out->worker_transfers = counts;
    out->has_lat = lat;
    out->lat = lat ? MergeLatency(ThCnt, *out) : LatSummary{};
  }
  shmctl(ctl.ResArray_id, IPC_RMID, nullptr);
  if (err) RunErr = 1;
  return static_cast<int>(static_cast<uint32_t>(total));
}
