// SPDX-License-Identifier: Apache-2.0
// The option scanner and the checks that refuse settings before any device
// is touched.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"
#include "config.h"
#include "fatal.h"
#include "schedule.h"
#include "test_util.h"

namespace {

void Parse(std::vector<std::string> args) {
  std::vector<const char *> argv{"vexbench"};
  for (const auto &a : args) argv.push_back(a.c_str());
  ParseArgs(static_cast<int>(argv.size()), argv.data());
}

// The text of the BenchFatal thrown by f, or "<none>".
template <class F>
std::string FatalText(F f) {
  auto e = Caught<BenchFatal>(f);
  if (!e) return "<none>";
  EXPECT_EQ(e->Stream(), stdout);
  return e->Text();
}

// The lowest descriptor free now: a check that opened nothing leaves it free.
int LowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

class CmdlineTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSettings(); }
  void TearDown() override { ResetSettings(); }
  int free_fd_ = -1;
};

struct LongCase {
  const char *arg;
  int *ival;
  int want;
};
void PrintTo(const LongCase &c, std::ostream *os) { *os << c.arg; }

class LongOptionTest : public CmdlineTest, public ::testing::WithParamInterface<LongCase> {};

TEST_P(LongOptionTest, SetsItsSetting) {
  const LongCase &c = GetParam();
  Parse({c.arg});
  EXPECT_EQ(*c.ival, c.want) << c.arg;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LongOptionTest,
    ::testing::Values(LongCase{"--th1=7", &ThreadLst[0], 7}, LongCase{"--th2=0", &ThreadLst[1], 0},
                      LongCase{"--th9=3", &ThreadLst[8], 3},
                      // "th1=" must not swallow "th10=": the "=" tells them apart
                      LongCase{"--th10=5", &ThreadLst[9], 5}, LongCase{"--tm=3", &TestTime, 3},
                      LongCase{"--off=8", &TestOff, 8}, LongCase{"--blksz=64", &TestSz, 64},
                      LongCase{"--min=4096", &SzMin, 4096}, LongCase{"--max=8192", &SzMax, 8192},
                      LongCase{"--dupe=8", &DupeMod, 8}, LongCase{"--comp=50", &CompRatio, 50},
                      LongCase{"--test=100000", &TestNum, 100000},
                      // trailing characters: the leading digits count
                      LongCase{"--tm=12abc", &TestTime, 12}, LongCase{"--min=4k", &SzMin, 4},
                      // an empty value is 0
                      LongCase{"--th3=", &ThreadLst[2], 0}, LongCase{"--tm=x", &TestTime, 0}));

TEST_F(CmdlineTest, SizeIsSixtyFourBit) {
  Parse({"--size=5000000000"});
  EXPECT_EQ(DevSizeMiB, 5000000000ULL);
  ResetSettings();
  Parse({"--size=8796093022207"});  // the largest whose bytes fit a file offset
  EXPECT_EQ(DevSizeMiB, 8796093022207ULL);
}

TEST_F(CmdlineTest, CollRuleIsPrintedWhileScanning) {
  CaptureStdout cap;
  Parse({"--coll=2", "--size=64"});
  EXPECT_EQ(cap.Take(), "CollRule = 2\n");
  EXPECT_EQ(CollRule, 2);
}

TEST_F(CmdlineTest, UnknownLongOptionGivesUsage) {
  CaptureStdout cap;
  std::string text = FatalText([] { Parse({"--coll=1", "--bogus=3", "--tm=4"}); });
  EXPECT_EQ(cap.Take(), "CollRule = 1\n");  // printed before the usage text
  EXPECT_EQ(text, kUsageText);
  EXPECT_EQ(TestTime, 10);  // the scan stopped at the unknown option
}

TEST_F(CmdlineTest, LongOptionsNeedTheirEqualsSign) {
  for (const char *arg : {"--size", "--th1", "--tm", "--", "--th11=3", "--TM=3"})
    EXPECT_EQ(FatalText([arg] { Parse({arg}); }), kUsageText) << arg;
}

