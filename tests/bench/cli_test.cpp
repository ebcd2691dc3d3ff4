// Whole-program tests: the built vexbench on loop devices with the shortest
// windows (--tm=1, a few MiB, one or two block sizes, few workers).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct RunResult {
  std::string out;  // standard output and standard error
  int status = -1;
};

RunResult RunBin(const std::vector<std::string> &args) {
  int p[2];
  RunResult r;
  if (pipe(p) != 0) return r;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    dup2(p[1], 2);
    close(p[0]);
    close(p[1]);
    std::vector<char *> argv{const_cast<char *>(VEXBENCH_BIN)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(VEXBENCH_BIN, argv.data());
    _exit(127);
  }
  close(p[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

std::string Shell(const std::string &cmd) {
  std::string out;
  FILE *f = popen(cmd.c_str(), "r");
  if (f == nullptr) return out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f) != nullptr) out += buf;
  pclose(f);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A loop device over a sparse file under /var/tmp; detached and removed on
// destruction, whatever the test did.
class LoopDevice {
 public:
  explicit LoopDevice(off_t size) : file_(size) {
    for (int attempt = 0; attempt < 8 && dev_.empty(); attempt++) {
      std::string d = Shell("losetup -f --show " + file_.Path() + " 2>/dev/null");
      if (d.rfind("/dev/loop", 0) == 0)
        dev_ = d;
      else
        usleep(250000);  // another test took the free device first
    }
  }
  ~LoopDevice() {
    if (!dev_.empty()) Shell("losetup -d " + dev_ + " 2>/dev/null");
  }
  const std::string &Path() const { return dev_; }

 private:
  TempFile file_;
  std::string dev_;
};

class BenchCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *ci = std::getenv("CI");
    bool in_ci = ci != nullptr && std::string(ci) == "true";
    if (geteuid() != 0) {
      if (in_ci) FAIL() << "loop-device tests need root under CI";
      GTEST_SKIP() << "loop-device tests need root";
    }
  }
  // Attaches a loop device of size MiB; fails the test if none can be had.
  const std::string &Attach(int mib) {
    loops_.push_back(std::make_unique<LoopDevice>(static_cast<off_t>(mib) << 20));
    EXPECT_FALSE(loops_.back()->Path().empty()) << "losetup failed";
    return loops_.back()->Path();
  }
  std::vector<std::unique_ptr<LoopDevice>> loops_;
};

const std::string kCell = R"(\|[ 0-9]{7} [ 0-9]{4}(\.[0-9][KMG]|   B) )";

// The IOPS figures of a table row.
std::vector<long> RowIops(const std::string &row) {
  std::vector<long> v;
  for (size_t p = row.find('|'); p != std::string::npos; p = row.find('|', p + 1))
    v.push_back(std::strtol(row.c_str() + p + 1, nullptr, 10));
  return v;
}

TEST_F(BenchCli, TableFramesAndColumnLeftOut) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunBin({"-r", "-w", "-q", "--tm=1", "--min=4096", "--max=4096", "--th1=1", "--th2=0",
                     "--th3=2", "--size=16", dev});
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> l = Lines(r.out);
  ASSERT_EQ(l.size(), 17U) << r.out;
  const std::vector<std::string> header = {
      "Block |    1 thread    |    2 threads   ",
      " Size |   IOPS    BW   |   IOPS    BW   ",
      "      |                |                ",
  };
  EXPECT_EQ(l[0], "OpenWt = 1");
  EXPECT_EQ(l[1], "");
  EXPECT_EQ(l[2], "");
  EXPECT_EQ(l[3], "Read Tests:");
  EXPECT_EQ(l[4], "");
  for (size_t k = 0; k < 3; k++) EXPECT_EQ(l[5 + k], header[k]);
  EXPECT_TRUE(std::regex_match(l[8], std::regex("   4K " + kCell + kCell))) << l[8];
  EXPECT_EQ(l[9], "");
  EXPECT_EQ(l[10], "Write Tests:");
  EXPECT_EQ(l[11], "");
  for (size_t k = 0; k < 3; k++) EXPECT_EQ(l[12 + k], header[k]);
  EXPECT_TRUE(std::regex_match(l[15], std::regex("   4K " + kCell + kCell))) << l[15];
  EXPECT_EQ(l[16], "");
  for (int row : {8, 15})
    for (long iops : RowIops(l[static_cast<size_t>(row)])) EXPECT_GT(iops, 0) << l[static_cast<size_t>(row)];
}

