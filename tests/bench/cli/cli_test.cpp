// SPDX-License-Identifier: Apache-2.0
// Whole-program tests: the built vexbench on loop devices with the shortest
// windows (--tm=1, a few MiB, one or two block sizes, few workers).
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Standard output and error together in out.
using RunResult = Result;

// Runs the built program; a run that hangs ends after a minute and fails its test.
RunResult RunBin(std::vector<std::string> args) {
  args.insert(args.begin(), VEXBENCH_BIN);
  return Run(args, Streams::Merged, 60);
}

// One 4 KiB cell in a one-second window: FLAGS, with WORKERS workers over the
// first MIB MiB of DEV.
RunResult RunCell(std::vector<std::string> flags, int workers, int mib, const std::string &dev) {
  for (const char *a : {"--tm=1", "--min=4096", "--max=4096", "--th2=0", "--th3=0"}) flags.emplace_back(a);
  flags.push_back("--th1=" + std::to_string(workers));
  flags.push_back("--size=" + std::to_string(mib));
  flags.push_back(dev);
  return RunBin(flags);
}

// A shell command's output (standard output and error) and status.
RunResult RunCmd(const std::string &cmd) { return Run({"/bin/sh", "-c", cmd}, Streams::Merged, 60);
}

class BenchCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      if (InCi()) FAIL() << "loop-device tests need root under CI";
      GTEST_SKIP() << "loop-device tests need root";
    }
  }
  // Attaches a loop device of size MiB; fails the test if none can be had.
  const std::string &Attach(int mib) {
    loops_.push_back(std::make_unique<LoopDevice>(static_cast<off_t>(mib) << 20));
    EXPECT_FALSE(loops_.back()->Path().empty()) << "losetup failed";
    return loops_.back()->Path();
  }
  // A device of 64 MiB whose writes fail beyond its first 8 MiB.
  const std::string &AttachFault() {
    loops_.push_back(FaultDevice(64 << 20, 8 << 20));
    EXPECT_FALSE(loops_.back()->Path().empty()) << "cannot attach a fault device";
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

// One line per cell of a results file, in the order measured, as the tables
// print it: test, block size, workers, IOPS, bytes per second, and the four
// latency figures. The windows lie within the run, one after the other.
const std::string kCellLines =
    "python3 -c 'import json,sys,time\n"
    "d = json.load(open(sys.argv[1]))\n"
    "assert d[\"ok\"] and d[\"settings\"][\"latency\"]\n"
    "t = (time.time() - 600) * 1000\n"
    "for c in d[\"cells\"]:\n"
    "  assert sum(c[\"worker_transfers\"]) == c[\"transfers\"] and len(c[\"worker_transfers\"]) == c[\"workers\"]\n"
    "  assert c[\"window_start_ms\"] >= t, c\n"
    "  t = c[\"window_start_ms\"] + c[\"window_ms\"]\n"
    "  l = c[\"latency_us\"]\n"
    "  print(c[\"test\"], c[\"block_size\"], c[\"workers\"], c[\"iops\"], c[\"bytes_per_second\"],\n"
    "        \" \".join(\"%.1f\" % l[k] for k in (\"p50\", \"p99\", \"p99_9\", \"max\")))\n"
    "assert t <= time.time() * 1000\n' ";

// The 4K and 8K rows of the IOPS tables and of the latency tables, reads first.
void TableRows(const std::string &out, std::vector<std::string> &iops_rows,
               std::vector<std::string> &lat_rows) {
  for (const std::string &line : Lines(out)) {
    if (std::regex_match(line, std::regex("   [48]K (" + kCell + "){2}"))) iops_rows.push_back(line);
    const std::string lat = R"(\| (( {0,7}[0-9]+\.[0-9]) ){4})";
    if (std::regex_match(line, std::regex("   [48]K (" + lat + "){2}"))) lat_rows.push_back(line);
  }
}

// One cell of the file (a kCellLines line) against its cells in the tables.
void ExpectCellShown(const std::string &want, const std::vector<std::string> &iops_rows,
                     const std::vector<std::string> &lat_rows) {
  std::istringstream in(want);
  std::string test, p50, p99, p999, max;
  long blk = 0, workers = 0, iops = 0;
  long long bps = 0;
  in >> test >> blk >> workers >> iops >> bps >> p50 >> p99 >> p999 >> max;
  const size_t row = (test == "write" ? 2U : 0U) + (blk == 8192 ? 1U : 0U);
  const size_t col = workers == 1 ? 0 : 1;
  EXPECT_EQ(RowIops(iops_rows[row])[col], iops) << want;
  // The bandwidth text is the file's bytes per second, truncated to one
  // decimal of its unit.
  std::string cell = iops_rows[row].substr(6 + col * 17, 17);
  double shown = std::strtod(cell.c_str() + 9, nullptr);
  char unit = cell[15];
  double scale = unit == 'G' ? 1073741824.0 : unit == 'M' ? 1048576.0 : unit == 'K' ? 1024.0 : 1.0;
  EXPECT_LE(shown * scale, static_cast<double>(bps)) << cell << " " << want;
  EXPECT_GT((shown + 0.1) * scale, static_cast<double>(bps)) << cell << " " << want;
  std::istringstream lat(lat_rows[row].substr(6 + col * 38 + 1, 36));
  std::string g50, g99, g999, gmax;
  lat >> g50 >> g99 >> g999 >> gmax;
  EXPECT_EQ(g50 + " " + g99 + " " + g999 + " " + gmax, p50 + " " + p99 + " " + p999 + " " + max)
      << want;
}

// With --lat and --json=: the file parses, and its numbers are the printed
// tables' (IOPS, bandwidth, and the latency table's four figures per cell).
TEST_F(BenchCli, LatencyTablesAndResultsFileAgree) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  ScratchFile json(0);
  RunResult r = RunBin({"-c", "-r", "-w", "--lat", "--json=" + json.Path(), "--tm=1", "--min=4096",
                        "--max=8192", "--th1=1", "--th2=3", "--th3=0", "--size=16", dev});
  ASSERT_EQ(r.status, 0) << r.out;
  RunResult parse = RunCmd("python3 -m json.tool " + json.Path() + " >/dev/null");
  EXPECT_EQ(parse.status, 0) << parse.out;
  RunResult cells = RunCmd(kCellLines + json.Path());
  ASSERT_EQ(cells.status, 0) << cells.out;
  std::vector<std::string> want = Lines(cells.out);
  ASSERT_EQ(want.size(), 8U) << cells.out;
  std::vector<std::string> iops_rows, lat_rows;
  TableRows(r.out, iops_rows, lat_rows);
  ASSERT_EQ(iops_rows.size(), 4U) << r.out;
  ASSERT_EQ(lat_rows.size(), 4U) << r.out;
  for (const std::string &cell : want) ExpectCellShown(cell, iops_rows, lat_rows);
  EXPECT_NE(r.out.find("\nRead latency (us):\n\nBlock |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nWrite latency (us):\n\nBlock |"), std::string::npos) << r.out;
}

