// SPDX-License-Identifier: Apache-2.0
// The settings as the command line sets them, the run's value built from
// them, and one worker's loop run in this process on a scratch file: what
// the engine unit tests share.
#pragma once

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "cellmem.h"
#include "config.h"
#include "fatal.h"
#include "test_util.h"

inline void Parse(std::vector<std::string> args) {
  std::vector<const char *> argv{"vexbench"};
  for (const auto &a : args) argv.push_back(a.c_str());
  ParseArgs(static_cast<int>(argv.size()), argv.data());
}

// The refusal of a command line, or "<none>".
inline std::string FatalOf(std::vector<std::string> args) {
  CaptureStdout cap;
  auto e = Caught<BenchFatal>([&] {
    Parse(args);
    CheckSettings();
  });
  cap.Take();
  return e ? e->Text() : "<none>";
}

// The run that the command line args makes, as the program builds it once
// the settings are checked (the checks are not run: a test may want a value
// they refuse).
inline BenchConfig ConfigOf(std::vector<std::string> args) {
  ResetSettings();
  Parse(std::move(args));
  BenchConfig cfg = BuildConfig();
  ResetSettings();
  return cfg;
}

// The lowest descriptor free now: a check that opened nothing leaves it free.
inline int LowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

// A rig of workers set up by hand (descriptors, buffers, the shared
// counts), and the environment of worker w of cell on it.
struct TestRig {
  BenchConfig cfg = ConfigOf({});
  Rig rig;
  CellSpec cell{1, 4096, 0};
  std::unique_ptr<_CTL_EXT> ext = std::make_unique<_CTL_EXT>();
  TestRig() { rig.ext = ext.get(); }
  // The parent's numbering (-1) in the seeds, as a worker loop run in the
  // test process had it.
  WorkerEnv Env(int w) { return WorkerEnv{cfg, rig, cell, w, -1, RandSource{-1, cfg.urandom, cfg.fixed_seed}}; }
  void Worker(int i, int fd) {
    rig.fh[i] = fd;
    rig.RdBuf[i] = Alloc4K(1048576, rig.allocs);
    rig.WtBuf[i] = Alloc4K(1048576, rig.allocs);
  }
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettings(); }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    ResetSettings();
  }
  // One worker on 1 MiB of a scratch file, every sector stamped with its number.
  void OneWorker() {
    fd_ = open(file_.Path().c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    t_.cfg.fixed_seed = true;  // reseeds without /dev/urandom
    t_.cfg.size_sectors = 2048;
    t_.cell.threads = 1;
    t_.Worker(0, fd_);
    uint64_t seq = 0;
    StampBlock(t_.rig.WtBuf[0], 1048576, 0, seq);
    ASSERT_EQ(pwrite(fd_, t_.rig.WtBuf[0], 1048576, 0), 1048576);
  }
  // Runs worker 0 for ms milliseconds in this process with the window flags
  // given (opened: SigFlg1, closed: SigFlg2). The fixed seed of -e depends
  // on how often the worker reseeded: from 0 in each run, as in a process
  // of its own.
  WorkerResult RunWorker(int rw, int ms, bool opened, bool closed, LatHist *lat) {
    SigFlg1 = opened;
    SigFlg2 = closed;
    SigFlg3 = 0;
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) { SigFlg3 = 1; };
    sigaction(SIGALRM, &sa, &old);
    itimerval t{};
    t.it_value.tv_sec = ms / 1000;
    t.it_value.tv_usec = ms % 1000 * 1000;
    setitimer(ITIMER_REAL, &t, nullptr);
    t_.cell.rw = rw;
    WorkerEnv env = t_.Env(0);
    WorkerResult r = RunWorkerLoop(env, lat);
    // A loop that ended early (a mismatch) leaves the timer armed: disarm it
    // before the default action, which ends the process, comes back.
    t.it_value = {};
    setitimer(ITIMER_REAL, &t, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    return r;
  }
  // The first of the worker's 2048 sectors that does not begin with its own
  // number (every stamp does), or 2048.
  uint64_t FirstUnstamped() const {
    const std::vector<uint8_t> data = ReadAt(file_.Path(), 0, 1048576);
    for (uint64_t s = 0; s < 2048; s++) {
      uint64_t v;
      std::memcpy(&v, data.data() + s * 512, 8);
      if (v != s) return s;
    }
    return 2048;
  }
  ScratchFile file_{4 << 20};
  int fd_ = -1;
  TestRig t_;
};