TEST_F(CmdlineTest, ShortFlagsCombineAndUnknownLettersAreIgnored) {
  Parse({"-rw", "-xqk", "-z"});
  EXPECT_EQ(r_opt, 1);
  EXPECT_EQ(w_opt, 1);
  EXPECT_EQ(q_opt, 1);
  EXPECT_EQ(z_opt, 1);
  EXPECT_EQ(c_opt, 0);
  EXPECT_EQ(b_opt, 0);
}

TEST_F(CmdlineTest, DevicePathsKeepTheirOrder) {
  Parse({"/dev/a", "-r", "/dev/b", "--tm=1", "/dev/c"});
  EXPECT_EQ(DeviceCnt, 3);
  EXPECT_STREQ(Devices[0], "/dev/a");
  EXPECT_STREQ(Devices[1], "/dev/b");
  EXPECT_STREQ(Devices[2], "/dev/c");
}

TEST_F(CmdlineTest, TooManyOrTooLongPathsAreRefused) {
  std::vector<std::string> many(201, "/dev/x");
  EXPECT_EQ(FatalText([&] { Parse(many); }), "Too many devices (at most 200)\n");
  ResetSettings();
  many.pop_back();
  Parse(many);
  EXPECT_EQ(DeviceCnt, 200);
  ResetSettings();
  std::string longest(255, 'd');
  Parse({longest});
  EXPECT_EQ(std::string(Devices[0]), longest);
  ResetSettings();
  std::string too_long(256, 'd');
  EXPECT_EQ(FatalText([&] { Parse({too_long}); }), "Device name too long: " + too_long + "\n");
}

TEST_F(CmdlineTest, NumbersThatDoNotFitAreRefused) {
  EXPECT_EQ(FatalText([] { Parse({"--th1=2147483648"}); }), "Value out of range: --th1=2147483648\n");
  EXPECT_EQ(FatalText([] { Parse({"--size=8796093022208"}); }),
            "Value out of range: --size=8796093022208\n");
  ResetSettings();
  Parse({"--th1=2147483647"});
  EXPECT_EQ(ThreadLst[0], 2147483647);
}

TEST_F(CmdlineTest, ImpliedFlagsOfTheNormalRun) {
  RunFlags f = ResolveRunFlags();
  EXPECT_TRUE(f.open_wt);  // nothing given: -r -w -c
  EXPECT_EQ(f.read + f.write + f.fill, 3);
  EXPECT_EQ(r_opt + w_opt + c_opt, 0);  // the settings stay as given
  ResetSettings();
  Parse({"-c"});
  f = ResolveRunFlags();
  EXPECT_TRUE(f.open_wt);
  EXPECT_EQ(f.read + f.write, 0);
  ResetSettings();
  Parse({"-r"});
  EXPECT_FALSE(ResolveRunFlags().open_wt);  // read-only
  ResetSettings();
  Parse({"-rc"});
  f = ResolveRunFlags();
  EXPECT_TRUE(f.open_wt);
  EXPECT_TRUE(f.fill);
  EXPECT_FALSE(f.write);
}