TEST_F(BenchCli, FillThenVerifyingReadIsClean) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunBin({"-c", "-r", "--tm=1", "--min=4096", "--max=8192", "--th1=2", "--th2=0",
                     "--th3=0", "--size=16", dev});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Filling 0G before testing  ...            "), std::string::npos);
  EXPECT_NE(r.out.find("      16 MB done in "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("err"), std::string::npos) << r.out;
  std::vector<std::string> l = Lines(r.out);
  int rows = 0;
  for (const auto &line : l) {
    if (!std::regex_match(line, std::regex("   [48]K " + kCell))) continue;
    rows++;
    EXPECT_GT(RowIops(line)[0], 0) << line;
  }
  EXPECT_EQ(rows, 2) << r.out;
  EXPECT_EQ(r.out.find("Write Tests:"), std::string::npos);
}

TEST_F(BenchCli, UnfilledReadFailsInEveryWorker) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunBin({"-r", "--tm=1", "--min=4096", "--max=4096", "--th1=3", "--th2=0", "--th3=0",
                     "--size=16", dev});
  EXPECT_EQ(r.status, 1) << r.out;  // the lines stay, the status tells
  EXPECT_EQ(CountOf(r.out, "read data err 0 "), 3U) << r.out;
  EXPECT_NE(r.out.find("\n|      0    0   B \n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(0, 12), "OpenWt = 0\n\n");
}

TEST_F(BenchCli, CorruptedSectorIsReported) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  RunResult fill = RunBin({"-c", "--size=1", dev});
  ASSERT_EQ(fill.status, 0) << fill.out;
  {
    int fd = open(dev.c_str(), O_RDWR | O_DIRECT);
    ASSERT_GE(fd, 0);
    void *mem = nullptr;
    ASSERT_EQ(posix_memalign(&mem, 4096, 4096), 0);
    auto *blk = static_cast<char *>(mem);
    ASSERT_EQ(pread(fd, blk, 4096, 101 * 4096), 4096);
    uint64_t v;
    std::memcpy(&v, blk + 512, 8);
    EXPECT_EQ(v, 809U);  // the fill's stamp
    v = 0xdeadbeef;
    std::memcpy(blk + 512, &v, 8);
    ASSERT_EQ(pwrite(fd, blk, 4096, 101 * 4096), 4096);
    std::free(mem);
    close(fd);
  }
  RunResult r = RunBin({"-r", "--tm=1", "--size=1", "--min=4096", "--max=4096", "--th1=1", "--th2=0",
                     "--th3=0", dev});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("read data err 3735928559 809/101  deadbeef 329\n"), std::string::npos) << r.out;
}

TEST_F(BenchCli, StampedWritesReadBackClean) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  // 1 MiB is 256 blocks: a second of writes covers every one of them.
  RunResult w = RunBin({"-w", "--tm=1", "--size=1", "--min=4096", "--max=4096", "--th1=2", "--th2=0",
                     "--th3=0", "--coll=2", dev});
  ASSERT_EQ(w.status, 0) << w.out;
  EXPECT_NE(w.out.find("CollRule = 2\nOpenWt = 1\n"), std::string::npos) << w.out;
  RunResult r = RunBin({"-r", "--tm=1", "--size=1", "--min=4096", "--max=4096", "--th1=2", "--th2=0",
                     "--th3=0", dev});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("err"), std::string::npos) << r.out;
}

TEST_F(BenchCli, FillAloneOnASmallerDevice) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunBin({"-c", "--size=64", dev});
  ASSERT_EQ(r.status, 0) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      r.out, m,
      std::regex("OpenWt = 1\n\nFilling 0G before testing  ...            "
                 "(\b{11}      64 MB)?\b{11}       8 MB done in ([0-9]+)\\.([0-9]{3}) seconds "
                 "\\(([0-9]+) MB/sec\\)\\.\n\n\n")))
      << r.out;
  long ms = std::stol(m[2]) * 1000 + std::stol(m[3]);
  long rate = std::stol(m[4]);
  // the rate counts the 8 MiB written, not the 64 MiB asked for
  EXPECT_EQ(rate, ms == 0 ? 0 : 8 * 1000 / ms) << r.out;
}

TEST_F(BenchCli, DeviceListLeavesOutBusyAndMissingDevices) {
  const std::string &a = Attach(8);
  const std::string &b = Attach(8);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  RunResult all = RunBin({"--test=100000", a, "/var/tmp/vexbench-no-such-device", b});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out, a + "\n" + b + "\n");
  int held = open(b.c_str(), O_RDWR | O_EXCL);
  ASSERT_GE(held, 0);
  RunResult busy = RunBin({"--test=100000", a, b});
  close(held);
  EXPECT_EQ(busy.status, 0);
  EXPECT_EQ(busy.out, a + "\n");
}

