// SPDX-License-Identifier: Apache-2.0
// One table cell, parent side: start the worker processes, run the timed
// window driven by the signals kSigStart, kSigStop and kSigEnd, collect every
// worker's record through a pipe. The worker's own side begins in RunWorker
// and runs the loop of its engine.
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include "cellmem.h"
#include "fatal.h"
#include "mix.h"
#include "schedule.h"
#include "uring.h"
#include "worker.h"

namespace {

// Child of Test: runs one worker and never returns.
[[noreturn]] void RunWorker(int i, int BlkSz, int rw, int pipe_wr, pid_t parent) noexcept {
  // Each worker is a session of its own, as each job of fio is: where the
  // kernel groups the scheduling by session (autogroup), every worker then
  // has a group's share of the CPUs rather than all of them sharing the
  // parent's. The terminal's signals reach the parent alone, which passes
  // them on (EndFn, StopFn).
  setsid();
  // A worker ends with its parent, however the parent ends: the kernel kills
  // it when the parent is gone, and a parent that went before this was set
  // is seen in getppid(). The parent's ending and stopping handlers are not
  // the worker's (a signal ignored from the start stays ignored).
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU}) {
    struct sigaction cur {};
    if (sigaction(sig, nullptr, &cur) == 0 && cur.sa_handler != SIG_IGN) signal(sig, SIG_DFL);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  WorkerResult r{0, 1};
  int status = 0;
  try {
    RunCtx.WorkerIdx = i;
    RunCtx.ReseedCnt = 0;
    RunCtx.WorkerErr = 0;
    // A fresh attachment of the result array; the inherited one stays in use
    // should this fail.
    void *p = shmat(ctl.ResArray_id, nullptr, 0);
    if (p != reinterpret_cast<void *>(-1) && CtlExt != nullptr) {
      ctl.ResArray = static_cast<_CTL_RES *>(p);
      CtlExt = reinterpret_cast<_CTL_EXT *>(static_cast<char *>(p) + sizeof(_CTL_RES));
    } else if (p != reinterpret_cast<void *>(-1)) {
      ctl.ResArray = static_cast<_CTL_RES *>(p);
    }
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
    if (RunCtx.WorkerErr) r.err = 1;
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

uint64_t Micros(const timeval &t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000U + static_cast<uint64_t>(t.tv_usec);
}

// Waits for every worker of this measurement; false if one did not end well.
// The CPU time of the workers reaped is added to c when given.
bool ReapWorkers(int ThCnt, CellResult *c = nullptr) {
  bool ok = true;
  for (int i = 0; i < ThCnt; i++) {
    if (ctl.ChildPid[i] == 0) continue;
    int st = 0;
    rusage ru{};
    pid_t r;
    while ((r = wait4(ctl.ChildPid[i], &st, 0, &ru)) < 0 && errno == EINTR) {
    }
    if (r < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) ok = false;
    if (r >= 0) ctl.ChildPid[i] = 0;  // gone: never signalled again
    if (r >= 0 && c != nullptr) {
      c->cpu_user_us += Micros(ru.ru_utime);
      c->cpu_sys_us += Micros(ru.ru_stime);
    }
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
  RunSeconds(TestTime);  // the seconds of the per-second counts
  SignalWorkers(ThCnt, kSigStop);
  uint64_t end = get_ms();
  SleepMs(1000);  // drain
  SignalWorkers(ThCnt, kSigEnd);
  return static_cast<int64_t>(end - start);
}

// Step 10: reads the record of every worker started into the cell: the count
// of every worker (a worker without a record counts 0), their sum, and the
// workers that reported an error or sent no record. err is set when there
// is any such worker.
void CollectCounts(int ThCnt, int ForkCnt, int rd, bool &err, CellResult &c) {
  c.worker_transfers.assign(static_cast<size_t>(ThCnt), 0);
  c.errors = static_cast<uint64_t>(ThCnt - ForkCnt);
  c.total = 0;
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
      c.errors++;
      continue;
    }
    c.total += r.count;
    c.reads += r.reads;
    c.io_errors += r.io_errors;
    if (r.worker < c.worker_transfers.size()) c.worker_transfers[r.worker] = r.count;
    if (r.err != 0) {
      err = true;
      c.errors++;
    }
  }
}

// The histograms the workers left in their rows, merged (a mixed cell's
// reads and writes each, and both together); the non-empty buckets and the
// shortest transfer go to out.
LatSummary MergeLatency(int ThCnt, CellResult &out) {
  static LatHist all, one, writes;  // 16 KiB each: kept off the stack
  all = LatHist{};
  for (int i = 0; i < ThCnt; i++) {
    std::memcpy(&one, ctl.ResArray->ResArray[i], sizeof one);
    LatMerge(all, one);
  }
  if (out.rw == 2) {
    out.read_lat = LatStatsOf(all);
    writes = LatHist{};
    for (int i = 0; i < ThCnt; i++) LatMerge(writes, *WriteLatOf(i));
    out.write_lat = LatStatsOf(writes);
    LatMerge(all, writes);
  }
  out.lat_min = LatMin(all);
  out.lat_buckets = LatBuckets(all);
  out.lat_stats = LatStatsOf(all);
  return LatSummarize(all);
}

}  // namespace

