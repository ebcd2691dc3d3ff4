// SPDX-License-Identifier: Apache-2.0
// Log scan and listing over log images held in memory and in files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "log/logscan.h"
#include "log_builders.h"
#include "test_util.h"

namespace {

using logimg::Ent;
using logimg::LogImage;

struct ScanOut {
  int status = 0;
  std::string err;      // the fatal message (all scan failures go to stderr)
  std::string summary;  // PrintLogSummary
  std::string disp;     // DispLog
};

LogList last;  // the list of the last Scan

ScanOut Scan(LogSectors &src) {
  ScanOut o;
  last = LogList{};
  try {
    last = ScanLogSectors(src);
    o.summary = Capture([](FILE *f) { PrintLogSummary(f, last); });
    o.disp = Capture([](FILE *f) { DispLog(f, last); });
  } catch (const FatalError &e) {
    o.status = e.status;
    EXPECT_TRUE(e.to_stderr) << e.text;
    o.err = e.text;
  }
  return o;
}

ScanOut Scan(const std::vector<uint8_t> &bytes) {
  MemLogSectors src(bytes.data(), bytes.size());
  return Scan(src);
}

std::vector<uint64_t> Seqs() {
  std::vector<uint64_t> s;
  for (const LOG_TAIL &lt : last.LtLst) s.push_back(lt.seq.get());
  return s;
}

TEST(LogScan, WrappedExampleOf64Sectors) {
  ScanOut o = Scan(logimg::Wrapped64().bytes);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.summary, LogValid(6, 4, 2, 12, 54));
  EXPECT_EQ(last.LtSec, (std::vector<int64_t>{21, 31, 41, 51, 1, 11}));
  EXPECT_EQ(Seqs(), (std::vector<uint64_t>{3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(last.tail_sector, 60);
  EXPECT_EQ(last.head_sector, 30);
  EXPECT_EQ(last.tail2_sector, 20);
  EXPECT_EQ(o.disp, support::ExpectedText("log-disp-wrapped64.txt"));
}

TEST(LogScan, EmptyLogs) {
  // A cleared device, a device too small for a sector, and one whose only
  // control sectors have no entries: all report empty and list nothing.
  LogImage zero(32);
  EXPECT_EQ(Scan(zero.bytes).summary, kLogEmpty);
  EXPECT_EQ(last.log_segments, 0);
  EXPECT_EQ(Scan(std::vector<uint8_t>(100)).summary, kLogEmpty);

  LogImage img(32);
  img.Segment(5, 40, {});
  img.Segment(6, 41, {});
  ScanOut o = Scan(img.bytes);
  EXPECT_EQ(o.summary, kLogEmpty);
  EXPECT_EQ(o.disp, "");
  EXPECT_EQ(last.log_segments, 2);
}

TEST(LogScan, UnwrappedLogHeadsAtSectorZero) {
  LogImage img(40);
  img.Segment(0, 9, {});  // sector 0: a valid, empty control sector
  img.Segment(3, 10, {{7, 2, 0}, {8, 0, 1}});
  img.Segment(8, 11, {{20, 4, 0}});
  ScanOut o = Scan(img.bytes);
  EXPECT_EQ(o.summary, LogValid(3, 3, 0, 3, 6));
  EXPECT_EQ(last.head_sector, 0);
  EXPECT_EQ(last.LtSec, (std::vector<int64_t>{0, 1, 4}));
  EXPECT_EQ(o.disp,
            "   1         10          1          7    2 0\n"
            "                        1          8    0 1\n"
            "   2         11          4         20    4 0\n");
}

TEST(LogScan, BadNewestControlSectorIsFatal) {
  struct Case {
    const char *name;
    void (*damage)(LOG_TAIL &);
    const char *msg;
  } cases[] = {
      {"entry count", [](LOG_TAIL &lt) { lt.NumEntries.set(3); },
       "Control sector is bad XTL-LOG 1.0 2/3  6/6\n"},
      {"sector sum", [](LOG_TAIL &lt) { lt.NumSectors.set(7); },
       "Control sector is bad XTL-LOG 1.0 2/2  6/7\n"},
      {"zero entry hides the rest", [](LOG_TAIL &lt) { lt.le[0].v.set(0); },
       "Control sector is bad XTL-LOG 1.0 0/2  0/6\n"},
  };
  for (const Case &c : cases) {
    LogImage img(32);
    img.Segment(10, 1, {{100, 2, 0}, {200, 4, 1}});
    img.Segment(20, 2, {{100, 2, 0}, {200, 4, 1}, {300, 3, 2}});
    LOG_TAIL lt = logimg::MakeTail(2, {{100, 2, 0}, {200, 4, 1}});
    c.damage(lt);
    img.PutTail(20, lt);
    ScanOut o = Scan(img.bytes);
    EXPECT_EQ(o.status, 1) << c.name;
    EXPECT_EQ(o.err, c.msg) << c.name;
  }
}

TEST(LogScan, ValidateLtRules) {
  std::vector<Ent> full;
  for (uint32_t j = 0; j < 56; j++) full.push_back({j + 1, 1, j % 3});
  LOG_TAIL lt56 = logimg::MakeTail(5, full);
  EXPECT_EQ(ValidateLt(lt56, 0), 1);  // 56 entries and no more
  LOG_TAIL lt57 = lt56;
  lt57.NumEntries.set(57);
  EXPECT_EQ(ValidateLt(lt57, 0), 0);
  if (auto e = Thrown<FatalError>([&] { ValidateLt(lt57, 1); })) {
    EXPECT_EQ(e->text, "Control sector is bad XTL-LOG 1.0 56/57  56/56\n");
  }

  LOG_TAIL lt = logimg::MakeTail(5, {{1, 3, 0}, {2, 4, 0}});
  LOG_TAIL after = lt;
  after.le[3].Set(99, 7, 0);  // after the first zero entry: ignored
  EXPECT_EQ(ValidateLt(after, 0), 1);
  LOG_TAIL pad = lt;
  pad.pad[2].set(0xdeadbeef);
  std::memset(pad.Str + 12, 'z', 20);  // bytes past the identifier are ignored
  EXPECT_EQ(ValidateLt(pad, 0), 1);
  LOG_TAIL noterm = lt;
  noterm.Str[11] = '!';
  EXPECT_EQ(ValidateLt(noterm, 0), 0);
  LOG_TAIL other = lt;
  other.Str[4] = 'X';
  EXPECT_EQ(ValidateLt(other, 0), 0);
  EXPECT_EQ(ValidateLt(logimg::MakeTail(0, {}), 0), 1);  // an empty segment
}

TEST(LogScan, EntryFieldsUseAllTheirBits) {
  // Sector counts of 2048 and more need bit 59; the target all 48 low bits.
  LogImage img(4801);
  LOG_TAIL lt = logimg::MakeTail(9, {{0xfedcba987654, 2748, 1}, {7, 2048, 2}});
  EXPECT_EQ(lt.le[0].v.get(), 0x1abcfedcba987654u);
  img.PutTail(4800, lt);
  ScanOut o = Scan(img.bytes);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.disp,
            "   0          9          4 280223976814164 2748 1\n"
            "                        4          7 2048 2\n");
}

TEST(LogScan, FiftySixEntrySegments) {
  LogImage img(400);
  std::vector<Ent> a, b;
  for (uint32_t j = 0; j < 56; j++) {
    a.push_back({1000 + j, 2, 0});
    b.push_back({5000 + j, 1, j % 3});
  }
  img.Segment(113, 1, a);  // data from sector 1, as a log that never wrapped
  img.Segment(170, 2, b);
  ScanOut o = Scan(img.bytes);
  EXPECT_EQ(o.summary, LogValid(2, 2, 0, 112, 168));
  EXPECT_EQ(last.LtSec, (std::vector<int64_t>{1, 114}));
  EXPECT_EQ(std::count(o.disp.begin(), o.disp.end(), '\n'), 112);
}

TEST(LogScan, PartialLastSectorIsIgnored) {
  LogImage img(32);
  img.Segment(10, 3, {{7, 4, 0}});
  std::vector<uint8_t> bytes = img.bytes;
  // 500 bytes past the last whole sector, with the identifier at offset 480.
  LOG_TAIL ghost = logimg::MakeTail(99, {});
  bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&ghost),
               reinterpret_cast<uint8_t *>(&ghost) + 500);
  ScanOut o = Scan(bytes);
  EXPECT_EQ(o.summary, LogValid(1, 1, 0, 1, 4));
  EXPECT_EQ(last.tail_sector, 10);
}

