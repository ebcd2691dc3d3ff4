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

#include "bench.h"
#include "fatal.h"

namespace {

constexpr int kReseedEvery = 1000;  // transfers between reseeds of the generator

inline void Put64(char *p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline uint64_t Get64(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline bool Counting() { return SigFlg1 && !SigFlg2; }

// Reports a failed transfer; the worker then reports 0.
WorkerResult XferError(ssize_t res) {
  int err = errno;
  std::printf("error reading %d %d\n", static_cast<int>(res), err);
  return {0, 1};
}

// Quick read (check false) and verifying read (check true).
WorkerResult ReadLoop(int w, int BlkSz, bool check) {
  const int fd = ctl.fh[w];
  char *const buf = ctl.RdBuf[w];
  const auto len = static_cast<size_t>(BlkSz);
  uint64_t cnt = 0;
  while (!SigFlg3) {
    if (cnt % kReseedEvery == 0) ReseedRand();
    uint64_t sector = Seek(fd, BlkSz, w);
    ssize_t res = read(fd, buf, len);
    if (res != BlkSz) return XferError(res);
    if (check && !CheckBlock(buf, BlkSz, sector)) return {0, 1};
    if (Counting()) cnt++;
  }
  return {cnt, 0};
}

enum class WriteKind { kStamped, kQuick, kKeyed };

WorkerResult WriteLoop(int w, int BlkSz, WriteKind kind) {
  const int fd = ctl.fh[w];
  char *const buf = ctl.WtBuf[w];
  const auto len = static_cast<size_t>(BlkSz);
  uint64_t cnt = 0;
  uint64_t seq = 0;  // write sequence of the stamps, from 0 in every measurement
  while (!SigFlg3) {
    if (kind == WriteKind::kQuick && cnt % kReseedEvery == 0) ReseedRand();
    uint64_t sector = Seek(fd, BlkSz, w);
    if (kind == WriteKind::kStamped)
      StampBlock(buf, BlkSz, sector, seq);
    else if (kind == WriteKind::kKeyed)
      PutKeys(buf, BlkSz);
    ssize_t res = write(fd, buf, len);
    if (res != BlkSz) return XferError(res);
    if (Counting()) cnt++;
  }
  return {cnt, 0};
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
    r = RunWorkerLoop(i, BlkSz, rw);
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
  const auto n = static_cast<uint64_t>(BlkSz / kSectorSize);
  const uint64_t r = Rand();
  const auto th = static_cast<uint64_t>(ctl.thread_cnt);
  const auto wi = static_cast<uint64_t>(w);
  uint64_t sector = 0;
  // The run's checks keep every divisor non-zero; sector 0 guards the rest.
  switch (CollRule) {
    case 0:
      if (ctl.DevSizeSectors != 0) sector = (r % ctl.DevSizeSectors) & (~n + 1);
      break;
    case 1:
    case 2: {
      uint64_t zone = (n != 0 && th != 0) ? ctl.DevSizeSectors / n / th : 0;
      if (zone == 0) break;
      sector = CollRule == 1 ? ((r % zone) + zone * wi) * n : ((r % zone) * th + wi) * n;
      break;
    }
    default:
      return 0;  // no positioning: the transfer continues where the descriptor stands
  }
  const auto want = static_cast<off_t>(sector * kSectorSize);
  off_t got = lseek(fd, want, SEEK_SET);
  if (got != want) {
    std::printf("error seeking %lld %lld %d\n", static_cast<long long>(want),
                static_cast<long long>(got), errno);
    WorkerErr = 1;
    return 0;
  }
  return sector;
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

WorkerResult RunWorkerLoop(int i, int BlkSz, int rw) {
  if (IsSamplingMode(TestNum)) {
    int SampleTime = SampleSeconds(TestNum);
    char *buf = IsWriteSampling(TestNum) ? ctl.WtBuf[i] : ctl.RdBuf[i];
    int n = TestN(ctl.fh[i], kSeqXfer, buf, SampleTime, ctl.ResArray->ResArray[i]);
    return {static_cast<uint64_t>(n), n == 0 ? 1U : 0U};
  }
  // A worker whose device could not be opened has nothing to measure.
  if (ctl.fh[i] < 0 || ctl.RdBuf[i] == nullptr || ctl.WtBuf[i] == nullptr) return {0, 1};
  if (rw == 0) return ReadLoop(i, BlkSz, !q_opt && DupeMod == 0);
  if (DupeMod != 0) return WriteLoop(i, BlkSz, WriteKind::kKeyed);
  if (q_opt) return WriteLoop(i, BlkSz, WriteKind::kQuick);
  return WriteLoop(i, BlkSz, WriteKind::kStamped);
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
int64_t RunWindow(int ThCnt) {
  SleepMs(1000);  // warm-up: the workers transfer, uncounted
  SignalWorkers(ThCnt, kSigStart);
  uint64_t start = get_ms();
  SleepMs(static_cast<uint64_t>(TestTime) * 1000);
  SignalWorkers(ThCnt, kSigStop);
  uint64_t end = get_ms();
  SleepMs(1000);  // drain
  SignalWorkers(ThCnt, kSigEnd);
  return static_cast<int64_t>(end - start);
}

// Step 10: reads the record of every worker started and sums the counts;
// err is set when a worker reported an error or sent no record.
uint64_t CollectCounts(int ThCnt, int ForkCnt, int rd, bool &err) {
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
      continue;
    }
    total += r.count;
    if (r.err != 0) err = true;
  }
  return total;
}

}  // namespace

int Test(int ThCnt, int BlkSz, int rw) {
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

  WaitSecondBoundary();
  int ForkCnt = StartWorkers(ThCnt, BlkSz, rw, pfd, sampling);
  int64_t elapsed = RunWindow(ThCnt);
  bool err = false;
  uint64_t total = CollectCounts(ThCnt, ForkCnt, pfd[0], err);
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
  shmctl(ctl.ResArray_id, IPC_RMID, nullptr);
  if (err) RunErr = 1;
  return static_cast<int>(static_cast<uint32_t>(total));
}