WorkerResult RunWorkerLoop(int i, int BlkSz, int rw, LatHist *lat) {
  if (IsSamplingMode(TestNum)) {
    int SampleTime = SampleSeconds(TestNum);
    char *buf = IsWriteSampling(TestNum) ? ctl.WtBuf[i] : ctl.RdBuf[i];
    int n = TestN(ctl.fh[i], kSeqXfer, buf, SampleTime, ctl.ResArray->ResArray[i]);
    return {static_cast<uint64_t>(n), n == 0 ? 1U : 0U};
  }
  // A worker whose device could not be opened has nothing to measure.
  if (ctl.fh[i] < 0 || ctl.RdBuf[i] == nullptr || ctl.WtBuf[i] == nullptr) return {0, 1};
  if (QueueDepth > 1) return UringLoop(PickKind(rw), i, BlkSz, lat);
  return SyncLoop(PickKind(rw), i, BlkSz, lat);
}

CellResult Test(int ThCnt, int BlkSz, int rw) {
  CellResult c{};
  c.rw = rw;
  c.BlkSz = BlkSz;
  if (rw == 2) c.read_share = MixShare;
  if (ThCnt == 0) return c;
  int pfd[2];
  if (pipe(pfd) != 0) {
    RunCtx.RunErr = 1;  // the cell stays empty; the run must not pass
    return c;
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

  if (!sampling) ResetCellMem(ThCnt, TestTime);
  if (!WaitForWindow()) WaitSecondBoundary();
  int ForkCnt = StartWorkers(ThCnt, BlkSz, rw, pfd, sampling);
  uint64_t start = 0;
  c.window_ms = RunWindow(ThCnt, start);
  c.window_start_ms = static_cast<int64_t>(start);
  bool err = false;
  CollectCounts(ThCnt, ForkCnt, pfd[0], err, c);
  close(pfd[0]);
  if (!ReapWorkers(ThCnt, &c)) err = true;
  if (!sampling) c.iops_series = GatherSeries(ThCnt, TestTime);

  if (!sampling) {
    std::string cell;
    if (!FormatCell(c.total, BlkSz, c.window_ms, cell)) err = true;
    std::fputs(cell.c_str(), stdout);
    std::fflush(stdout);
  } else {
    PrintSamples(ThCnt);
  }
  c.has_lat = lat;
  c.lat = lat ? MergeLatency(ThCnt, c) : LatSummary{};
  shmctl(ctl.ResArray_id, IPC_RMID, nullptr);
  if (err) RunCtx.RunErr = 1;
  return c;
}