TEST_F(BenchCli, SamplingModeLines) {
  const std::string &dev = Attach(16);
  ASSERT_FALSE(dev.empty());
  const std::string missing = "/var/tmp/vexbench-no-such-device";
  RunResult r = RunBin({"--test=1", "--th1=1", "--th2=0", "--th3=0", dev, missing});
  EXPECT_EQ(r.status, 1) << r.out;  // a path could not be opened
  std::vector<std::string> l = Lines(r.out);
  ASSERT_EQ(l.size(), 4U) << r.out;
  EXPECT_EQ(l[0], "OpenWt = 0");
  EXPECT_EQ(l[1], "Error opening device " + missing + " - 2");
  EXPECT_TRUE(std::regex_match(l[2], std::regex("t1:0:" + dev + ":[1-9][0-9]*( [1-9][0-9]*){9}"))) << l[2];
  EXPECT_EQ(l[3], "t1:1:" + missing + ":0 0 0 0 0 0 0 0 0 0");
}

// Runs that need no device at all.
struct NoDeviceCase {
  const char *name;
  std::vector<std::string> args;
  std::string out;
  int status;
};

class BenchCliNoDevice : public ::testing::TestWithParam<NoDeviceCase> {};

TEST_P(BenchCliNoDevice, OutputAndStatus) {
  const NoDeviceCase &c = GetParam();
  RunResult r = RunBin(c.args);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.status, c.status);
}

const char kUsage[] =
    "\nusage: vexbench {options} DeviceName\n\n      -c   clear device\n      -r   test random reads\n"
    "      -w   test random writes\n      -z   test with zero filled buffer\n"
    "      -f   test with .... filled buffer\n      -q   bypass block fill/test logic\n"
    "      -u   use /dev/urandom instead of MT PRNG for block offsets\n"
    "      -e   do not seed MT PRNG so patterns are repeatable\n\n"
    "      --size=nnn   set device size in MB (def 4GB)\n"
    "      --th1=nnn    set thread count #1 (def 1)\n      --th2=nnn    set thread count #2 (def 10)\n"
    "      --th3=nnn    set thread count #3 (def 40)\n"
    "      --tm=nnn     set test time in seconds (def 10)\n\n";

const char kManPointer[] = "See the manual page vexbench(8) for every option and mode.\n";

std::string Repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BenchCliNoDevice,
    ::testing::Values(
        NoDeviceCase{"test7", {"--test=7", "/var/tmp/vexbench-no-such-device"}, "", 0},
        NoDeviceCase{"unknown_option", {"--coll=1", "--speed=3"}, std::string("CollRule = 1\n") + kUsage, 1},
        // every one of the 40 workers of the default third column tries the empty path
        NoDeviceCase{"no_device", {"-r"}, std::string(kUsage) + "OpenWt = 0\n" + Repeat("Error opening device  - 2\n", 40), 1},
        NoDeviceCase{"too_many_threads", {"--th2=201", "/dev/null"}, "Bad thread count 201: at most 200\n", 1},
        NoDeviceCase{"hold", {"-rp", "/dev/null"}, "Option -p is not supported\n", 1},
        // --help and --version: whole words only, scanned where they stand; the
        // near misses keep the usage text and status 1, and -h is still the
        // fill flag (here -help sets h, e, l and p, and -p is refused).
        NoDeviceCase{"help", {"--help", "/dev/null"}, std::string(kUsage) + kManPointer, 0},
        NoDeviceCase{"help_after_coll", {"--coll=1", "--help", "--bogus"},
                     std::string("CollRule = 1\n") + kUsage + kManPointer, 0},
        NoDeviceCase{"version", {"--version"}, std::string("vexbench ") + XTL_VERSION + "\n", 0},
        NoDeviceCase{"help_prefix", {"--he"}, kUsage, 1},
        NoDeviceCase{"help_longer", {"--helpx"}, kUsage, 1},
        NoDeviceCase{"version_prefix", {"--vers"}, kUsage, 1},
        NoDeviceCase{"h_is_a_flag", {"-help", "/dev/null"}, "Option -p is not supported\n", 1},
        NoDeviceCase{"h_alone_runs_mode", {"-h", "--test=7", "/dev/null"}, "", 0},
        NoDeviceCase{"missing_device_fixed_mode", {"--test=11", "/var/tmp/vexbench-no-such-device"},
                     "Error opening device /var/tmp/vexbench-no-such-device\n", 1}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

}  // namespace