// The run's value: the implied flags, -b's plain opens and the sampling
// modes' own lengths resolved once, the settings left as given.
TEST_F(CmdlineTest, ConfigResolvesWhatTheRunUsedToRewrite) {
  struct Row {
    std::vector<std::string> args;
    bool r, w, c, open_wt;
    int direct, seconds;
  };
  for (const Row &k : {Row{{}, true, true, true, true, O_DIRECT, 10},
                       Row{{"-b", "--tm=3"}, true, true, true, true, 0, 3},
                       Row{{"-r"}, true, false, false, false, O_DIRECT, 10},
                       Row{{"--mix=100"}, false, false, false, false, O_DIRECT, 10},
                       Row{{"--test=2", "--tm=3"}, false, false, false, false, O_DIRECT, 120},
                       Row{{"--test=6", "-r"}, true, false, false, true, O_DIRECT, 1800},
                       Row{{"--test=4", "-b"}, false, false, false, true, 0, 10}}) {
    ResetSettings();
    Parse(k.args);
    const BenchConfig cfg = BuildConfig();
    EXPECT_EQ(cfg.read_table, k.r) << k.args.size();
    EXPECT_EQ(cfg.write_table, k.w) << k.args.size();
    EXPECT_EQ(cfg.fill, k.c) << k.args.size();
    EXPECT_EQ(cfg.open_wt, k.open_wt) << k.args.size();
    EXPECT_EQ(cfg.direct, k.direct) << k.args.size();
    EXPECT_EQ(cfg.seconds, k.seconds) << k.args.size();
    EXPECT_EQ(o_direct, O_DIRECT) << k.args.size();  // -b leaves the setting as it is
  }
}

struct RefuseCase {
  std::vector<std::string> args;
  const char *message;  // nullptr: accepted
};
void PrintTo(const RefuseCase &c, std::ostream *os) { for (const auto &a : c.args) *os << a << " "; }

class RefuseTest : public CmdlineTest, public ::testing::WithParamInterface<RefuseCase> {};

TEST_P(RefuseTest, BeforeAnyDevice) {
  const RefuseCase &c = GetParam();
  free_fd_ = LowestFreeFd();
  CaptureStdout cap;
  std::string text = FatalText([&] {
    Parse(c.args);
    CheckSettings();
  });
  std::string out = cap.Take();
  EXPECT_EQ(text, c.message ? c.message : "<none>");
  EXPECT_EQ(out.find("OpenWt"), std::string::npos);
  EXPECT_EQ(LowestFreeFd(), free_fd_);  // nothing opened
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RefuseTest,
    ::testing::Values(
        RefuseCase{{"--th3=201"}, "Bad thread count 201: at most 200\n"},
        RefuseCase{{"--th3=200", "--size=4096"}, nullptr},
        RefuseCase{{"--test=1", "--th10=999"}, "Bad thread count 999: at most 200\n"},
        RefuseCase{{"--comp=101"}, "Bad --comp=101: at most 100\n"},
        RefuseCase{{"--comp=100"}, nullptr},
        RefuseCase{{"--min=0"}, "Bad --min=0: block sizes must be 512 times a power of two\n"},
        RefuseCase{{"--min=1536"}, "Bad --min=1536: block sizes must be 512 times a power of two\n"},
        RefuseCase{{"--min=100"}, "Bad --min=100: block sizes must be 512 times a power of two\n"},
        RefuseCase{{"--min=0", "-c"}, nullptr},  // no table, no grid
        RefuseCase{{"--max=1073741824"}, "Bad --max=1073741824: at most 1073741823\n"},
        RefuseCase{{"--max=1073741823", "--min=4096", "--th1=1", "--th2=0", "--th3=0"}, nullptr},
        RefuseCase{{"--tm=0", "-r"}, "Bad --tm=0: at least 1 second\n"},
        RefuseCase{{"--size=0", "-r"}, "Bad --size=0: too small for blocks of 4194304 bytes\n"},
        RefuseCase{{"--size=3", "-r"}, "Bad --size=3: too small for blocks of 4194304 bytes\n"},
        RefuseCase{{"--size=4", "-r"}, nullptr},
        RefuseCase{{"--size=159", "--coll=1", "-w"},
                   "Bad --size=159: too small for 40 threads of 4194304 byte blocks\n"},
        RefuseCase{{"--size=160", "--coll=2", "-w"}, nullptr},
        RefuseCase{{"--coll=3", "-r"}, "Bad --coll=3: reads can be verified only with 0, 1 or 2 (or -q)\n"},
        RefuseCase{{"--coll=3", "-rq"}, nullptr},
        RefuseCase{{"--coll=3", "-w"}, nullptr},
        RefuseCase{{"--off=2049", "-c", "--max=8192"}, "Bad --off=2049: beyond the write buffer of 2048 sectors\n"},
        RefuseCase{{"--off=8193", "-c"},
                   "Bad --off=8193: beyond the write buffer of 8192 sectors\n"},
        RefuseCase{{"--off=8192", "-c"}, nullptr},
        RefuseCase{{"--test=12", "--blksz=0"}, "Bad --blksz=0: 1 to 262144 KB\n"},
        RefuseCase{{"--test=12", "--blksz=262145"}, "Bad --blksz=262145: 1 to 262144 KB\n"},
        RefuseCase{{"--test=12", "--blksz=262144"}, nullptr},
        RefuseCase{{"-p"}, "Option -p is not supported\n"},
        RefuseCase{{"-rp", "--test=7"}, "Option -p is not supported\n"},
        RefuseCase{{"-e", "-u"}, "Options -e and -u cannot be used together\n"},
        RefuseCase{{"-eu", "--test=100000"}, "Options -e and -u cannot be used together\n"},
        RefuseCase{{"-e"}, nullptr},
        RefuseCase{{"--test=7", "--th1=500"}, nullptr},
        RefuseCase{{"--th1=0", "--th2=0", "--th3=0"}, "Bad thread counts: --th1= to --th10= are all 0\n"},
        RefuseCase{{"-c", "--th1=0", "--th2=0", "--th3=0", "--th10=0"},
                   "Bad thread counts: --th1= to --th10= are all 0\n"},
        RefuseCase{{"--th1=0", "--th2=0", "--th3=0", "--th7=1"}, nullptr},
        RefuseCase{{"--test=1", "--th1=0", "--th2=0", "--th3=0"}, nullptr},  // a worker per path
        RefuseCase{{"-w", "--min=8192", "--max=4096"}, "Bad --min=8192: above --max=4096\n"},
        RefuseCase{{"-r", "--min=4096", "--max=8191"}, nullptr},  // one row, 4K
        RefuseCase{{"-c", "--min=8192", "--max=4096"}, nullptr}));  // no table

}  // namespace

