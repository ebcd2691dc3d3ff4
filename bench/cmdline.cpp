// SPDX-License-Identifier: Apache-2.0
// The vexbench command line: option table, usage text, argument scan and the
// checks that refuse unusable settings before any device is touched.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench.h"
#include "config.h"
#include "fatal.h"
#include "mix.h"
#include "pace.h"
#include "uring.h"
#include "schedule.h"

const char kUsageText[] =
    "\nusage: vexbench {options} DeviceName\n\n"
    "      -c   clear device\n"
    "      -r   test random reads\n"
    "      -w   test random writes\n"
    "      -z   test with zero filled buffer\n"
    "      -f   test with .... filled buffer\n"
    "      -q   bypass block fill/test logic\n"
    "      -u   use /dev/urandom instead of MT PRNG for block offsets\n"
    "      -e   do not seed MT PRNG so patterns are repeatable\n\n"
    "      --size=nnn   set device size in MB (def 4GB)\n"
    "      --th1=nnn    set thread count #1 (def 1)\n"
    "      --th2=nnn    set thread count #2 (def 10)\n"
    "      --th3=nnn    set thread count #3 (def 40)\n"
    "      --tm=nnn     set test time in seconds (def 10)\n"
    "\n";

const char kHelpExtra[] =
    "      --qd=nnn     keep nnn transfers in flight per worker, io_uring (def 1)\n"
    "      --mix=P[,P]  mixed table(s): P per cent of the transfers read (0 to 100)\n"
    "      --rate=nnn   at most nnn transfers per second per cell (def no limit)\n";

void usage(int ExitFlg) {
  if (ExitFlg != 0) FatalText(kUsageText);
  std::fputs(kUsageText, stdout);
}

namespace {

// Largest --size= whose byte count still fits a signed 64-bit file offset.
constexpr uint64_t kMaxSizeM = (uint64_t{1} << 43) - 1;
// Bytes of the buffers a worker keeps in flight with --qd=.
constexpr int kMaxInFlight = 1 << 30;

// One option: a long one (the key, the text after "--" with its "="), or a
// flag letter (letters combine: "-rw"), and the setting it fills. Long keys
// are matched in table order; the first key that is a prefix wins.
struct Option {
  const char *key = nullptr;  // long option, or nullptr for a letter
  char letter = 0;            // flag letter, 0 for a long option
  int *ival = nullptr;        // int setting, or
  uint64_t *uval = nullptr;   // u64 setting, or
  std::string *sval = nullptr;  // text setting (the rest of the word), or
  int *flag = nullptr;        // set to 1 by the letter, or by the whole long word only (no value)
  void (*scan)(const char *val, const char *arg) = nullptr;  // a value of its own syntax
  const char *help = "";      // one line, for --list-options
};

constexpr size_t kMaxMixShares = 16;

// --mix=P[,P...]: read shares in per cent, each 0 to 100.
void ScanMix(const char *val, const char *arg) {
  MixShares.clear();
  const char *p = val;
  for (;;) {
    if (*p < '0' || *p > '9') break;
    int v = 0;
    for (; *p >= '0' && *p <= '9' && v <= 100; p++) v = v * 10 + (*p - '0');
    if (v > 100 || MixShares.size() == kMaxMixShares) break;
    MixShares.push_back(v);
    if (*p == '\0') return;
    if (*p++ != ',') break;
  }
  MixShares.clear();
  Fatal("Bad %s: up to %zu read shares, 0 to 100, separated by commas\n", arg, kMaxMixShares);
}

void ScanRate(const char *val, const char *arg);

const Option kOptions[] = {
    {.key = "size=", .uval = &DevSizeMiB, .help = "device size in MiB (def 4096)"},
    {.key = "th1=", .ival = &ThreadLst[0], .help = "thread count #1 (def 1)"},
    {.key = "th2=", .ival = &ThreadLst[1], .help = "thread count #2 (def 10)"},
    {.key = "th3=", .ival = &ThreadLst[2], .help = "thread count #3 (def 40)"},
    {.key = "th4=", .ival = &ThreadLst[3], .help = "thread count #4 (def 0)"},
    {.key = "th5=", .ival = &ThreadLst[4], .help = "thread count #5 (def 0)"},
    {.key = "th6=", .ival = &ThreadLst[5], .help = "thread count #6 (def 0)"},
    {.key = "th7=", .ival = &ThreadLst[6], .help = "thread count #7 (def 0)"},
    {.key = "th8=", .ival = &ThreadLst[7], .help = "thread count #8 (def 0)"},
    {.key = "th9=", .ival = &ThreadLst[8], .help = "thread count #9 (def 0)"},
    {.key = "th10=", .ival = &ThreadLst[9], .help = "thread count #10 (def 0)"},
    {.key = "tm=", .ival = &TestTime, .help = "test time in seconds (def 10)"},
    {.key = "off=", .ival = &TestOff, .help = "sectors the write buffer is offset by (def 0)"},
    {.key = "blksz=", .ival = &TestSz, .help = "block size in KB of --test=12 (def 512)"},
    {.key = "min=", .ival = &SzMin, .help = "smallest block size in bytes (def 512)"},
    {.key = "max=", .ival = &SzMax, .help = "largest block size in bytes (def 4 MiB)"},
    {.key = "dupe=", .ival = &DupeMod, .help = "duplicate blocks of the write buffer (def 0)"},
    {.key = "comp=", .ival = &CompRatio, .help = "compressible share of the write buffer (def 0)"},
    {.key = "test=", .ival = &TestNum, .help = "run mode (def 0, the tables)"},
    {.key = "coll=", .ival = &CollRule, .help = "where the workers transfer (def 0)"},
    {.key = "lat", .flag = &lat_opt, .help = "latency percentiles of every table cell"},
    {.key = "json=", .sval = &JsonFile, .help = "results document"},
    {.key = "qd=", .ival = &QueueDepth, .help = "transfers in flight per worker, io_uring (def 1)"},
    {.key = "start-at=", .uval = &StartAtMs, .help = "first window, ms since the epoch"},
    {.key = "mix=", .scan = ScanMix, .help = "mixed tables, per cent of the transfers read"},
    {.key = "rate=", .scan = ScanRate, .help = "transfers per second of a cell (def no limit)"},
    {.letter = 'b', .flag = &b_opt, .help = "buffered I/O, no O_DIRECT"},
    {.letter = 'c', .flag = &c_opt, .help = "clear device"},
    {.letter = 'e', .flag = &e_opt, .help = "do not seed MT PRNG so patterns are repeatable"},
    {.letter = 'f', .flag = &f_opt, .help = "test with .... filled buffer"},
    {.letter = 'h', .flag = &h_opt, .help = "half-random write buffer (not help)"},
    {.letter = 'p', .flag = &p_opt, .help = "refused"},
    {.letter = 'q', .flag = &q_opt, .help = "bypass block fill/test logic"},
    {.letter = 'r', .flag = &r_opt, .help = "test random reads"},
    {.letter = 'u', .flag = &u_opt, .help = "use /dev/urandom instead of MT PRNG for block offsets"},
    {.letter = 'w', .flag = &w_opt, .help = "test random writes"},
    {.letter = 'z', .flag = &z_opt, .help = "test with zero filled buffer"},
};

// Reads the leading decimal digits of s (none: 0). Refuses a number larger
// than max instead of letting it wrap into another value.
uint64_t ScanNumber(const char *s, uint64_t max, const char *arg) {
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    auto d = static_cast<uint64_t>(*s - '0');
    if (v > (max - d) / 10) Fatal("Value out of range: %s\n", arg);
    v = v * 10 + d;
  }
  return v;
}

