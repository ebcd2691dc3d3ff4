// SPDX-License-Identifier: Apache-2.0
// --mix=, --rate= and the per-second counts: options, refusals, the choice,
// the schedule on a test clock, and both engines' loops on a regular file.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"
#include "cellmem.h"
#include "fatal.h"
#include "mix.h"
#include "pace.h"
#include "worker_fixture.h"

namespace {

class MixTest : public WorkerTest {
 protected:
  void TearDown() override {
    PaceNowFn = MonoNs;
    PaceWaitFn = PaceWait;
    WorkerTest::TearDown();
  }
  // Runs worker 0 for ms milliseconds in this process, its window open.
  WorkerResult RunFor(int rw, int ms, LatHist *lat = nullptr) {
    return RunWorker(rw, ms, true, false, lat);
  }
};

// ---------------------------------------------------------------- options

TEST_F(MixTest, OptionsAreWordsOfTheirOwn) {
  Parse({"--mix=70,5,100", "--rate=5000", "--min=4096", "--max=8192"});
  EXPECT_EQ(MixShares, (std::vector<int>{70, 5, 100}));
  EXPECT_EQ(RateIops + static_cast<uint64_t>(SzMin + SzMax), 5000U + 4096 + 8192);
  // No other key takes them, and they take no other key ("mix=" beside
  // "min=" and "max=").
  for (const char *o : {"--min=5", "--max=5", "--size=8", "--th1=2", "--th10=2", "--tm=3", "--off=0",
                        "--blksz=4", "--dupe=0", "--comp=0", "--test=0", "--coll=0", "--qd=2", "--lat",
                        "--json=x", "--start-at=5"}) {
    ResetSettings();
    CaptureStdout cap;
    Parse({o});
    EXPECT_TRUE(MixShares.empty()) << o;
    EXPECT_EQ(RateIops, 0U) << o;
  }
  for (const char *bad : {"--mix", "--mi=5", "--mixx=5", "--rate", "--rat=5", "--rates=5", "--r=5"})
    EXPECT_EQ(Caught<BenchFatal>([&] { Parse({bad}); })->Text(), kUsageText) << bad;
}

struct Refusal {
  std::vector<std::string> args;
  std::string message;  // empty: accepted
};

class MixRefuseTest : public MixTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(MixRefuseTest, BeforeAnyDevice) {
  const Refusal &c = GetParam();
  const int free_fd = LowestFreeFd();
  EXPECT_EQ(FatalOf(c.args), c.message.empty() ? "<none>" : c.message);
  EXPECT_EQ(LowestFreeFd(), free_fd);  // nothing opened
}

const char kBadMix[] = "up to 16 read shares, 0 to 100, separated by commas\n";

INSTANTIATE_TEST_SUITE_P(
    Settings, MixRefuseTest,
    ::testing::Values(
        Refusal{{"--mix=0"}, ""}, Refusal{{"--mix=100,95,65,50,35,5,0"}, ""},
        Refusal{{"--mix=50", "--test=1"}, "Option --mix= needs the tables (--test=0)\n"},
        Refusal{{"--rate=9", "--test=4"}, "Option --rate= needs the tables (--test=0)\n"},
        Refusal{{"--rate=0"}, "Bad --rate=0: at least 1 transfer per second\n"},
        Refusal{{"--mix=50", "--dupe=4"}, "Options --mix= and --dupe= cannot be used together\n"},
        Refusal{{"--mix=50", "--coll=3"}, "Bad --coll=3: reads can be verified only with 0, 1 or 2 (or -q)\n"},
        Refusal{{"--mix=50", "--coll=3", "-q"}, ""},
        Refusal{{"--mix=50", "--tm=0"}, "Bad --tm=0: at least 1 second\n"},
        Refusal{{"--mix=50", "--min=8192", "--max=4096"}, "Bad --min=8192: above --max=4096\n"},
        // a run that writes refuses an unknown letter: a mix that writes is one
        Refusal{{"-r", "-R", "--mix=50"},
                "Unknown option letter R in -R: refused, since this run writes to the device\n"},
        Refusal{{"-r", "-R", "--mix=100"}, ""}));

TEST_F(MixTest, BadShareListsAreRefused) {
  for (const char *v : {"101", "", "50,", "5x", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"})
    EXPECT_EQ(FatalOf({std::string("--mix=") + v}),
              std::string("Bad --mix=") + v + ": " + kBadMix) << v;
}

TEST_F(MixTest, MixAloneRunsOnlyTheMixedTable) {
  struct Case {
    std::vector<std::string> args;
    int open_wt, r, w, c;
  };
  for (const Case &k : {Case{{"--mix=70"}, 1, 0, 0, 0}, Case{{"--mix=100"}, 0, 0, 0, 0},
                        Case{{"--mix=100,99"}, 1, 0, 0, 0}, Case{{"--mix=100", "-c"}, 1, 0, 0, 1},
                        Case{{"--mix=100", "-r"}, 0, 1, 0, 0}, Case{{"--mix=0", "-r"}, 1, 1, 0, 0},
                        Case{{"--mix=50", "-w"}, 1, 0, 1, 0}, Case{{}, 1, 1, 1, 1}}) {
    ResetSettings();
    Parse(k.args);
    const RunFlags f = ResolveRunFlags();
    EXPECT_EQ(f.open_wt, k.open_wt != 0) << k.args.size();
    EXPECT_EQ(f.read * 100 + f.write * 10 + f.fill, k.r * 100 + k.w * 10 + k.c) << k.args.size();
  }
}

// ---------------------------------------------------------------- the choice

TEST(MixChoiceTest, ReadShareOfTheDraws) {
  for (int p : {0, 5, 50, 65, 95, 100}) {
    MixChoice m(p, 12345);
    int writes = 0;
    const int n = 1000000;
    for (int k = 0; k < n; k++) writes += m.Write() ? 1 : 0;
    const double share = 100.0 * (n - writes) / n;
    EXPECT_NEAR(share, p, 0.2) << p;
    if (p == 0 || p == 100) {
      EXPECT_EQ(share, p);
    }
  }
}

// ---------------------------------------------------------------- the schedule

uint64_t g_now;       // the test's clock, ns
uint64_t Now() { return g_now; }
void WaitTo(uint64_t t) { g_now = t; }

TEST(PacerTest, DueTimesAndStalls) {
  PaceNowFn = Now;
  PaceWaitFn = WaitTo;
  // 3 workers sharing 2000 transfers per second: one every 1.5 ms each.
  g_now = 1000000;
  Pacer p(2000, 3);
  EXPECT_EQ(p.Due(), 1000000U);  // the first at once
  EXPECT_EQ(p.Due(), 2500000U);  // the next waited for
  EXPECT_EQ(g_now, 2500000U);
  EXPECT_EQ(p.Due(), 4000000U);
  // A stall of 5 ms after the transfer due at 4 ms: the next ones are late,
  // start at once and keep their due times (their latency counts from
  // then), until the worker has caught up and waits again.
  g_now = 9000000;
  EXPECT_EQ(p.Due(), 5500000U);
  EXPECT_EQ(p.Due(), 7000000U);
  EXPECT_EQ(p.Due(), 8500000U);
  EXPECT_EQ(g_now, 9000000U);  // no wait while late
  EXPECT_EQ(p.Due(), 10000000U);
  EXPECT_EQ(g_now, 10000000U);
  // A fraction of a nanosecond per interval adds up: 3 per second over 7
  // workers is one every 2333333333.33 ns.
  g_now = 5;
  Pacer f(3, 7);
  for (int k = 0; k < 3; k++) f.Due();
  EXPECT_EQ(f.Due(), 5 + 7000000000U);
  PaceNowFn = MonoNs;
  PaceWaitFn = PaceWait;
}

// ---------------------------------------------------------------- the loops

class MixEngineTest : public MixTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    MixTest::SetUp();
    t_.cfg.queue_depth = GetParam();
  }
};

// A mixed worker stamps its writes and verifies its reads: clean on a
// stamped file, reads about P of its transfers, and every counted transfer
// is in the second that was open.
TEST_P(MixEngineTest, MixedTransfersStampVerifyAndCount) {
  OneWorker();
  t_.cfg.mix_shares = {70};
  t_.cell.read_share = 70;
  ResetCellMem(t_.rig.ext, 1, 10);
  t_.ext->Tick = 3;
  LatHist lat{};
  WorkerResult r = RunFor(2, 200, &lat);
  EXPECT_EQ(r.err, 0U);
  ASSERT_GT(r.count, 500U);
  EXPECT_NEAR(static_cast<double>(r.reads) / static_cast<double>(r.count), 0.70, 0.08);
  EXPECT_EQ(lat.count, r.reads);
  EXPECT_EQ(t_.ext->WriteLat[0].count, r.count - r.reads);
  EXPECT_EQ(t_.ext->Series[0][3], r.count);
  EXPECT_EQ(GatherSeries(t_.rig.ext, 1, 10), (std::vector<uint64_t>{0, 0, 0, r.count, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(FirstUnstamped(), 2048U);
}

TEST_P(MixEngineTest, CorruptedSectorIsFoundInAMixedRun) {
  OneWorker();
  t_.cell.read_share = 90;
  t_.cfg.size_sectors = 16;  // two blocks: the reads find sector 9 at once
  std::string x(512, 'X');
  WriteAt(file_.Path(), 9 * 512, x.data(), x.size());
  CaptureStdout cap;
  WorkerResult r = RunFor(2, 200);
  EXPECT_EQ(cap.Take(), "read data err 6365935209750747224 9/1  5858585858585858 9\n");
  EXPECT_EQ(r.err, 1U);
  EXPECT_EQ(r.count, 0U);
}

// --rate=: the worker keeps its rate, and the transfers that start late
// because it was held up (here its 10th wait for a due time overruns by
// 20 ms, as it would behind a stalled transfer) count their times from when
// they were due (no coordinated omission); the worker catches up.
int g_waits;
void LateWait(uint64_t t) { PaceWait(t + (++g_waits == 10 ? 20000000U : 0)); }

TEST_P(MixEngineTest, LateStartCountsFromTheDueTime) {
  OneWorker();
  t_.cfg.rate = 1000;
  g_waits = 0;
  PaceWaitFn = LateWait;
  LatHist lat{};
  WorkerResult r = RunFor(0, 300, &lat);
  EXPECT_GE(lat.max, 20000000U);
  EXPECT_GE(LatPercentile(lat, 95000), 5000000U);  // the 20 held up: 20 ms down to 1 ms
  // The others are quick, and the worker caught up: without catching up it
  // would lose the 20 transfers of the stall. Both bounds leave room for a
  // loaded host.
  EXPECT_LT(LatPercentile(lat, 50000), 5000000U);
  EXPECT_GE(r.count, 288U);
  EXPECT_LE(r.count, 302U);
}

INSTANTIATE_TEST_SUITE_P(MixQueueDepths, MixEngineTest, ::testing::Values(1, 32));

}  // namespace