TEST_F(BenchCli, ResultsFileThatCannotBeCreatedStopsBeforeAnyDevice) {
  RunResult r = RunBin({"-r", "--json=/nonexistent-dir/r.json", "/nonexistent-device"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error opening results file /nonexistent-dir/r.json - 2\n");
  ScratchDir dir;  // a FIFO there is refused at once, not opened
  ASSERT_EQ(mkfifo(dir.File("r.json").c_str(), 0600), 0);
  r = RunBin({"-r", "--json=" + dir.File("r.json"), "/nonexistent-device"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error: results file " + dir.File("r.json") + " is a FIFO, not a regular file\n");
}

// A position beyond the device's end is reported as the refused positioning
// reported it: the offset, -1 and EINVAL; the run ends with status 1.
TEST_F(BenchCli, UnreachablePositionIsReported) {
  const std::string &dev = Attach(1);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunCell({"-r", "-q"}, 1, 64, dev);
  EXPECT_EQ(r.status, 1) << r.out;
  std::smatch m;
  std::string out = r.out;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("error seeking ([0-9]+) -1 22\n"))) << r.out;
  long long off = std::stoll(m[1]);
  EXPECT_GT(off, 1LL << 20);
  EXPECT_EQ(off % 4096, 0);
}

TEST_F(BenchCli, UnfilledReadFailsInEveryWorker) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  RunResult r = RunCell({"-r"}, 3, 16, dev);
  EXPECT_EQ(r.status, 1) << r.out;  // the lines stay, the status tells
  EXPECT_EQ(CountOf(r.out, "read data err 0 "), 3U) << r.out;
  EXPECT_NE(r.out.find("\n|      0    0   B \n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(0, 12), "OpenWt = 0\n\n");
}

TEST_F(BenchCli, CorruptedSectorIsReported) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  RunResult fill = RunBin({"-c", "--size=1", "--th1=1", "--th2=0", "--th3=0", dev});
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
  RunResult r = RunCell({"-r"}, 1, 1, dev);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("read data err 3735928559 809/101  deadbeef 329\n"), std::string::npos) << r.out;
}

TEST_F(BenchCli, StampedWritesReadBackClean) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  // 1 MiB is 256 blocks: a second of writes covers every one of them.
  RunResult w = RunCell({"-w", "--coll=2"}, 2, 1, dev);
  ASSERT_EQ(w.status, 0) << w.out;
  EXPECT_NE(w.out.find("CollRule = 2\nOpenWt = 1\n"), std::string::npos) << w.out;
  RunResult r = RunCell({"-r"}, 2, 1, dev);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("err"), std::string::npos) << r.out;
}