void ScanRate(const char *val, const char *arg) {
  RateIops = ScanNumber(val, kMaxSizeM, arg);
  if (RateIops == 0) Fatal("Bad %s: at least 1 transfer per second\n", arg);
}

void ScanLong(const char *arg) {
  const char *text = arg + 2;
  for (const Option &o : kOptions) {
    if (o.key == nullptr) continue;
    size_t len = std::strlen(o.key);
    if (std::strncmp(text, o.key, len) != 0) continue;
    const char *val = text + len;
    if (o.scan != nullptr) {
      o.scan(val, arg);
    } else if (o.flag != nullptr) {
      if (*val != '\0') continue;  // "--latx" is no option, as before
      *o.flag = 1;
    } else if (o.sval != nullptr) {
      if (*val == '\0') Fatal("Bad %s: no file name\n", arg);
      *o.sval = val;
    } else if (o.uval != nullptr) {
      *o.uval = ScanNumber(val, kMaxSizeM, arg);
    } else {
      *o.ival = static_cast<int>(ScanNumber(val, INT_MAX, arg));
      if (o.ival == &CollRule) std::printf("CollRule = %d\n", CollRule);
    }
    return;
  }
  usage(1);
}

const Option *FindLetter(char c) {
  for (const Option &o : kOptions)
    if (o.key == nullptr && o.letter == c) return &o;
  return nullptr;
}

void ScanFlags(const char *arg) {
  for (const char *c = arg + 1; *c != '\0'; c++) {
    if (const Option *o = FindLetter(*c)) {
      *o->flag = 1;
    } else if (UnknownLetter == 0) {  // ignored, but a run that writes refuses it
      UnknownLetter = *c;
      UnknownLetterWord = arg;
    }
  }
}