TEST(LogScan, InconsistentSeamIsFatal) {
  // Second chain seq 20, 21 leading to sector 0 (seq 19), but the first chain
  // ends at seq 6: the seam between 6 and 20 breaks.
  LogImage img(64);
  for (uint64_t seq = 3; seq <= 6; seq++) img.Segment(static_cast<int64_t>(seq) * 10, seq, logimg::WrapEntries(seq));
  img.WrapMark(19);
  img.Segment(10, 20, logimg::WrapEntries(20));
  img.Segment(20, 21, logimg::WrapEntries(21));
  ScanOut o = Scan(img.bytes);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Log is inconsistent:  4 6 20\n");
}

TEST(LogScan, SecondChainMustEndExactlyAtSectorZero) {
  // Above the first chain's failed candidate (sector 30, garbage) lie
  // candidates whose chains miss sector 0 or meet the wrong seq there; the
  // search goes on downward to the one that leads to sector 0 properly.
  LogImage img(100);
  for (uint64_t seq = 5; seq <= 8; seq++)
    img.Segment(40 + static_cast<int64_t>(seq - 5) * 10, seq, logimg::WrapEntries(seq));
  // First chain: 40 (seq 5) .. 70 (seq 8); 40 - 10 = 30 is the failed candidate.
  img.WrapMark(8);
  img.Segment(5, 9, {{1, 4, 0}});     // 0 + 1 .. 4 data, ctl 5: leads to 0, seq 9
  img.Segment(12, 10, {{2, 6, 0}});   // ctl 12 -> 5 -> 0
  // Sector 30 leads to 27 -> ... below 0: rejected. Sector 29 is valid but its
  // chain meets sector 12 with the wrong seq. Sector 25 is valid and leads to
  // 12 with the right seq.
  img.Segment(30, 50, {{3, 2, 0}});   // -> 27 (data): invalid, rejected
  img.Segment(29, 60, {{4, 16, 0}});  // -> 12 with seq 10, not 59: rejected
  img.Segment(25, 11, {{5, 12, 0}});  // -> 12 (seq 10) -> 5 -> 0 (seq 8): accepted
  ScanOut o = Scan(img.bytes);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(last.tail2_sector, 25);
  EXPECT_EQ(o.summary, LogValid(7, 4, 3, 11, 58));
  EXPECT_EQ(last.LtSec, (std::vector<int64_t>{31, 41, 51, 61, 1, 6, 13}));

  // The same log whose sector 0 carries another seq: no second chain
  // anywhere, so the list is the first chain alone.
  img.WrapMark(3);
  o = Scan(img.bytes);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(last.log_cnt2, 0);
  EXPECT_EQ(o.summary, LogValid(4, 4, 0, 8, 36));
}