namespace {

TEST_F(CmdlineTest, LatAndJsonOptions) {
  // --lat is a whole word: a longer word is no option, as before.
  Parse({"--lat", "--json=out.json"});
  EXPECT_EQ(lat_opt, 1);
  EXPECT_EQ(JsonFile, "out.json");
  ResetSettings();
  EXPECT_EQ(FatalText([] { Parse({"--latency"}); }), kUsageText);
  EXPECT_EQ(lat_opt, 0);
  EXPECT_EQ(FatalText([] { Parse({"--json"}); }), kUsageText);
  EXPECT_EQ(FatalText([] { Parse({"--json="}); }), "Bad --json=: no file name\n");
  ResetSettings();
  Parse({"--lat", "--test=1"});
  EXPECT_EQ(FatalText([] { CheckSettings(); }), "Option --lat needs the tables (--test=0)\n");
}

}  // namespace

namespace {

// A flag letter that vexbench does not know, alone or among known ones:
// refused by a run that writes, ignored by one that only reads.
TEST_F(CmdlineTest, UnknownLetterIsRefusedWhenTheRunWrites) {
  const std::pair<const char *, bool> modes[] = {
      {"--tm=1", true},    {"-c", true},        {"-w", true},        {"-rc", true},
      {"-rw", true},       {"--test=4", true},  {"--test=6", true},  {"--test=10", true},
      {"--test=11", true}, {"--test=12", true}, {"-r", false},       {"-rq", false},
      {"--test=1", false}, {"--test=3", false}, {"--test=7", false}, {"--test=100000", false}};
  free_fd_ = LowestFreeFd();
  for (const auto &m : modes) {
    for (const auto &w :
         {std::pair{"-R", "R in -R"}, {"-zR", "R in -zR"}, {"-\x01", "\\x01 in -\x01"}}) {
      ResetSettings();
      std::string text = FatalText([&] {
        Parse({m.first, w.first, "--size=64"});
        CheckSettings();
      });
      EXPECT_EQ(text, m.second ? std::string("Unknown option letter ") + w.second +
                                     ": refused, since this run writes to the device\n"
                               : "<none>")
          << m.first << " " << w.first;
      EXPECT_EQ(LowestFreeFd(), free_fd_);
    }
  }
}

// --start-at= is no prefix of another key and has none among them: each word
// sets its own setting only.
TEST_F(CmdlineTest, StartAtIsAKeyOfItsOwn) {
  Parse({"--start-at=4102444800000", "--size=64", "--tm=3"});
  EXPECT_EQ(StartAtMs, 4102444800000ULL);
  EXPECT_EQ(DevSizeMiB, 64U);
  EXPECT_EQ(TestTime, 3);
  for (const char *w : {"--start-at", "--start-a=5", "--start=5", "--s=5"}) {
    ResetSettings();
    EXPECT_EQ(FatalText([w] { Parse({w}); }), kUsageText) << w;
    EXPECT_EQ(StartAtMs, kNoStartAt) << w;
  }
  ResetSettings();
  Parse({"--start-at=4102444800000", "--test=1"});
  EXPECT_EQ(FatalText([] { CheckSettings(); }), "Option --start-at= needs the tables (--test=0)\n");
}

// The usage text and --help, byte for byte as kept in tests/support/data.
// --list-options, a whole word like --help, lists every key and letter; no
// key takes it, it is in neither text, and -l stays an unknown letter.
TEST_F(CmdlineTest, UsageHelpAndListOptions) {
  EXPECT_EQ(std::string(kUsageText), kBenchUsage);
  const char *help[] = {"vexbench", "--help"};
  CaptureStdout cap;
  EXPECT_FALSE(ParseArgs(2, help));
  EXPECT_EQ(cap.Take(), kBenchHelp);
  const char *list[] = {"vexbench", "--list-options"};
  CaptureStdout cap2;
  EXPECT_FALSE(ParseArgs(2, list));
  std::string out(1, '\n');  // each line after a newline; += keeps GCC 12 -O3 from -Wrestrict
  out += cap2.Take();
  for (const char *line : {"option\t--size=\t", "option\t--th10=\t", "option\t--lat\t",
                           "option\t--rate=\t", "letter\t-b\t", "letter\t-p\t", "letter\t-z\t"})
    EXPECT_NE(out.find(std::string("\n") + line), std::string::npos) << line;
  EXPECT_EQ(kBenchHelp.find("list-options"), std::string::npos);
  EXPECT_EQ(FatalText([] { Parse({"--list-optionsx"}); }), kUsageText);
  EXPECT_EQ(FatalText([] { Parse({"--list"}); }), kUsageText);
  Parse({"-lr"});
  EXPECT_EQ(UnknownLetter, 'l');
  EXPECT_EQ(r_opt, 1);
}

// A T already past is refused before anything is written, and so is one the
// fill overran, when the first cell comes to wait for it.
TEST_F(CmdlineTest, StartAtThatCannotBeKeptIsRefused) {
  const std::string want = "Bad --start-at=1000: the first window needs it ";
  Parse({"--start-at=1000", "--tm=2"});
  EXPECT_EQ(FatalText([] { CheckSettings(); }).substr(0, want.size()), want);
  BenchConfig cfg = BuildConfig();
  EXPECT_EQ(WindowOpenMs(cfg, 3), 1000 + 3 * (1000 + 2000 + 1000 + 1000U));
  cfg.start_at_ms = get_ms() + kWarmUpMs - 1;  // passed the check; the fill took longer
  uint64_t due = 0;
  EXPECT_EQ(FatalText([&] { WaitForWindow(cfg, 0, due); }).find(" ms later\n") != std::string::npos, true);
  ResetSettings();
  cfg = BuildConfig();
  EXPECT_FALSE(WaitForWindow(cfg, 0, due));  // no --start-at: the second boundary as before
}

}  // namespace
