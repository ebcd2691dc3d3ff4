// SPDX-License-Identifier: Apache-2.0
// --qd= and the io_uring engine: the option and its refusals, and the worker
// loop in this process on a regular file (stamps, checks, the window, a
// failed completion), side by side with the one-at-a-time loop.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "fatal.h"
#include "uring.h"
#include "worker_fixture.h"

namespace {

int g_probe;  // what the ring set-up of the check gives
int Probe(unsigned) { return g_probe; }

class UringTest : public WorkerTest {
 protected:
  void TearDown() override {
    UringProbeFn = saved_probe_;
    UringSysctl = saved_sysctl_;
    UringResFn = nullptr;
    WorkerTest::TearDown();
  }
  // Worker 0 for 100 ms: before the window, in it, or after it closed.
  enum Window { kBefore, kOpen, kClosed };
  WorkerResult RunFor(int rw, Window w, LatHist *lat = nullptr) {
    return RunWorker(rw, 100, w != kBefore, w == kClosed, lat);
  }
  int (*saved_probe_)(unsigned) = UringProbeFn;
  const char *saved_sysctl_ = UringSysctl;
};

TEST_F(UringTest, OptionIsItsOwnWord) {
  Parse({"--qd=32"});
  EXPECT_EQ(QueueDepth, 32);
  // No other key takes it, and it takes no other key.
  const std::vector<std::string> others = {"--size=8", "--th1=2", "--tm=3", "--off=0", "--blksz=4",
                                           "--min=4096", "--max=4096", "--dupe=0", "--comp=0",
                                           "--test=0", "--coll=0", "--lat", "--json=x"};
  for (const auto &o : others) {
    ResetSettings();
    CaptureStdout cap;
    Parse({o});
    EXPECT_EQ(QueueDepth, 1) << o;
  }
  for (const char *bad : {"--qd", "--q=4", "--qdx=4"})
    EXPECT_EQ(Caught<BenchFatal>([&] { Parse({bad}); })->Text(), kUsageText) << bad;
}

struct Refusal {
  std::vector<std::string> args;
  int probe;             // the ring set-up's result
  const char *disabled;  // kernel.io_uring_disabled as the file gives it
  const char *message;   // nullptr: accepted
};

class UringRefuseTest : public UringTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(UringRefuseTest, BeforeAnyDevice) {
  const Refusal &c = GetParam();
  ScratchFile sysctl(0);
  WriteAt(sysctl.Path(), 0, c.disabled, std::strlen(c.disabled));
  UringSysctl = sysctl.Path().c_str();
  g_probe = c.probe;
  UringProbeFn = Probe;
  const int free_fd = LowestFreeFd();
  EXPECT_EQ(FatalOf(c.args), c.message ? c.message : "<none>");
  EXPECT_EQ(LowestFreeFd(), free_fd);  // nothing opened
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UringRefuseTest,
    ::testing::Values(
        Refusal{{"-r", "--qd=8"}, 0, "0", nullptr}, Refusal{{"-r", "--qd=256"}, 0, "0", nullptr},
        Refusal{{"-r", "--qd=1", "--coll=3", "-q"}, -ENOSYS, "0", nullptr},  // as before
        Refusal{{"-r", "--qd=0"}, 0, "0", "Bad --qd=0: 1 to 256\n"},
        Refusal{{"-r", "--qd=257"}, 0, "0", "Bad --qd=257: 1 to 256\n"},
        Refusal{{"-rq", "--qd=8", "--coll=3"}, 0, "0",
                "Bad --qd=8: --coll=3 transfers where the descriptor stands, one at a time\n"},
        Refusal{{"--test=1", "--qd=8"}, 0, "0", "Bad --qd=8: --test=1 runs one transfer at a time\n"},
        Refusal{{"--test=6", "--qd=2"}, 0, "0", "Bad --qd=2: --test=6 runs one transfer at a time\n"},
        Refusal{{"--test=11", "--qd=2"}, 0, "0", "Bad --qd=2: --test=11 runs one transfer at a time\n"},
        Refusal{{"-r", "--qd=256", "--max=8388608"}, 0, "0",
                "Bad --qd=256: 256 transfers of 8388608 bytes exceed 1073741824 bytes in flight per "
                "worker\n"},
        Refusal{{"-r", "--qd=8"}, -ENOSYS, "0", "Cannot use --qd=8: this kernel has no io_uring (ENOSYS)\n"},
        Refusal{{"-w", "--qd=8"}, -EPERM, "2",
                "Cannot use --qd=8: io_uring is disabled (kernel.io_uring_disabled = 2)\n"},
        Refusal{{"-w", "--qd=8"}, -EPERM, "1",
                "Cannot use --qd=8: io_uring is disabled (kernel.io_uring_disabled = 1)\n"},
        Refusal{{"-w", "--qd=8"}, -EPERM, "0", "Cannot use --qd=8: io_uring is not permitted here (EPERM)\n"},
        Refusal{{"-w", "--qd=8"}, -ENOMEM, "0", "Cannot use --qd=8: io_uring set-up failed - 12\n"}));

// Each engine, the same behaviour: stamped writes read back clean, counts
// only in the window, a corrupted sector reported with the same line.
class EngineTest : public UringTest, public ::testing::WithParamInterface<int> {};

TEST_P(EngineTest, StampedWritesReadBackAndCountOnlyInTheWindow) {
  t_.cfg.queue_depth = GetParam();
  OneWorker();
  for (Window w : {kBefore, kClosed, kOpen}) {
    for (int rw : {1, 0}) {  // stamped writes, then verified reads of them
      LatHist lat{};
      WorkerResult r = RunFor(rw, w, &lat);
      EXPECT_EQ(r.err, 0U) << rw << " " << w;
      EXPECT_EQ(r.count > 0, w == kOpen) << rw << " " << w;
      EXPECT_EQ(lat.count, r.count) << rw << " " << w;
      // Each time runs from the call that submitted the transfer to the one
      // that posted it: a time taken before its submission wraps round.
      if (lat.count > 0) {
        EXPECT_LT(LatStatsOf(lat).max, 1000000000U) << rw;
      }
    }
  }
  EXPECT_EQ(FirstUnstamped(), 2048U);
}

TEST_P(EngineTest, CorruptedSectorIsReportedAsOneAtATime) {
  t_.cfg.queue_depth = GetParam();
  OneWorker();
  t_.cfg.size_sectors = 16;  // two blocks: the reads find sector 9 at once
  std::string x(512, 'X');
  WriteAt(file_.Path(), 9 * 512, x.data(), x.size());
  CaptureStdout cap;
  WorkerResult r = RunFor(0, kOpen);
  EXPECT_EQ(cap.Take(), "read data err 6365935209750747224 9/1  5858585858585858 9\n");
  EXPECT_EQ(r.err, 1U);
  EXPECT_EQ(r.count, 0U);
}

INSTANTIATE_TEST_SUITE_P(QueueDepths, EngineTest, ::testing::Values(1, 8, 32));

// A failed completion fails the worker; what is still in flight is reaped,
// and each of those that fails too is counted: with every completion from
// the 50th on short, all qd transfers are errors.
struct Failing {
  int qd;
  int (*res)(int);
  const char *message;
  uint64_t io_errors;
};
int g_completions;

class FailedCompletionTest : public UringTest, public ::testing::WithParamInterface<Failing> {};

TEST_P(FailedCompletionTest, IsAFailedTransferAndTheDrainCountsTheRest) {
  const Failing &c = GetParam();
  t_.cfg.queue_depth = c.qd;
  OneWorker();
  g_completions = 0;
  UringResFn = c.res;
  CaptureStdout cap;
  WorkerResult r = RunFor(0, kOpen);
  EXPECT_EQ(cap.Take(), c.message);
  EXPECT_EQ(r.err, 1U);
  EXPECT_EQ(r.count, 0U);
  EXPECT_EQ(r.io_errors, c.io_errors);
}

int EioAt50(int res) { return ++g_completions == 50 ? -EIO : res; }
int ShortFrom50(int res) { return ++g_completions >= 50 ? res / 2 : res; }

INSTANTIATE_TEST_SUITE_P(QueueDepths, FailedCompletionTest,
                         ::testing::Values(Failing{8, EioAt50, "error reading -1 5\n", 1},
                                           Failing{8, ShortFrom50, "error reading 2048 0\n", 8},
                                           Failing{32, ShortFrom50, "error reading 2048 0\n", 32}));

// Idle spells one after the other, as the worker's loop has them: calls into
// the ring until the found-th poll posts a completion (0: none does, and the
// spell ends in a sleep). Returns the last spell's polls and whether it slept.
std::pair<unsigned, bool> Spells(unsigned dry, std::vector<unsigned> found) {
  PollBudget p;
  found.insert(found.begin(), dry, 0);
  unsigned polls = 0, idle = 1;
  bool sleep = false;
  for (unsigned f : found)
    for (polls = 0, idle = 1, sleep = false; !sleep && (polls != f || f == 0);) {
      sleep = p.Sleeps(idle);
      p.After(idle++);
      polls += sleep ? 0 : 1;
      if (sleep || polls == f) p.Found(idle);
    }
  return {polls, sleep};
}

TEST(PollBudgetTest, PollsUntilTheyStopPayingThenProbesAgain) {
  const unsigned kFull = kPollsBeforeSleep, probe = PollBudget::kGiveUpAfter + PollBudget::kProbeAfter + 1;
  using R = std::pair<unsigned, bool>;
  EXPECT_EQ(Spells(1, {}), R(kFull, true)) << "none comes within the polls";
  const unsigned give_up = PollBudget::kGiveUpAfter;
  EXPECT_EQ(Spells(give_up, {1}), R(0, true)) << "dry spells in a row: the next sleeps at once";
  EXPECT_EQ(Spells(1, {2, 0, 1}), R(1, false)) << "a poll that finds one keeps them";
  EXPECT_EQ(Spells(probe, {5, 4}), R(4, false)) << "and kept when they find one";
  EXPECT_EQ(Spells(probe + give_up - 1, {1}), R(0, true)) << "and given up again after dry spells";
}

}  // namespace