// The first eleven counters of a block device's stat file.
std::vector<uint64_t> DevStat(const std::string &dev) {
  std::istringstream f(ReadAll("/sys/block/" + dev.substr(5) + "/stat"));
  std::vector<uint64_t> v(11);
  for (uint64_t &x : v) f >> x;
  return v;
}

// --qd=: "Queue depth N" before the tables of unchanged shape; the window's
// count is within what the loop device completed over the run, and nothing
// is left in flight.
TEST_F(BenchCli, QueueDepthCountsWithinTheDevicesOwn) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  auto stat = [&] {  // sectors read, sectors written, requests in flight
    const std::vector<uint64_t> v = DevStat(dev);
    return std::vector<uint64_t>{v[2], v[6], v[8]};
  };
  ScratchFile json(0);
  std::vector<uint64_t> before = stat();
  RunResult r = RunCell({"-r", "-w", "-q", "--qd=16", "--json=" + json.Path()}, 2, 16, dev);
  std::vector<uint64_t> after = stat();
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> l = Lines(r.out);
  ASSERT_EQ(l.size(), 18U) << r.out;
  EXPECT_EQ(l[3], "Queue depth 16");
  EXPECT_EQ(l[4], "Read Tests:");
  for (size_t k : {9U, 16U}) EXPECT_TRUE(std::regex_match(l[k], std::regex("   4K " + kCell))) << l[k];
  RunResult cells = RunCmd("python3 -c 'import json,sys\n"
                           "d = json.load(open(sys.argv[1]))\n"
                           "assert d[\"settings\"][\"qd\"] == 16\n"
                           "print(*(c[\"transfers\"] for c in d[\"cells\"]))' " + json.Path());
  ASSERT_EQ(cells.status, 0) << cells.out;
  std::istringstream in(cells.out);
  uint64_t reads = 0, writes = 0;
  in >> reads >> writes;
  EXPECT_GT(reads, 0U);
  EXPECT_GT(writes, 0U);
  EXPECT_LE(reads * 8, after[0] - before[0]);
  EXPECT_LE(writes * 8, after[1] - before[1]);
  EXPECT_EQ(after[2], 0U);
}

// The device's own counters: sectors read and written so far.
std::pair<uint64_t, uint64_t> SectorsOf(const std::string &dev) {
  const std::vector<uint64_t> v = DevStat(dev);
  return {v[2], v[6]};
}

