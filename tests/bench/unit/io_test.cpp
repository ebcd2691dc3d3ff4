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
#include <set>
#include <string>

#include "bench.h"
#include "fatal.h"
#include "test_util.h"

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
    // the descriptor belongs to the test, not to the settings
    for (int &fd : ctl.fh)
      if (fd == fd_) fd = -1;
    close(fd_);
    ForkFn = fork;
    PipeReadFn = read;
    ResetSettings();
  }
  ScratchFile file_{16 << 20};
  int fd_ = -1;
};

// ---------------------------------------------------------------- Seek

TEST_F(BenchIoTest, SeekRule0AlignsWithinTheTestedArea) {
  ctl.DevSizeSectors = 32768;  // 16 MiB
  ctl.thread_cnt = 4;
  for (int blk : {512, 4096, 65536, 4194304}) {
    auto n = static_cast<uint64_t>(blk / 512);
    std::set<uint64_t> seen;
    for (int k = 0; k < 2000; k++) {
      uint64_t s = Seek(fd_, blk, k % 4);
      ASSERT_EQ(s % n, 0U) << blk;
      ASSERT_LT(s, ctl.DevSizeSectors);
      ASSERT_EQ(lseek(fd_, 0, SEEK_CUR), 0);  // the transfer positions itself
      seen.insert(s);
    }
    EXPECT_GT(seen.size(), std::min<uint64_t>(ctl.DevSizeSectors / n / 2, 500)) << blk;
  }
  EXPECT_EQ(RunCtx.WorkerErr, 0);
}

TEST_F(BenchIoTest, SeekRule1KeepsEachWorkerInItsZone) {
  CollRule = 1;
  ctl.DevSizeSectors = 32768;
  ctl.thread_cnt = 10;
  const uint64_t n = 8;                             // 4 KiB blocks
  const uint64_t zone = ctl.DevSizeSectors / n / 10;       // 409 blocks
  for (int k = 0; k < 3000; k++) {
    uint64_t s = Seek(fd_, 4096, 3);
    ASSERT_GE(s, 3 * zone * n);
    ASSERT_LT(s, 4 * zone * n);
    ASSERT_EQ(s % n, 0U);
  }
  for (int k = 0; k < 3000; k++) ASSERT_LT(Seek(fd_, 4096, 9), 10 * zone * n);
}

TEST_F(BenchIoTest, SeekRule2DealsTheBlocks) {
  CollRule = 2;
  ctl.DevSizeSectors = 32768;
  ctl.thread_cnt = 4;
  for (int blk : {512, 4096, 65536}) {
    auto n = static_cast<uint64_t>(blk / 512);
    for (int k = 0; k < 3000; k++) {
      uint64_t s = Seek(fd_, blk, 1);
      ASSERT_EQ(s % n, 0U);
      ASSERT_EQ((s / n) % 4, 1U) << blk;
      ASSERT_LT(s + n, ctl.DevSizeSectors + 1);
    }
  }
}

TEST_F(BenchIoTest, SeekOtherRuleDoesNotPosition) {
  CollRule = 3;
  ctl.DevSizeSectors = 32768;
  ctl.thread_cnt = 1;
  ASSERT_EQ(lseek(fd_, 12288, SEEK_SET), 12288);
  EXPECT_EQ(Seek(fd_, 4096, 0), 0U);
  EXPECT_EQ(lseek(fd_, 0, SEEK_CUR), 12288);
}

TEST_F(BenchIoTest, SeekFailureIsReportedAndMarksTheWorker) {
  // Rule 1, worker 1 of 2, one block per zone: always sector 8 (byte 4096),
  // one byte past what the descriptor can reach. The line is the one a
  // refused lseek gave: the offset, -1 and EINVAL.
  CollRule = 1;
  ctl.DevSizeSectors = 16;
  ctl.thread_cnt = 2;
  ctl.PosEnd[1] = 4095;
  CaptureStdout cap;
  EXPECT_EQ(Seek(fd_, 4096, 1), 0U);
  EXPECT_EQ(cap.Take(), "error seeking 4096 -1 22\n");
  EXPECT_EQ(RunCtx.WorkerErr, 1);
  RunCtx.WorkerErr = 0;
  ctl.PosEnd[1] = 4096;  // the device's end itself can be reached
  EXPECT_EQ(Seek(fd_, 4096, 1), 8U);
  EXPECT_EQ(RunCtx.WorkerErr, 0);
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
  DupeMod = 8;
  static char buf[65536];
  std::memset(buf, 0x33, sizeof buf);
  std::set<uint64_t> keys;
  for (int round = 0; round < 4; round++) {
    PutKeys(buf, 65536);
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
  PutKeys(small, 512);  // a block below 4 KiB still gets its key
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
  z_opt = p.z;
  h_opt = p.h;
  DupeMod = p.dupe;
  CompRatio = p.comp;
  const int sz = 65536;
  char *buf = Alloc4K(sz);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(buf) % 4096, 0U);
  FillWtBuf(buf, sz);
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
  DevSizeMiB = 3;
  ctl.fh[0] = fd_;
  ctl.WtBuf[0] = Alloc4K(1048576);
  FillWtBuf(ctl.WtBuf[0], 1048576);
  CaptureStdout cap;
  Clear();
  std::string out = cap.Take();
  const std::string head =
      "Filling 0G before testing  ...            \b\b\b\b\b\b\b\b\b\b\b       3 MB done in ";
  EXPECT_EQ(out.substr(0, head.size()), head);
  std::string data = ReadFile(fd_, 3 << 20);
  for (uint64_t s = 0; s < 3 * 2048; s++) ASSERT_EQ(Get64(data.data() + s * 512), s);
}

