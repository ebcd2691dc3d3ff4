// SPDX-License-Identifier: Apache-2.0
// Positioning, stamps, keys, buffer patterns, the fill, and the measurement's
// failure paths, on regular files under /var/tmp.
#include <fcntl.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "bench.h"
#include "fatal.h"
#include "test_util.h"
#include "report.h"
#include "worker_fixture.h"

namespace {

uint64_t Get64(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

class BenchIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    std::srand(12345);
    fd_ = open(file_.Path().c_str(), O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    close(fd_);
    ForkFn = fork;
    PipeReadFn = read;
    ResetSettings();
  }
  // Seek for worker w of the rig's cell, with blocks of blk bytes.
  uint64_t SeekOf(int blk, int w) {
    t_.cell.blk = blk;
    env_ = std::make_unique<WorkerEnv>(t_.Env(w));
    return Seek(*env_, blk);
  }
  ScratchFile file_{16 << 20};
  int fd_ = -1;
  TestRig t_;
  std::unique_ptr<WorkerEnv> env_;  // of the last SeekOf
};

// ---------------------------------------------------------------- Seek

TEST_F(BenchIoTest, SeekRule0AlignsWithinTheTestedArea) {
  t_.cfg.size_sectors = 32768;  // 16 MiB
  t_.cell.threads = 4;
  for (int blk : {512, 4096, 65536, 4194304}) {
    auto n = static_cast<uint64_t>(blk / 512);
    std::set<uint64_t> seen;
    for (int k = 0; k < 2000; k++) {
      uint64_t s = SeekOf(blk, k % 4);
      ASSERT_EQ(s % n, 0U) << blk;
      ASSERT_LT(s, t_.cfg.size_sectors);
      ASSERT_EQ(lseek(fd_, 0, SEEK_CUR), 0);  // the transfer positions itself
      ASSERT_FALSE(env_->pos_err);
      seen.insert(s);
    }
    EXPECT_GT(seen.size(), std::min<uint64_t>(t_.cfg.size_sectors / n / 2, 500)) << blk;
  }
}

TEST_F(BenchIoTest, SeekRule1KeepsEachWorkerInItsZone) {
  t_.cfg.coll = 1;
  t_.cfg.size_sectors = 32768;
  t_.cell.threads = 10;
  const uint64_t n = 8;                             // 4 KiB blocks
  const uint64_t zone = t_.cfg.size_sectors / n / 10;       // 409 blocks
  for (int k = 0; k < 3000; k++) {
    uint64_t s = SeekOf(4096, 3);
    ASSERT_GE(s, 3 * zone * n);
    ASSERT_LT(s, 4 * zone * n);
    ASSERT_EQ(s % n, 0U);
  }
  for (int k = 0; k < 3000; k++) ASSERT_LT(SeekOf(4096, 9), 10 * zone * n);
}

TEST_F(BenchIoTest, SeekRule2DealsTheBlocks) {
  t_.cfg.coll = 2;
  t_.cfg.size_sectors = 32768;
  t_.cell.threads = 4;
  for (int blk : {512, 4096, 65536}) {
    auto n = static_cast<uint64_t>(blk / 512);
    for (int k = 0; k < 3000; k++) {
      uint64_t s = SeekOf(blk, 1);
      ASSERT_EQ(s % n, 0U);
      ASSERT_EQ((s / n) % 4, 1U) << blk;
      ASSERT_LT(s + n, t_.cfg.size_sectors + 1);
    }
  }
}

TEST_F(BenchIoTest, SeekOtherRuleDoesNotPosition) {
  t_.cfg.coll = 3;
  t_.cfg.size_sectors = 32768;
  t_.cell.threads = 1;
  ASSERT_EQ(lseek(fd_, 12288, SEEK_SET), 12288);
  EXPECT_EQ(SeekOf(4096, 0), 0U);
  EXPECT_EQ(lseek(fd_, 0, SEEK_CUR), 12288);
}

TEST_F(BenchIoTest, SeekFailureIsReportedAndMarksTheWorker) {
  // Rule 1, worker 1 of 2, one block per zone: always sector 8 (byte 4096),
  // one byte past what the descriptor can reach. The line is the one a
  // refused lseek gave: the offset, -1 and EINVAL.
  t_.cfg.coll = 1;
  t_.cfg.size_sectors = 16;
  t_.cell.threads = 2;
  t_.rig.PosEnd[1] = 4095;
  CaptureStdout cap;
  EXPECT_EQ(SeekOf(4096, 1), 0U);
  EXPECT_EQ(cap.Take(), "error seeking 4096 -1 22\n");
  EXPECT_TRUE(env_->pos_err);
  t_.rig.PosEnd[1] = 4096;  // the device's end itself can be reached
  EXPECT_EQ(SeekOf(4096, 1), 8U);
  EXPECT_FALSE(env_->pos_err);
}

TEST_F(BenchIoTest, PositionLimitIsWhereLseekStops) {
  ASSERT_EQ(lseek(fd_, 12288, SEEK_SET), 12288);
  int64_t end = PositionLimit(fd_);
  EXPECT_EQ(lseek(fd_, 0, SEEK_CUR), 12288);  // the position is kept
  ASSERT_GT(end, int64_t{1} << 40);           // a regular file: its file system's limit
  if (end < INT64_MAX) {
    EXPECT_EQ(lseek(fd_, end, SEEK_SET), end);
    errno = 0;
    EXPECT_EQ(lseek(fd_, end + 1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
  }
}

// ---------------------------------------------------------------- stamps and keys

TEST_F(BenchIoTest, StampThenCheck) {
  char buf[8192];
  std::memset(buf, 0x5a, sizeof buf);
  uint64_t seq = 7;
  StampBlock(buf, 8192, 1000, seq);
  EXPECT_EQ(seq, 23U);
  for (int k = 0; k < 16; k++) {
    EXPECT_EQ(Get64(buf + k * 512), 1000U + static_cast<uint64_t>(k));
    EXPECT_EQ(Get64(buf + k * 512 + 8), 7U + static_cast<uint64_t>(k));
    EXPECT_EQ(static_cast<unsigned char>(buf[k * 512 + 16]), 0x5a);  // pattern kept
  }
  CaptureStdout cap;
  EXPECT_TRUE(CheckBlock(buf, 8192, 1000));
  buf[5 * 512 + 7] = 0x12;  // only the low 48 bits are compared
  EXPECT_TRUE(CheckBlock(buf, 8192, 1000));
  EXPECT_FALSE(CheckBlock(buf, 8192, 1001));  // read from the wrong place
  buf[9 * 512] ^= 1;                          // sector 1009 now says 1008
  EXPECT_FALSE(CheckBlock(buf, 8192, 1000));
  EXPECT_EQ(cap.Take(),
            "read data err 1000 1001/125  3e8 3e9\n"
            "read data err 1008 1009/126  3f0 3f1\n");
}

TEST_F(BenchIoTest, CheckPrintsTheWholeValueRead) {
  char buf[512] = {};
  uint64_t v = 0xffff000000000010ULL;
  std::memcpy(buf, &v, 8);
  CaptureStdout cap;
  EXPECT_TRUE(CheckBlock(buf, 512, 16));
  EXPECT_FALSE(CheckBlock(buf, 512, 17));
  EXPECT_EQ(cap.Take(), "read data err -281474976710640 17/2  ffff000000000010 11\n");
}

TEST_F(BenchIoTest, CheckComparesFortyEightBits) {
  char buf[512] = {};
  uint64_t v = (uint64_t{1} << 32) + 16;  // 2^32 sectors away from sector 16
  std::memcpy(buf, &v, 8);
  CaptureStdout cap;
  EXPECT_FALSE(CheckBlock(buf, 512, 16));
  EXPECT_TRUE(CheckBlock(buf, 512, v));
  v = (uint64_t{1} << 47) + 16;
  std::memcpy(buf, &v, 8);
  EXPECT_FALSE(CheckBlock(buf, 512, 16));
  EXPECT_EQ(cap.Take(), "read data err 4294967312 16/2  100000010 10\n"
                        "read data err 140737488355344 16/2  800000000010 10\n");
}

TEST_F(BenchIoTest, KeyWritePutsOneKeyPerUnit) {
  t_.cfg.dupe = 8;
  const WorkerEnv env = t_.Env(0);
  static char buf[65536];
  std::memset(buf, 0x33, sizeof buf);
  std::set<uint64_t> keys;
  for (int round = 0; round < 4; round++) {
    PutKeys(env, buf, 65536);
    for (int unit = 0; unit < 65536; unit += 4096) {
      uint64_t k = Get64(buf + unit);
      ASSERT_LT(k, 8U);
      keys.insert(k);
      for (int s = 512; s < 4096; s += 512) ASSERT_EQ(buf[unit + s], 0x33);  // other sectors kept
      ASSERT_EQ(buf[unit + 8], 0x33);
    }
  }
  EXPECT_GT(keys.size(), 4U);
  char small[512];
  std::memset(small, 0x33, sizeof small);
  PutKeys(env, small, 512);  // a block below 4 KiB still gets its key
  EXPECT_LT(Get64(small), 8U);
  EXPECT_EQ(small[8], 0x33);
}

// ---------------------------------------------------------------- buffer patterns

struct Pattern {
  const char *name;
  int z, h, dupe, comp;
};
void PrintTo(const Pattern &c, std::ostream *os) { *os << c.name; }

class FillPatternTest : public BenchIoTest, public ::testing::WithParamInterface<Pattern> {};

TEST_P(FillPatternTest, WriteBuffer) {
  const Pattern &p = GetParam();
  t_.cfg.zero_buf = p.z != 0;
  t_.cfg.half_zero = p.h != 0;
  t_.cfg.dupe = p.dupe;
  t_.cfg.comp = p.comp;
  const int sz = 65536;
  char *buf = Alloc4K(sz, t_.rig.allocs);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(buf) % 4096, 0U);
  FillWtBuf(t_.cfg, t_.rig.rnd, buf, sz);
  const int zero_from = 12, zero_to = 12 + p.comp * 5;
  int nonzero_words = 0, words = 0;
  for (int off = 0; off < sz; off += 4) {
    int in_sector = off % 512;
    bool comp_zone = p.comp != 0 && in_sector + 4 > zero_from && in_sector < zero_to;
    uint32_t w;
    std::memcpy(&w, buf + off, 4);
    if (comp_zone) {
      for (int b = 0; b < 4; b++)
        if (in_sector + b >= zero_from && in_sector + b < zero_to) {
          ASSERT_EQ(buf[off + b], 0) << off;
        }
      continue;
    }
    bool must_be_zero = p.z || p.dupe || (p.h && (off & 0x100));
    if (must_be_zero) {
      ASSERT_EQ(w, 0U) << p.name << " at " << off;
    } else {
      words++;
      if (w != 0) nonzero_words++;
    }
  }
  if (words > 0) {
    EXPECT_GT(nonzero_words, words * 99 / 100) << p.name;  // random words
  }
}

INSTANTIATE_TEST_SUITE_P(Options, FillPatternTest,
                         ::testing::Values(Pattern{"random", 0, 0, 0, 0}, Pattern{"zero", 1, 0, 0, 0},
                                           Pattern{"half", 0, 1, 0, 0}, Pattern{"dupe", 0, 0, 8, 0},
                                           Pattern{"zero_wins", 1, 1, 0, 0},
                                           Pattern{"comp10", 0, 0, 0, 10},
                                           Pattern{"comp100", 0, 0, 0, 100},
                                           Pattern{"half_comp", 0, 1, 0, 50}),
                         [](const auto &tpi) { return std::string(tpi.param.name); });

// ---------------------------------------------------------------- the fill

std::string ReadFile(int fd, size_t len) {
  std::string s(len, '\0');
  EXPECT_EQ(pread(fd, s.data(), len, 0), static_cast<ssize_t>(len));
  return s;
}

TEST_F(BenchIoTest, ClearStampsEverySectorWithItsNumber) {
  t_.cfg.size_mib = 3;
  t_.Worker(0, fd_);
  FillWtBuf(t_.cfg, t_.rig.rnd, t_.rig.WtBuf[0], 1048576);
  CaptureStdout cap;
  Clear(t_.cfg, t_.rig, FillReporter{});
  std::string out = cap.Take();
  const std::string head =
      "Filling 0G before testing  ...            \b\b\b\b\b\b\b\b\b\b\b       3 MB done in ";
  EXPECT_EQ(out.substr(0, head.size()), head);
  std::string data = ReadFile(fd_, 3 << 20);
  for (uint64_t s = 0; s < 3 * 2048; s++) ASSERT_EQ(Get64(data.data() + s * 512), s);
}

TEST_F(BenchIoTest, ClearWithKeysFillsEachUnitWithOneKey) {
  t_.cfg.size_mib = 1;
  t_.cfg.dupe = 8;
  t_.Worker(0, fd_);
  CaptureStdout cap;
  Clear(t_.cfg, t_.rig, FillReporter{});
  cap.Take();
  std::string data = ReadFile(fd_, 1 << 20);
  std::set<uint64_t> keys;
  for (int unit = 0; unit < (1 << 20); unit += 4096) {
    uint64_t k = Get64(data.data() + unit);
    ASSERT_LT(k, 8U);
    keys.insert(k);
    for (int s = 512; s < 4096; s += 512) ASSERT_EQ(Get64(data.data() + unit + s), k);
  }
  EXPECT_EQ(keys.size(), 8U);
}

TEST_F(BenchIoTest, ClearQuickWritesTheBufferUnchangedAfterThePrefix) {
  t_.cfg.size_mib = 1;
  t_.cfg.quick = true;
  t_.cfg.offset = 8;  // 4 KiB of the buffer first
  t_.Worker(0, fd_);
  FillWtBuf(t_.cfg, t_.rig.rnd, t_.rig.WtBuf[0], 1048576);
  CaptureStdout cap;
  Clear(t_.cfg, t_.rig, FillReporter{});
  cap.Take();
  std::string data = ReadFile(fd_, 4096 + (1 << 20));
  EXPECT_EQ(std::memcmp(data.data(), t_.rig.WtBuf[0], 4096), 0);
  EXPECT_EQ(std::memcmp(data.data() + 4096, t_.rig.WtBuf[0], 1 << 20), 0);
}

TEST_F(BenchIoTest, ClearStopsAtTheEndAndRatesWhatWasWritten) {
  // /dev/full refuses every write: nothing is written, and the rate must not
  // claim the whole tested size.
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  t_.cfg.size_mib = 4096;
  t_.Worker(0, full);
  CaptureStdout cap;
  Clear(t_.cfg, t_.rig, FillReporter{});
  std::string out = cap.Take();
  close(full);
  EXPECT_NE(out.find("Filling 4G before testing"), std::string::npos);
  EXPECT_NE(out.find("       0 MB done in 0.0"), std::string::npos) << out;
  EXPECT_NE(out.find(" seconds (0 MB/sec).\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------- Test failure paths

int g_forks_left;
pid_t FailingFork() {
  if (g_forks_left-- > 0) return fork();
  errno = EAGAIN;
  return -1;
}

ssize_t FailingRead(int, void *, size_t) {
  errno = EIO;
  return -1;
}

class MeasureTest : public BenchIoTest {
 protected:
  void SetUp() override {
    BenchIoTest::SetUp();
    InstallSignals();
    t_.cfg.quick = true;
    t_.cfg.size_sectors = 2048;  // 1 MiB of the file
    for (int i = 0; i < 3; i++) t_.Worker(i, fd_);
    // The result array and the per-second counts after it, as the set-up
    // makes them.
    id_ = shmget(IPC_PRIVATE, sizeof(_CTL_RES) + sizeof(_CTL_EXT), IPC_CREAT | 0600);
    ASSERT_GE(id_, 0);
    void *p = shmat(id_, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void *>(-1));
    t_.rig.ResArray_id = id_;
    t_.rig.ResArray = static_cast<_CTL_RES *>(p);
    t_.rig.ext = reinterpret_cast<_CTL_EXT *>(static_cast<char *>(p) + sizeof(_CTL_RES));
  }
  void TearDown() override {
    shmdt(t_.rig.ResArray);
    shmctl(id_, IPC_RMID, nullptr);
    BenchIoTest::TearDown();
  }
  // Test for a cell of n workers of 4 KiB reads.
  CellResult Measure(int n) { return ::Test(t_.cfg, t_.rig, CellSpec{n, 4096, 0}); }
  int id_ = -1;
  static bool NoChildLeft() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
  }
};

TEST_F(MeasureTest, ForkFailureStopsTheStartedWorkersOnly) {
  g_forks_left = 2;
  ForkFn = FailingFork;
  // stale ids of an earlier measurement must not be signalled
  Live.pid[2] = 1;
  std::string text;
  if (auto e = Caught<BenchFatal>([&] { Measure(3); })) text = e->Text();
  EXPECT_EQ(text, "Error starting worker 2 of 3 - 11; the 2 started were stopped\n");
  EXPECT_EQ(Live.pid[2], 0);
  EXPECT_TRUE(NoChildLeft());
}

TEST_F(MeasureTest, FailedPipeReadEndsWithStatusOne) {
  t_.cfg.seconds = 0;
  PipeReadFn = FailingRead;
  std::string text;
  if (auto e = Caught<BenchFatal>([&] { Measure(1); })) text = e->Text();
  EXPECT_EQ(text, "res = -1  errno = 5\n");
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

TEST_F(MeasureTest, QuickReadCountsAndCleanRunLeavesNoError) {
  t_.cfg.seconds = 1;
  CellResult c{};
  {
    CaptureStdout quiet;
    c = Measure(2);
    EXPECT_EQ(quiet.Take(), "");  // the measurement prints nothing: its reporter does
  }
  TableReporter rep(t_.cfg, 0, 0);
  {
    CaptureStdout label;
    rep.RowStart(4096);
    label.Take();
  }
  CaptureStdout cap;
  rep.Cell(c);
  std::string out = cap.Take();
  int total = static_cast<int>(c.total);
  EXPECT_GT(total, 0);
  ASSERT_EQ(out.size(), 17U) << out;
  EXPECT_EQ(out[0], '|');
  EXPECT_FALSE(c.failed);
  EXPECT_TRUE(NoChildLeft());
}

// SIGALRM ends the worker loop that runs in this process.
void EndLoop(int) { SigFlg3 = 1; }

TEST_F(MeasureTest, ReadWorkerCountsOnlyInTheWindow) {
  t_.cfg.fixed_seed = true;  // reseeds without /dev/urandom
  struct sigaction sa {}, old {};
  sa.sa_handler = EndLoop;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  struct Phase {
    int start, stop;
    bool counts;
  };
  uint64_t seq = 0;  // the verifying read finds its stamps in the tested MiB
  StampBlock(t_.rig.WtBuf[0], 1048576, 0, seq);
  ASSERT_EQ(pwrite(fd_, t_.rig.WtBuf[0], 1048576, 0), 1048576);
  // warm-up (before signal 61), window, drain (after signal 62)
  for (Phase ph : {Phase{0, 0, false}, Phase{1, 0, true}, Phase{1, 1, false}}) {
    for (int check : {0, 1}) {
      t_.cfg.quick = check == 0;
      SigFlg1 = ph.start;
      SigFlg2 = ph.stop;
      SigFlg3 = 0;
      itimerval t{};
      t.it_value.tv_usec = 100000;
      ASSERT_EQ(setitimer(ITIMER_REAL, &t, nullptr), 0);
      WorkerEnv env = t_.Env(0);
      WorkerResult r = RunWorkerLoop(env);
      EXPECT_EQ(r.err, 0U);
      if (ph.counts)
        EXPECT_GT(r.count, 0U) << check;
      else
        EXPECT_EQ(r.count, 0U) << "counted outside the window: start " << ph.start << " stop " << ph.stop
                               << " check " << check;
    }
  }
  sigaction(SIGALRM, &old, nullptr);
}

TEST_F(MeasureTest, WorkerErrorMarksTheRun) {
  // The file is empty: a verifying read finds no stamps.
  t_.cfg.seconds = 1;
  t_.cfg.quick = false;
  CaptureStdout cap;
  const CellResult c = Measure(2);
  EXPECT_EQ(c.total, 0U);
  TableReporter rep(t_.cfg, 0, 0);
  rep.RowStart(4096);
  rep.Cell(c);
  std::string out = cap.Take();
  EXPECT_EQ(CountOf(out, "read data err 0 "), 2U) << out;
  EXPECT_NE(out.find("|      0    0   B "), std::string::npos);
  EXPECT_TRUE(c.failed);
  EXPECT_TRUE(NoChildLeft());
}

}  // namespace