// --mix= alone: a fill when asked, then only the mixed table, with its
// latency table; the document's mixed cell splits its transfers into reads
// and writes, and its per-second counts add up to them.
TEST_F(BenchCli, MixedTableAndItsCell) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  ScratchFile json(0);
  RunResult r = RunCell({"-c", "--mix=70", "--lat", "--json=" + json.Path()}, 2, 16, dev);
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> l = Lines(r.out);
  ASSERT_EQ(l.size(), 18U) << r.out;
  EXPECT_EQ(l[0], "OpenWt = 1");
  EXPECT_EQ(l[4], "Mixed Tests:");
  EXPECT_EQ(l[6], "Block |    2 threads   ");
  EXPECT_TRUE(std::regex_match(l[9], std::regex("   4K " + kCell))) << l[9];
  EXPECT_EQ(l[11], "Mixed latency (us):");
  EXPECT_EQ(r.out.find("Read Tests:"), std::string::npos);
  EXPECT_EQ(r.out.find("err"), std::string::npos) << r.out;
  RunResult cell = RunCmd("python3 -c 'import json,sys\n"
                          "d = json.load(open(sys.argv[1]))\n"
                          "assert d[\"settings\"][\"mix\"] == [70] and len(d[\"cells\"]) == 1\n"
                          "c = d[\"cells\"][0]\n"
                          "assert c[\"test\"] == \"mix\" and c[\"read_share\"] == 70, c\n"
                          "rd, wr, n = c[\"read\"][\"transfers\"], c[\"write\"][\"transfers\"], c[\"transfers\"]\n"
                          "assert rd + wr == n and 0.6 < rd / n < 0.8, c\n"
                          "assert c[\"read\"][\"latency_ns\"][\"count\"] == rd\n"
                          "s = c[\"iops_series\"]\n"
                          "assert len(s) == 1 and 0.9 * n <= s[0] <= n, c\n"
                          "print(c[\"iops\"])' " + json.Path());
  EXPECT_EQ(cell.status, 0) << cell.out;
  EXPECT_EQ(std::to_string(RowIops(l[9])[0]) + "\n", cell.out);
}

// The share of reads that the device itself counted is the one asked for
// (warm-up and drain included: they choose alike).
TEST_F(BenchCli, KernelCountsTheReadShare) {
  const std::string &dev = Attach(32);
  ASSERT_FALSE(dev.empty());
  ASSERT_EQ(RunBin({"-c", "--size=16", "--th1=1", "--th2=0", "--th3=0", dev}).status, 0);
  for (int p : {5, 50, 95}) {
    auto before = SectorsOf(dev);
    RunResult r = RunCell({"--mix=" + std::to_string(p)}, 1, 16, dev);
    auto after = SectorsOf(dev);
    ASSERT_EQ(r.status, 0) << r.out;
    const double reads = static_cast<double>(after.first - before.first);
    const double writes = static_cast<double>(after.second - before.second);
    ASSERT_GT(reads + writes, 8000.0);
    EXPECT_NEAR(100.0 * reads / (reads + writes), p, 1.0) << p;
  }
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

TEST_F(BenchCli, FillThatFailsEarlyEndsTheRun) {
  const std::string &dev = AttachFault();
  ASSERT_FALSE(dev.empty());
  RunResult r = RunCell({"-c", "-r"}, 1, 64, dev);
  EXPECT_EQ(r.status, 1) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m,
                               std::regex("OpenWt = 1\n\nFilling 0G before testing  ...            "
                                          "\b{11} +([0-9]+) MB\nError writing.  res = -?[0-9]+  "
                                          "errno = [1-9][0-9]*\n")))
      << r.out;
  EXPECT_LT(std::stoi(m[1]), 64);  // no measurement follows
}

// Worker processes of a run, and the run's System V segments.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;  // processes only
    // A process may end between the listing and the read: its file then reads as empty.
    std::string stat = ReadAll(std::string("/proc/") + e->d_name + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(stat.c_str() + close_paren + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent &&
        state != 'Z')
      out.push_back(static_cast<pid_t>(std::atol(e->d_name)));
  }
  closedir(d);
  return out;
}

// A process's state letter ('R', 'S', 'T', 'Z', ...); 0 when it is gone.
char State(pid_t pid) {
  std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < stat.size() ? stat[close_paren + 2] : 0;
}

bool Alive(pid_t pid) { return State(pid) != 0 && State(pid) != 'Z'; }

// Waits up to 2 s for every one of pids to be stopped (or to be running, not stopped).
bool AllStopped(const std::vector<pid_t> &pids, bool stopped) {
  for (int k = 0; k < 40; k++, usleep(50000))
    if (std::all_of(pids.begin(), pids.end(), [&](pid_t p) { return (State(p) == 'T') == stopped; }))
      return true;
  return false;
}

