// SPDX-License-Identifier: Apache-2.0
// The settings as the command line sets them, and one worker's loop run in
// this process on a scratch file: what the engine unit tests share.
#pragma once

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
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

class WorkerTest : public ::testing::Test {
 protected:
  // The fixed seed of -e depends on how often the process reseeded: from 0
  // in each test, as in a process of its own.
  void SetUp() override {
    ResetSettings();
    RunCtx.ReseedCnt = 0;
  }
  void TearDown() override {
    for (int &fd : ctl.fh)
      if (fd == fd_) fd = -1;
    if (fd_ >= 0) close(fd_);
    ResetSettings();
  }
  // One worker on 1 MiB of a scratch file, every sector stamped with its number.
  void OneWorker() {
    fd_ = open(file_.Path().c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
    e_opt = 1;  // reseeds without /dev/urandom
    ctl.DevSizeSectors = 2048;
    ctl.thread_cnt = 1;
    ctl.fh[0] = fd_;
    ctl.RdBuf[0] = Alloc4K(1048576);
    ctl.WtBuf[0] = Alloc4K(1048576);
    uint64_t seq = 0;
    StampBlock(ctl.WtBuf[0], 1048576, 0, seq);
    ASSERT_EQ(pwrite(fd_, ctl.WtBuf[0], 1048576, 0), 1048576);
  }
  // Runs worker 0 for ms milliseconds in this process with the window flags
  // given (opened: SigFlg1, closed: SigFlg2).
  static WorkerResult RunWorker(int rw, int ms, bool opened, bool closed, LatHist *lat) {
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
    WorkerResult r = RunWorkerLoop(0, 4096, rw, lat);
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
};