// One line per option, tab-separated, for the docs test:
//   option  --KEY  help     or     letter  -L  help
void ListOptions() {
  for (const Option &o : kOptions) {
    if (o.key != nullptr)
      std::printf("option\t--%s\t%s\n", o.key, o.help);
    else
      std::printf("letter\t-%c\t%s\n", o.letter, o.help);
  }
}

void AddDevice(const char *arg) {
  if (DeviceCnt >= kMaxThreads) Fatal("Too many devices (at most %d)\n", kMaxThreads);
  if (std::strlen(arg) >= kMaxPath) Fatal("Device name too long: %s\n", arg);
  std::strcpy(Devices[DeviceCnt++], arg);
}

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

int MaxThreads() {
  int m = 0;
  for (int t : ThreadLst)
    if (t > m) m = t;
  return m;
}

// The normal run's grid: SzMin, 2 * SzMin, ... up to SzMax.
void CheckGrid() {
  if (SzMin <= 0 || SzMin % kSectorSize != 0 ||
      !IsPowerOfTwo(static_cast<uint64_t>(SzMin / kSectorSize)))
    Fatal("Bad --min=%d: block sizes must be 512 times a power of two\n", SzMin);
  // The grid doubles an int while it does not exceed SzMax; its last step must
  // stay within the int range or the grid would never end.
  if (SzMax > INT_MAX / 2)
    Fatal("Bad --max=%d: at most %d\n", SzMax, INT_MAX / 2);
  if (SzMin > SzMax) Fatal("Bad --min=%d: above --max=%d\n", SzMin, SzMax);
}

// Largest block size of the grid, 0 when the grid is empty.
int LargestBlock() {
  int last = 0;
  for (int64_t b = SzMin; b <= SzMax; b *= 2) last = static_cast<int>(b);
  return last;
}

void CheckTestedSize() {
  int blk = LargestBlock();
  if (blk == 0) return;
  uint64_t n = static_cast<uint64_t>(blk) / kSectorSize;
  uint64_t sectors = DevSizeMiB * (1048576 / kSectorSize);
  int th = MaxThreads();
  bool zoned = CollRule == 1 || CollRule == 2;
  bool fits = zoned ? th == 0 || sectors / n / static_cast<uint64_t>(th) > 0 : sectors >= n;
  if (!fits && zoned)
    Fatal("Bad --size=%llu: too small for %d threads of %d byte blocks\n",
          static_cast<unsigned long long>(DevSizeMiB), th, blk);
  if (!fits) Fatal("Bad --size=%llu: too small for blocks of %d bytes\n",
                   static_cast<unsigned long long>(DevSizeMiB), blk);
}

// The runs that write to a device: the fill, the write table (both implied
// when none of -r, -w and -c is given) and modes 4 to 6 and 10 to 12.
bool RunWrites(const RunFlags &f) {
  bool mix_writes = false;
  for (int p : MixShares) mix_writes = mix_writes || p < 100;
  if (TestNum == kModeTables) return !f.read || f.write || f.fill || mix_writes;
  return IsWriteSampling(TestNum) || TestNum == kModeClear18G || TestNum == kModeClear16G ||
         TestNum == kModeRandWrite16G;
}

// --qd= above 1: the tables only, at positions of their own, and a kernel
// that sets up a ring.
void CheckQueueDepth(const RunFlags &f) {
  if (QueueDepth == 1) return;
  bool fixed = TestNum >= kModeClear18G && TestNum <= kModeRandWrite16G;
  if (IsSamplingMode(TestNum) || fixed)
    Fatal("Bad --qd=%d: --test=%d runs one transfer at a time\n", QueueDepth, TestNum);
  if (TestNum != kModeTables) return;
  if (QueueDepth < 1 || QueueDepth > kMaxQueueDepth)
    Fatal("Bad --qd=%d: 1 to %d\n", QueueDepth, kMaxQueueDepth);
  if (!f.read && !f.write && MixShares.empty()) return;  // the fill alone: nothing in flight
  if (!Positions(CollRule))
    Fatal("Bad --qd=%d: --coll=%d transfers where the descriptor stands, one at a time\n",
          QueueDepth, CollRule);
  // One buffer per transfer in flight, in one allocation.
  if (int64_t{QueueDepth} * LargestBlock() > kMaxInFlight)
    Fatal("Bad --qd=%d: %d transfers of %d bytes exceed %d bytes in flight per worker\n", QueueDepth,
          QueueDepth, LargestBlock(), kMaxInFlight);
  CheckUring(QueueDepth);
}

}  // namespace

