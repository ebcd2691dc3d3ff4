// SPDX-License-Identifier: Apache-2.0
// The JSON results document: exact text for a small run, the sampling form,
// and the same field names as the sample file that documents it.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "config.h"
#include "fatal.h"
#include "results.h"
#include "test_util.h"

namespace {

void Parse(std::vector<std::string> args) {
  std::vector<const char *> argv{"vexbench"};
  for (const auto &a : args) argv.push_back(a.c_str());
  ParseArgs(static_cast<int>(argv.size()), argv.data());
}

// The document of the run that the settings parsed make.
std::string Write(const BenchResults &r, bool pretty) {
  std::string out;
  JsonWriter w(&out, pretty);
  WriteResults(w, BuildConfig(), r);
  EXPECT_TRUE(w.Finish());
  return out;
}

BenchResults TwoCells() {
  BenchResults r{"1.2", 365 * 86400, false, true, {}, {}};
  r.cells.push_back({0, 4096, 3001, 0, {30010}, true, {8700, 14900, 41300, 512600}, 1600000000123});
  r.cells.push_back({1, 8192, 0, 1, {0, 5}, true, {0, 0, 0, 0}});  // window of no length
  r.cells[0].lat_min = 8100;
  r.cells[0].lat_buckets = {{8704, 30000}, {512512, 10}};
  r.cells[0].lat_stats = {30010, 8100, 512600, 9000, 2500,
                          {8700, 9900, 11000, 14900, 41300, 90100}};
  r.cells[0].cpu_user_us = 120000;
  r.cells[0].cpu_sys_us = 2400000;
  r.cells[0].iops_series = {10001, 10003, 10006};
  r.cells[1].io_errors = 3;
  return r;
}

class ResultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettings(); }
  void TearDown() override { ResetSettings(); }
};

TEST_F(ResultsTest, NormalRunDocument) {
  Parse({"-rwqb", "--th2=2", "--th3=0", "--min=4096", "--max=8192", "--tm=3",
         "--start-at=1600000000000", "/dev/loop\"7", "/dev/loop8"});
  EXPECT_EQ(Write(TwoCells(), false),
            R"({"program":"vexbench","version":"1.2","schema":3,"start_time":"1971-01-01T00:00:00Z",)"
            R"("ok":false,"settings":{"test":0,"size_mib":4096,"time_s":3,"min_block":4096,)"
            R"("max_block":8192,"threads":[1,2],"coll":0,"dupe":0,"comp":0,"direct":false,)"
            R"("fill":false,"read":true,"write":true,"verify":false,"buffer":"random",)"
            R"("random_source":"rand","fixed_seed":false,"latency":true,)"
            R"("start_at_ms":1600000000000},)"
            R"("devices":["/dev/loop\"7","/dev/loop8"],"cells":[)"
            R"({"test":"read","block_size":4096,"workers":1,"window_ms":3001,"runtime_ms":3001,)"
            R"("window_start_ms":1600000000123,"transfers":30010,"total_ios":30010,)"
            R"("iops":10000,"bytes_per_second":40960000,"bw_bytes":40960000,"errors":0,)"
            R"("io_errors":0,"cpu_user_us":120000,"cpu_sys_us":2400000,"worker_transfers":[30010],)"
            R"("iops_series":[10001,10003,10006],)"
            R"("latency_us":{"p50":8.7,"p99":14.9,"p99_9":41.3,"max":512.6},)"
            R"("latency_ns":{"min":8100,"max":512600,"mean":9000,"stddev":2500,"count":30010,)"
            R"("percentiles":{"50.000000":8700,"90.000000":9900,"95.000000":11000,)"
            R"("99.000000":14900,"99.900000":41300,"99.990000":90100}},)"
            R"("latency_hist":{"min_ns":8100,"max_ns":512600,"bucket_ns":[8704,512512],)"
            R"("bucket_counts":[30000,10]}},)"
            R"({"test":"write","block_size":8192,"workers":2,"window_ms":0,"runtime_ms":0,)"
            R"("window_start_ms":0,"transfers":5,"total_ios":5,)"
            R"("iops":0,"bytes_per_second":0,"bw_bytes":0,"errors":1,"io_errors":3,)"
            R"("cpu_user_us":0,"cpu_sys_us":0,"worker_transfers":[0,5],"iops_series":[],)"
            R"("latency_us":{"p50":0,"p99":0,"p99_9":0,"max":0},)"
            R"("latency_ns":{"min":0,"max":0,"mean":0,"stddev":0,"count":0,)"
            R"("percentiles":{"50.000000":0,"90.000000":0,"95.000000":0,)"
            R"("99.000000":0,"99.900000":0,"99.990000":0}},)"
            R"("latency_hist":{"min_ns":0,"max_ns":0,"bucket_ns":[],"bucket_counts":[]}}]})"
            "\n");
}