TEST(LogScan, CorruptCountsEndInTheReadMessage) {
  // A valid control sector whose data would start below sector 0: the walk's
  // next candidate is negative and its read fails.
  LogImage img(32);
  img.Segment(5, 7, {{1, 100, 1}});
  ScanOut o = Scan(img.bytes);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Error reading sector -96  res = -1  errno = 22\n");

  // Huge counts cannot make a control sector valid (56 entries of 4095 at
  // most), and an invalid one only ends a chain.
  LogImage img2(32);
  img2.Segment(10, 3, {{1, 4, 0}});
  LOG_TAIL huge = logimg::MakeTail(4, {{1, 4095, 0}});
  huge.NumSectors.set(0xffffffff);
  img2.PutTail(5, huge);
  o = Scan(img2.bytes);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.summary, LogValid(1, 1, 0, 1, 4));
}

// A source that can refuse bulk reads and fail one chosen sector, to check
// that piecewise reading gives the results of sector-by-sector reading.
class FlakySectors : public LogSectors {
 public:
  FlakySectors(const std::vector<uint8_t> &b, bool bulk, int64_t bad) : mem_(b.data(), b.size()), bulk_(bulk), bad_(bad) {}
  int64_t Count() const override { return mem_.Count(); }
  ssize_t ReadOne(int64_t s, uint8_t *out) override {
    reads++;
    sectors++;
    if (s == bad_) {
      errno = EIO;
      return -1;
    }
    return mem_.ReadOne(s, out);
  }
  bool ReadMany(int64_t first, int64_t n, uint8_t *out) override {
    bulk_reads++;
    if (!bulk_ || (bad_ >= first && bad_ < first + n)) return false;
    sectors += n;
    return mem_.ReadMany(first, n, out);
  }
  int reads = 0, bulk_reads = 0;
  int64_t sectors = 0;  // sectors transferred

