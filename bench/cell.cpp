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
#include <memory>
#include <vector>

#include "bench.h"
#include "cellmem.h"
#include "config.h"
#include "fatal.h"
#include "mix.h"
#include "schedule.h"
#include "uring.h"
#include "worker.h"

namespace {

// The worker's own side of the fork: the terminal's and the parent's
// signals are not its own.
void DetachWorker(pid_t parent) {
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
}

// The worker's loop in the worker's copy of the rig: a fresh attachment of
// the result array (the inherited one stays in use should this fail) and a
// random source of its own.
WorkerResult WorkerBody(const BenchConfig &cfg, Rig rig, const CellSpec &cell, int i) {
  void *p = shmat(rig.ResArray_id, nullptr, 0);
  if (p != reinterpret_cast<void *>(-1) && rig.ext != nullptr) {
    rig.ResArray = static_cast<_CTL_RES *>(p);
    rig.ext = reinterpret_cast<_CTL_EXT *>(static_cast<char *>(p) + sizeof(_CTL_RES));
  } else if (p != reinterpret_cast<void *>(-1)) {
    rig.ResArray = static_cast<_CTL_RES *>(p);
  }
  WorkerEnv env{cfg, rig, cell, i, i, InitRand(cfg, rig.rnd)};
  WorkerResult r{0, 1};
  if (cfg.lat && !cfg.Sampling()) {
    // The histogram goes back in the worker's row of the result array: it
    // is larger than a record the pipe carries in one piece.
    LatHist lat{};
    r = RunWorkerLoop(env, &lat);
    std::memcpy(rig.ResArray->ResArray[i], &lat, sizeof lat);
  } else {
    r = RunWorkerLoop(env);
  }
  if (env.pos_err) r.err = 1;
  return r;
}

// Child of Test: runs one worker and never returns.
[[noreturn]] void RunWorker(const BenchConfig &cfg, const Rig &rig, const CellSpec &cell, int i,
                            int pipe_wr, pid_t parent) noexcept {
  DetachWorker(parent);
  WorkerResult r{0, 1};
  int status = 0;
  try {
    r = WorkerBody(cfg, rig, cell, i);
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
    if (Live.pid[i] != 0) kill(Live.pid[i], sig);
}

uint64_t Micros(const timeval &t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000U + static_cast<uint64_t>(t.tv_usec);
}

// Waits for every worker of this measurement; false if one did not end well.
// The CPU time of the workers reaped is added to c when given.
bool ReapWorkers(int ThCnt, CellResult *c = nullptr) {
  bool ok = true;
  for (int i = 0; i < ThCnt; i++) {
    if (Live.pid[i] == 0) continue;
    int st = 0;
    rusage ru{};
    pid_t r;
    while ((r = wait4(Live.pid[i], &st, 0, &ru)) < 0 && errno == EINTR) {
    }
    if (r < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) ok = false;
    if (r >= 0) Live.pid[i] = 0;  // gone: never signalled again
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
int StartWorkers(const BenchConfig &cfg, const Rig &rig, const CellSpec &cell, int pfd[2]) {
  const int ThCnt = cell.threads;
  const bool sampling = cfg.Sampling();
  const pid_t parent = getpid();
  int ForkCnt = 0;
  int fork_fail = -1;
  int fork_errno = 0;
  for (int i = 0; i < ThCnt; i++) {
    if (sampling && rig.fh[i] < 0) continue;
    std::fflush(stdout);
    pid_t pid = ForkFn();
    if (pid < 0) {
      fork_fail = i;
      fork_errno = errno;
      break;
    }
    if (pid == 0) {
      close(pfd[0]);
      RunWorker(cfg, rig, cell, i, pfd[1], parent);
    }
    Live.pid[i] = pid;
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
int64_t RunWindow(const BenchConfig &cfg, const Rig &rig, int ThCnt, uint64_t due, uint64_t &start) {
  SleepMs(WarmUpMs(cfg, due));  // warm-up: the workers transfer, uncounted
  SignalWorkers(ThCnt, kSigStart);
  start = get_ms();
  RunSeconds(rig.ext, cfg.seconds);  // the seconds of the per-second counts
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
      c.missing_records++;  // the reporter shows each
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
LatSummary MergeLatency(const Rig &rig, int ThCnt, CellResult &out) {
  // 16 KiB each: kept off the stack
  const auto hists = std::make_unique<LatHist[]>(3);
  LatHist &all = hists[0], &one = hists[1], &writes = hists[2];
  for (int i = 0; i < ThCnt; i++) {
    std::memcpy(&one, rig.ResArray->ResArray[i], sizeof one);
    LatMerge(all, one);
  }
  if (out.rw == 2) {
    out.read_lat = LatStatsOf(all);
    for (int i = 0; i < ThCnt; i++) LatMerge(writes, *WriteLatOf(rig.ext, i));
    out.write_lat = LatStatsOf(writes);
    LatMerge(all, writes);
  }
  out.lat_min = LatMin(all);
  out.lat_buckets = LatBuckets(all);
  out.lat_stats = LatStatsOf(all);
  return LatSummarize(all);
}

}  // namespace

WorkerResult RunWorkerLoop(WorkerEnv &env, LatHist *lat) {
  const int i = env.w;
  const Rig &rig = env.rig;
  if (env.cfg.Sampling()) {
    int SampleTime = SampleSeconds(env.cfg.mode);
    char *buf = IsWriteSampling(env.cfg.mode) ? rig.WtBuf[i] : rig.RdBuf[i];
    int n = TestN(env, kSeqXfer, buf, SampleTime, rig.ResArray->ResArray[i]);
    return {static_cast<uint64_t>(n), n == 0 ? 1U : 0U};
  }
  // A worker whose device could not be opened has nothing to measure.
  if (rig.fh[i] < 0 || rig.RdBuf[i] == nullptr || rig.WtBuf[i] == nullptr) return {0, 1};
  if (env.cfg.queue_depth > 1) return UringLoop(PickKind(env.cfg, env.cell.rw), env, lat);
  return SyncLoop(PickKind(env.cfg, env.cell.rw), env, lat);
}

CellResult Test(const BenchConfig &cfg, const Rig &rig, const CellSpec &cell) {
  const int ThCnt = cell.threads;
  CellResult c{};
  c.rw = cell.rw;
  c.BlkSz = cell.blk;
  if (cell.rw == 2) c.read_share = cell.read_share;
  if (ThCnt == 0) return c;
  int pfd[2];
  if (pipe(pfd) != 0) {
    c.failed = true;  // the cell stays empty; the run must not pass
    return c;
  }
  SigFlg1 = 0;
  SigFlg2 = 0;
  SigFlg3 = 0;
  for (int i = 0; i < ThCnt; i++) Live.pid[i] = 0;
  const bool sampling = cfg.Sampling();

  const bool lat = cfg.lat && !sampling;
  if (lat)  // a worker that leaves no histogram leaves an empty one
    for (int i = 0; i < ThCnt; i++) std::memset(rig.ResArray->ResArray[i], 0, sizeof(LatHist));

  if (!sampling) ResetCellMem(rig.ext, ThCnt, cfg.seconds);
  uint64_t due = 0;
  if (!WaitForWindow(cfg, cell.index, due)) WaitSecondBoundary();
  int ForkCnt = StartWorkers(cfg, rig, cell, pfd);
  uint64_t start = 0;
  c.window_ms = RunWindow(cfg, rig, ThCnt, due, start);
  c.window_start_ms = static_cast<int64_t>(start);
  bool err = false;
  CollectCounts(ThCnt, ForkCnt, pfd[0], err, c);
  close(pfd[0]);
  if (!ReapWorkers(ThCnt, &c)) err = true;
  if (!sampling) c.iops_series = GatherSeries(rig.ext, ThCnt, cfg.seconds);
  // A window without length has no rate: the cell shows 0 and the run fails.
  if (!sampling && c.window_ms <= 0) err = true;
  c.has_lat = lat;
  c.lat = lat ? MergeLatency(rig, ThCnt, c) : LatSummary{};
  shmctl(rig.ResArray_id, IPC_RMID, nullptr);
  c.failed = err;
  return c;
}