// A mixed cell: its read share, and each direction under fio's name with
// its own count, rate and times; the settings carry the shares and the rate.
TEST_F(ResultsTest, MixedCellHasBothDirections) {
  Parse({"--mix=70,5", "--rate=20000", "--th1=2", "--th2=0", "--th3=0", "/dev/a"});
  BenchResults r{"1.2", 0, true, true, {}, {}};
  CellResult c{2, 8192, 2000, 0, {1500, 1500}, true, {9000, 20000, 40000, 90000}};
  c.total = 3000;
  c.read_share = 70;
  c.reads = 2100;
  c.iops_series = {1490, 1502};
  c.read_lat = {2100, 5000, 60000, 8000, 1000, {7000, 9000, 10000, 15000, 30000, 60000}};
  c.write_lat = {900, 6000, 90000, 12000, 3000, {11000, 14000, 16000, 25000, 80000, 90000}};
  r.cells.push_back(c);
  std::string doc = Write(r, false);
  EXPECT_EQ(doc.find(R"("start_at_ms")"), std::string::npos);
  EXPECT_NE(doc.find(R"("latency":true,"mix":[70,5],"rate":20000},)"), std::string::npos) << doc;
  EXPECT_NE(doc.find(R"({"test":"mix","read_share":70,"block_size":8192,"workers":2,)"),
            std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("worker_transfers":[1500,1500],"iops_series":[1490,1502],)"),
            std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("read":{"transfers":2100,"total_ios":2100,"iops":1050,"bw_bytes":8601600,)"
                     R"("latency_ns":{"min":5000,"max":60000,"mean":8000,"stddev":1000,"count":2100,)"
                     R"("percentiles":{"50.000000":7000,"90.000000":9000,"95.000000":10000,)"
                     R"("99.000000":15000,"99.900000":30000,"99.990000":60000}}},)"
                     R"("write":{"transfers":900,"total_ios":900,"iops":450,"bw_bytes":3686400,)"
                     R"("latency_ns":{"min":6000,)"),
            std::string::npos) << doc;
}

TEST_F(ResultsTest, SamplingDocumentHasSamplesAndNoCells) {
  Parse({"--test=6", "-z", "-u", "/dev/a", "/dev/b"});
  BenchResults r{"1.2", 0, true, false, {}, {}};
  r.samples.push_back({0, "/dev/a", 5, {3, 4}});
  r.samples.push_back({1, "/dev/b", 5, {}});
  std::string doc = Write(r, false);
  EXPECT_NE(doc.find(R"("buffer":"zero","random_source":"urandom",)"), std::string::npos);
  EXPECT_NE(doc.find(R"("devices":["/dev/a","/dev/b"],"cells":[],"samples":[)"
                     R"({"worker":0,"device":"/dev/a","interval_s":5,"counts":[3,4]},)"
                     R"({"worker":1,"device":"/dev/b","interval_s":5,"counts":[]}]})"),
            std::string::npos)
      << doc;
}

// Every "name": of a document.
std::set<std::string> Keys(const std::string &doc) {
  std::set<std::string> keys;
  for (size_t p = doc.find("\": "); p != std::string::npos; p = doc.find("\": ", p + 1)) {
    size_t q = doc.rfind('"', p - 1);
    keys.insert(doc.substr(q + 1, p - q - 1));
  }
  return keys;
}

TEST_F(ResultsTest, SampleFileHasTheWritersFields) {
  std::ifstream f(BENCH_TEST_DATA "/sample-results.json");
  ASSERT_TRUE(f.good());
  std::stringstream sample;
  sample << f.rdbuf();
  Parse({"-rw", "/dev/loop3"});
  std::set<std::string> want = Keys(Write(TwoCells(), true));
  EXPECT_EQ(Keys(sample.str()), want);
  EXPECT_GT(want.size(), 30U);  // not two empty sets
}

// --json=FILE: what stands at FILE, the message of the check or the write
// ("": none), and whether FILE then holds the document. The target of a link
// is never written, and nothing else is left in the directory.
struct FileCase {
  const char *name, *message;
  bool written;
};

class ResultsFileTest : public ResultsTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ResultsFileTest, NeverWrittenThrough) {
  namespace fs = std::filesystem;
  const FileCase &c = GetParam();
  const std::string kind = c.name;
  ScratchDir dir;
  const std::string file = dir.File("r.json"),
                    path = kind == "no_parent" ? dir.File("none/r.json") : file;
  WriteAt(dir.File("old"), 0, "old", 3);
  if (kind == "file") fs::copy_file(dir.File("old"), file);
  if (kind == "fifo" || kind == "link_to_fifo")
    mkfifo(kind == "fifo" ? file.c_str() : dir.File("fifo").c_str(), 0600);
  if (kind.rfind("link_to_", 0) == 0)
    fs::create_symlink(kind == "link_to_dev" ? "/dev/null" : dir.File(kind.substr(8)), file);
  if (kind == "directory") fs::create_directory(file);
  auto listing = [&] {
    std::set<std::string> names;
    for (const auto &f : fs::directory_iterator(dir.path)) names.insert(f.path().filename());
    return names;
  };
  std::set<std::string> want = listing();
  if (c.written) want.insert("r.json");
  rlimit old{}, small{8, 8};  // "full": files of 8 bytes at most
  getrlimit(RLIMIT_FSIZE, &old);
  if (kind == "full") {
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
  }
  auto e = Caught<BenchFatal>([&] {
    CheckResultsFile(path);
    WriteResultsFile(path, BuildConfig(), TwoCells());
  });
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(e ? e->Text() : "", std::regex_replace(c.message, std::regex("FILE"), path));
  struct stat st {};  // a FIFO is never opened: it would block the test
  EXPECT_EQ(c.written, lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                           ReadAll(file).find("\"vexbench\"") != std::string::npos);
  EXPECT_EQ(ReadAll(dir.File("old")), "old");
  EXPECT_EQ(listing(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResultsFileTest,
    ::testing::Values(
        FileCase{"none", "", true}, FileCase{"file", "", true}, FileCase{"link_to_old", "", true},
        FileCase{"link_to_none", "", true},
        FileCase{"fifo", "Error: results file FILE is a FIFO, not a regular file\n", false},
        FileCase{"link_to_fifo", "Error: results file FILE is a FIFO, not a regular file\n", false},
        FileCase{"directory", "Error: results file FILE is a directory, not a regular file\n",
                 false},
        FileCase{"link_to_dev", "Error: results file FILE is a device, not a regular file\n",
                 false},
        FileCase{"no_parent", "Error opening results file FILE - 2\n", false},
        FileCase{"full", "Error writing results file FILE - 27\n", false}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

}  // namespace