TEST_F(BenchIoTest, ClearWithKeysFillsEachUnitWithOneKey) {
  DevSizeMiB = 1;
  DupeMod = 8;
  ctl.fh[0] = fd_;
  ctl.WtBuf[0] = Alloc4K(1048576);
  CaptureStdout cap;
  Clear();
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
  DevSizeMiB = 1;
  q_opt = 1;
  TestOff = 8;  // 4 KiB of the buffer first
  ctl.fh[0] = fd_;
  ctl.WtBuf[0] = Alloc4K(1048576);
  FillWtBuf(ctl.WtBuf[0], 1048576);
  CaptureStdout cap;
  Clear();
  cap.Take();
  std::string data = ReadFile(fd_, 4096 + (1 << 20));
  EXPECT_EQ(std::memcmp(data.data(), ctl.WtBuf[0], 4096), 0);
  EXPECT_EQ(std::memcmp(data.data() + 4096, ctl.WtBuf[0], 1 << 20), 0);
}

TEST_F(BenchIoTest, ClearStopsAtTheEndAndRatesWhatWasWritten) {
  // /dev/full refuses every write: nothing is written, and the rate must not
  // claim the whole tested size.
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  DevSizeMiB = 4096;
  ctl.fh[0] = full;
  ctl.WtBuf[0] = Alloc4K(1048576);
  CaptureStdout cap;
  Clear();
  std::string out = cap.Take();
  ctl.fh[0] = -1;
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
    q_opt = 1;
    ctl.DevSizeSectors = 2048;  // 1 MiB of the file
    AllocWorkers(3);
    int id = shmget(IPC_PRIVATE, sizeof(_CTL_RES), IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    ctl.ResArray_id = id;
    ctl.ResArray = static_cast<_CTL_RES *>(shmat(id, nullptr, 0));
  }
  void AllocWorkers(int n) {
    for (int i = 0; i < n; i++) {
      ctl.fh[i] = fd_;
      ctl.RdBuf[i] = Alloc4K(1048576);
      ctl.WtBuf[i] = Alloc4K(1048576);
    }
  }
  static bool NoChildLeft() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
  }
};

TEST_F(MeasureTest, ForkFailureStopsTheStartedWorkersOnly) {
  g_forks_left = 2;
  ForkFn = FailingFork;
  // stale ids of an earlier measurement must not be signalled
  ctl.ChildPid[2] = 1;
  std::string text;
  if (auto e = Caught<BenchFatal>([] { ::Test(3, 4096, 0); })) text = e->Text();
  EXPECT_EQ(text, "Error starting worker 2 of 3 - 11; the 2 started were stopped\n");
  EXPECT_EQ(ctl.ChildPid[2], 0);
  EXPECT_TRUE(NoChildLeft());
}

TEST_F(MeasureTest, FailedPipeReadEndsWithStatusOne) {
  TestTime = 0;
  PipeReadFn = FailingRead;
  std::string text;
  if (auto e = Caught<BenchFatal>([] { ::Test(1, 4096, 0); })) text = e->Text();
  EXPECT_EQ(text, "res = -1  errno = 5\n");
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

TEST_F(MeasureTest, QuickReadCountsAndCleanRunLeavesNoError) {
  TestTime = 1;
  CaptureStdout cap;
  int total = static_cast<int>(::Test(2, 4096, 0).total);
  std::string out = cap.Take();
  EXPECT_GT(total, 0);
  ASSERT_EQ(out.size(), 17U) << out;
  EXPECT_EQ(out[0], '|');
  EXPECT_EQ(RunCtx.RunErr, 0);
  EXPECT_TRUE(NoChildLeft());
}

// SIGALRM ends the worker loop that runs in this process.
void EndLoop(int) { SigFlg3 = 1; }

TEST_F(MeasureTest, ReadWorkerCountsOnlyInTheWindow) {
  e_opt = 1;  // reseeds without /dev/urandom
  struct sigaction sa {}, old {};
  sa.sa_handler = EndLoop;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  struct Phase {
    int start, stop;
    bool counts;
  };
  uint64_t seq = 0;  // the verifying read finds its stamps in the tested MiB
  StampBlock(ctl.WtBuf[0], 1048576, 0, seq);
  ASSERT_EQ(pwrite(fd_, ctl.WtBuf[0], 1048576, 0), 1048576);
  // warm-up (before signal 61), window, drain (after signal 62)
  for (Phase ph : {Phase{0, 0, false}, Phase{1, 0, true}, Phase{1, 1, false}}) {
    for (int check : {0, 1}) {
      q_opt = check ? 0 : 1;
      SigFlg1 = ph.start;
      SigFlg2 = ph.stop;
      SigFlg3 = 0;
      itimerval t{};
      t.it_value.tv_usec = 100000;
      ASSERT_EQ(setitimer(ITIMER_REAL, &t, nullptr), 0);
      WorkerResult r = RunWorkerLoop(0, 4096, 0);
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
  TestTime = 1;
  q_opt = 0;
  CaptureStdout cap;
  EXPECT_EQ(::Test(2, 4096, 0).total, 0U);
  std::string out = cap.Take();
  EXPECT_EQ(CountOf(out, "read data err 0 "), 2U) << out;
  EXPECT_NE(out.find("|      0    0   B "), std::string::npos);
  EXPECT_EQ(RunCtx.RunErr, 1);
  EXPECT_TRUE(NoChildLeft());
}

}  // namespace