 private:
  MemLogSectors mem_;
  bool bulk_;
  int64_t bad_;
};

TEST(LogScan, PiecewiseReadingKeepsSectorResults) {
  // A large log whose segments lie near its start.
  LogImage img(20000);
  img.Segment(10, 1, {{100, 9, 0}});
  img.Segment(15, 2, {{200, 4, 0}});
  FlakySectors bulk(img.bytes, true, -1000);
  ScanOut a = Scan(bulk);
  EXPECT_LT(bulk.bulk_reads, 100);  // the search reads pieces (79 of 128 KiB), not sectors
  FlakySectors single(img.bytes, false, -1000);
  ScanOut b = Scan(single);
  EXPECT_EQ(a.summary, LogValid(2, 2, 0, 2, 13));
  EXPECT_EQ(a.summary, b.summary);
  EXPECT_EQ(a.disp, b.disp);

  // An I/O error at sector 12345 stops the search there, with that sector's message.
  FlakySectors bad(img.bytes, true, 12345);
  ScanOut c = Scan(bad);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "Error reading sector 12345  res = -1  errno = 5\n");
}

TEST(LogScan, FarJumpingCandidatesCostLittleReading) {
  // Every sector a valid control sector whose predecessor lies a varying,
  // long way below and carries the wrong seq: each second-chain candidate
  // needs one read far away. Those reads must stay small.
  const int64_t n = 16384;
  LogImage img(n);
  for (int64_t t = 1; t < n; t++) {
    const auto cnt = static_cast<uint32_t>((t * 7919) % 4000 + 1);
    img.PutTail(t, logimg::MakeTail(static_cast<uint64_t>(t) * 3, {{1, cnt, 1}}));
  }
  FlakySectors src(img.bytes, true, -1000);
  ScanOut o = Scan(src);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.summary, LogValid(1, 1, 0, 1, 978));  // the newest alone
  EXPECT_LT(src.sectors, 64 * n) << "reads " << src.reads << " pieces " << src.bulk_reads;
}

TEST(LogScan, FileAndMemoryScansAgree) {
  ScratchDir dir;
  LogImage img = logimg::Wrapped64();
  std::vector<uint8_t> bytes(8 << 20);  // 8 MiB, the log in its first 64 sectors
  std::copy(img.bytes.begin(), img.bytes.end(), bytes.begin());
  const std::string path = dir.File("xtl.log");
  MakeSparse(path, bytes.size());
  WriteAt(path, 0, img.bytes.data(), img.bytes.size());
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  FileLogSectors file(fd, bytes.size());
  ScanOut f = Scan(file);
  close(fd);
  ScanOut m = Scan(bytes);
  EXPECT_EQ(f.summary, LogValid(6, 4, 2, 12, 54));
  EXPECT_EQ(f.summary, m.summary);
  EXPECT_EQ(f.disp, m.disp);
}

}  // namespace