bool HasSegment(pid_t creator) {
  std::vector<std::string> lines = Lines(ReadAll("/proc/sysvipc/shm"));
  for (size_t k = 1; k < lines.size(); k++) {  // after the header
    const std::string &line = lines[k];
    long cpid = 0;  // key, shmid, perms, size, cpid, ...
    if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %ld", &cpid) == 1 && cpid == creator)
      return true;
  }
  return false;
}

TEST_F(BenchCli, WorkersEndWithTheirParent) {
  const std::string &dev = Attach(64);
  ASSERT_FALSE(dev.empty());
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    pid_t pid = Spawn({VEXBENCH_BIN, "-r", "-q", "--size=64", "--tm=30", "--min=4096", "--max=4096",
                       "--th1=2", "--th2=0", "--th3=0", dev},
                      null, 60);
    // Found once both have started their own sessions (a worker seen
    // between its fork and its setsid is not one yet).
    std::vector<pid_t> workers;
    const auto settled = [&] {
      return workers.size() == 2 && getsid(workers[0]) == workers[0] &&
             getsid(workers[1]) == workers[1];
    };
    for (int k = 0; k < 100 && !settled(); k++) {
      usleep(50000);
      workers = ChildrenOf(pid);
    }
    EXPECT_EQ(workers.size(), 2U) << strsignal(sig);
    EXPECT_TRUE(HasSegment(pid)) << strsignal(sig);
    // Each worker is a session of its own; a stop of the parent's job stops
    // them too, and a continue continues them.
    for (pid_t w : workers) EXPECT_EQ(getsid(w), w);
    if (sig == SIGTERM) {
      std::vector<pid_t> all = workers;
      all.push_back(pid);
      kill(pid, SIGTSTP);
      EXPECT_TRUE(AllStopped(all, true));
      kill(pid, SIGCONT);
      EXPECT_TRUE(AllStopped(all, false));
    }
    kill(pid, sig);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << strsignal(sig);
    bool gone = false;
    for (int k = 0; k < 20 && !gone; k++) {
      usleep(100000);
      gone = !HasSegment(pid);
      for (pid_t w : workers) gone = gone && !Alive(w);
    }
    EXPECT_TRUE(gone) << strsignal(sig) << ": a worker or the segment is left after 2 s";
    for (pid_t w : workers) kill(w, SIGKILL);  // a failed case must not hold the device
  }
  close(null);
}