bool ParseArgs(int argc, const char *const *argv) {
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    // Whole words only, ahead of the prefix-matched keys: "--helpx" and
    // "--vers" still get the usage text with status 1, and -h stays a flag.
    // --list-options (the table, for the docs test) is in neither text.
    if (std::strcmp(arg, "--help") == 0) {
      // The usage text with the options it does not list, before its closing blank line.
      std::string help = kUsageText;
      help.insert(help.size() - 1, kHelpExtra);
      std::printf("%sSee the manual page vexbench(8) for every option and mode.\n", help.c_str());
      return false;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("vexbench %s\n", XTL_VERSION);
      return false;
    }
    if (std::strcmp(arg, "--list-options") == 0) {
      ListOptions();
      return false;
    }
    if (arg[0] != '-') {
      AddDevice(arg);
    } else if (arg[1] == '-') {
      ScanLong(arg);
    } else {
      ScanFlags(arg);
    }
  }
  return true;
}

RunFlags ResolveRunFlags() {
  // A mixed table that writes needs the devices open for writing.
  bool mix_writes = false;
  for (int p : MixShares) mix_writes = mix_writes || p < 100;
  RunFlags f{r_opt != 0, w_opt != 0, c_opt != 0, false};
  if (!f.read && !f.write) {
    if (!f.fill && MixShares.empty()) return {true, true, true, true};
    f.open_wt = f.fill || mix_writes;
    return f;
  }
  f.open_wt = f.write || f.fill || mix_writes;
  return f;
}

void CheckSettings() {
  if (p_opt) Fatal("Option -p is not supported\n");
  if (e_opt && u_opt) Fatal("Options -e and -u cannot be used together\n");
  if (lat_opt && TestNum != kModeTables) Fatal("Option --lat needs the tables (--test=0)\n");
  if (StartAtMs != kNoStartAt && TestNum != kModeTables)
    Fatal("Option --start-at= needs the tables (--test=0)\n");
  if (!MixShares.empty() && TestNum != kModeTables) Fatal("Option --mix= needs the tables (--test=0)\n");
  if (RateIops != 0 && TestNum != kModeTables) Fatal("Option --rate= needs the tables (--test=0)\n");
  if (!MixShares.empty() && DupeMod != 0)
    Fatal("Options --mix= and --dupe= cannot be used together\n");

  RunFlags f{r_opt != 0, w_opt != 0, c_opt != 0, false};  // resolved below for the tables
  bool bufs = TestNum == kModeTables || IsSamplingMode(TestNum);  // the runs that use AllocBufs
  if (bufs) {
    for (int t : ThreadLst)
      if (t > kMaxThreads) Fatal("Bad thread count %d: at most %d\n", t, kMaxThreads);
    if (CompRatio > kMaxCompRatio) Fatal("Bad --comp=%d: at most %d\n", CompRatio, kMaxCompRatio);
    if (SzMax > INT_MAX / 2) Fatal("Bad --max=%d: at most %d\n", SzMax, INT_MAX / 2);
  }
  if (TestNum == kModeTables) {
    // Without a worker nothing is opened, filled or measured.
    if (MaxThreads() <= 0) Fatal("Bad thread counts: --th1= to --th10= are all 0\n");
    f = ResolveRunFlags();
    const bool mixing = !MixShares.empty();
    if (f.read || f.write || mixing) {
      CheckGrid();
      if (TestTime <= 0) Fatal("Bad --tm=%d: at least 1 second\n", TestTime);
      CheckTestedSize();
    }
    if ((f.read || mixing) && !q_opt && DupeMod == 0 && (CollRule < 0 || CollRule > 2))
      Fatal("Bad --coll=%d: reads can be verified only with 0, 1 or 2 (or -q)\n", CollRule);
    int szbuf = SzMax > kSeqXfer ? SzMax : kSeqXfer;
    if (f.fill && TestOff > szbuf / kSectorSize)
      Fatal("Bad --off=%d: beyond the write buffer of %d sectors\n", TestOff, szbuf / kSectorSize);
  }
  if (TestNum == kModeRandWrite16G && (TestSz <= 0 || TestSz > kMaxTestSzK))
    Fatal("Bad --blksz=%d: 1 to %d KB\n", TestSz, kMaxTestSzK);
  CheckQueueDepth(f);
  // After every older refusal, so that each keeps its message.
  if (UnknownLetter != 0 && RunWrites(f)) {
    auto u = static_cast<unsigned char>(UnknownLetter);
    char letter[8];
    if (std::isgraph(u))
      std::snprintf(letter, sizeof letter, "%c", u);
    else
      std::snprintf(letter, sizeof letter, "\\x%02x", u);
    Fatal("Unknown option letter %s in %s: refused, since this run writes to the device\n", letter,
          UnknownLetterWord.c_str());
  }
  CheckStartAt(StartAtMs, get_ms());  // last: it reads the clock
}