TEST_F(BenchCli, HeldDeviceIsNeitherWrittenNorFilled) {
  const std::string &dev = Attach(8);
  ASSERT_FALSE(dev.empty());
  int held = open(dev.c_str(), O_RDWR | O_EXCL);
  ASSERT_GE(held, 0);
  const std::string refused = "OpenWt = 1\nError opening device " + dev + " - 16\n";
  RunResult fill = RunBin({"-c", "--size=1", "--th1=1", "--th2=0", "--th3=0", dev});
  RunResult write = RunCell({"-w", "-q"}, 2, 1, dev);
  RunResult fixed = RunBin({"--test=11", dev});
  RunResult read = RunCell({"-r", "-q"}, 1, 1, dev);
  close(held);
  EXPECT_EQ(fill.out, refused);
  EXPECT_EQ(fill.status, 1);
  EXPECT_EQ(write.out, refused + "Error opening device " + dev + " - 16\n");
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(fixed.out, "Error opening device " + dev + "\n");
  EXPECT_EQ(fixed.status, 1);
  EXPECT_EQ(read.status, 0) << read.out;  // reading needs no exclusive hold
  std::vector<char> data(8 << 20);
  int fd = open(dev.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pread(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  close(fd);
  EXPECT_EQ(std::count(data.begin(), data.end(), 0), static_cast<long>(data.size()));  // nothing written
}

TEST(BenchCliFifo, IsRefusedWithoutWaiting) {
  ScratchFile slot(0);
  ASSERT_EQ(unlink(slot.Path().c_str()), 0);
  ASSERT_EQ(mkfifo(slot.Path().c_str(), 0600), 0);
  const std::string refused = "Error: " + slot.Path() + " is neither a block device nor a regular file\n";
  RunResult read = RunCell({"-r"}, 1, 1, slot.Path());
  EXPECT_EQ(read.out, "OpenWt = 0\n" + refused);
  EXPECT_EQ(read.status, 1);
  RunResult fill = RunBin({"-c", "--size=1", slot.Path()});
  EXPECT_EQ(fill.out, "OpenWt = 1\n" + refused);
  EXPECT_EQ(fill.status, 1);
  RunResult fixed = RunBin({"--test=12", slot.Path()});
  EXPECT_EQ(fixed.out, refused);
  EXPECT_EQ(fixed.status, 1);
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
  ScratchFile json(0);
  RunResult r =
      RunBin({"--test=1", "--th1=1", "--th2=0", "--th3=0", "--json=" + json.Path(), dev, missing});
  EXPECT_EQ(r.status, 1) << r.out;  // a path could not be opened
  // The results file holds the same lines' numbers.
  RunResult rows = RunCmd("python3 -c 'import json,sys\n"
                          "d = json.load(open(sys.argv[1]))\n"
                          "assert not d[\"ok\"] and d[\"cells\"] == []\n"
                          "for s in d[\"samples\"]:\n"
                          "  print(\"t1:%d:%s:%s\" % (s[\"worker\"], s[\"device\"], "
                          "\" \".join(map(str, s[\"counts\"]))))' " + json.Path());
  EXPECT_EQ(rows.out, r.out.substr(r.out.find("\nt1:") + 1)) << rows.out;
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
void PrintTo(const NoDeviceCase &c, std::ostream *os) { *os << c.name; }

class BenchCliNoDevice : public ::testing::TestWithParam<NoDeviceCase> {};

TEST_P(BenchCliNoDevice, OutputAndStatus) {
  const NoDeviceCase &c = GetParam();
  RunResult r = RunBin(c.args);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.status, c.status);
}

std::string Repeat(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BenchCliNoDevice,
    ::testing::Values(
        NoDeviceCase{"test7", {"--test=7", "/var/tmp/vexbench-no-such-device"}, "", 0},
        NoDeviceCase{"unknown_option", {"--coll=1", "--speed=3"}, std::string("CollRule = 1\n") + kBenchUsage, 1},
        // every one of the 40 workers of the default third column tries the empty path
        NoDeviceCase{"no_device", {"-r"}, kBenchUsage + "OpenWt = 0\n" + Repeat("Error opening device  - 2\n", 40), 1},
        NoDeviceCase{"too_many_threads", {"--th2=201", "/dev/null"}, "Bad thread count 201: at most 200\n", 1},
        NoDeviceCase{"hold", {"-rp", "/dev/null"}, "Option -p is not supported\n", 1},
        NoDeviceCase{"unknown_letter", {"-R", "/dev/null"},
                     "Unknown option letter R in -R: refused, since this run writes to the device\n", 1},
        // --help and --version: whole words only, scanned where they stand; the
        // near misses keep the usage text and status 1, and -h is still the
        // fill flag (here -help sets h, e, l and p, and -p is refused).
        NoDeviceCase{"help", {"--help", "/dev/null"}, kBenchHelp, 0},
        NoDeviceCase{"help_after_coll", {"--coll=1", "--help", "--bogus"},
                     std::string("CollRule = 1\n") + kBenchHelp, 0},
        NoDeviceCase{"version", {"--version"}, std::string("vexbench ") + XTL_VERSION + "\n", 0},
        NoDeviceCase{"help_prefix", {"--he"}, kBenchUsage, 1},
        NoDeviceCase{"help_longer", {"--helpx"}, kBenchUsage, 1},
        NoDeviceCase{"version_prefix", {"--vers"}, kBenchUsage, 1},
        NoDeviceCase{"h_is_a_flag", {"-help", "/dev/null"}, "Option -p is not supported\n", 1},
        NoDeviceCase{"h_alone_runs_mode", {"-h", "--test=7", "/dev/null"}, "", 0},
        NoDeviceCase{"no_worker", {"-c", "--th1=0", "--th2=0", "--th3=0", "/dev/null"},
                     "Bad thread counts: --th1= to --th10= are all 0\n", 1},
        NoDeviceCase{"min_above_max", {"-r", "--min=8192", "--max=4096", "/dev/null"},
                     "Bad --min=8192: above --max=4096\n", 1},
        NoDeviceCase{"missing_device_fixed_mode", {"--test=11", "/var/tmp/vexbench-no-such-device"},
                     "Error opening device /var/tmp/vexbench-no-such-device\n", 1}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

}  // namespace
