// SPDX-License-Identifier: Apache-2.0
// Log scan: finds the newest control sector, walks the first chain backward,
// looks for a second chain after a wrap, checks the seam, and lists the
// segments. Works on any LogSectors source: the temp file or an image in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "fatal.h"
#include "log/logscan.h"

namespace {

// Sectors read per piece by the two sector-by-sector searches (the newest
// control sector, the second chain's newest): they may cross most of a large
// temp file. A piece stays in the processor's cache between the read that
// fills it and the look at each sector; 128 KiB read fastest when measured
// (notes/log.md), 1 MiB ran at a third of cat's speed on tmpfs. Walks along a
// chain jump by whole segments and read small pieces, so a crafted log of far
// jumps costs no more than one small read per step.
constexpr int64_t kSearchWindow = 256;  // 128 KiB
constexpr int64_t kWalkWindow = 16;      // 8 KiB

[[noreturn]] void SectorReadFailed(int64_t sector, ssize_t res, int err) {
  FatalErr("Error reading sector %lld  res = %d  errno = %d\n", static_cast<long long>(sector),
           static_cast<int>(res), err);
}

// Serves sectors from a window read in one piece that ends at the sector
// asked for, so backward walks cost one read per window. The results are those
// of reading each sector alone: a failed piece falls back to single-sector
// reads, which give the exact failure of the sector asked for.
class SectorCache {
 public:
  SectorCache(LogSectors &src, int64_t window) : src_(src), size_(window) {}

  const uint8_t *Get(int64_t sector) {
    if (sector >= first_ && sector < first_ + count_) return window_.data() + Offset(sector);
    if (bulk_ && sector >= 0 && sector < src_.Count()) {
      const int64_t first = std::max<int64_t>(0, sector - size_ + 1);
      const int64_t n = sector - first + 1;
      if (window_.empty())
        window_.resize(static_cast<size_t>(std::min(size_, src_.Count())) * kSectorSize);
      if (src_.ReadMany(first, n, window_.data())) {
        first_ = first;
        count_ = n;
        return window_.data() + Offset(sector);
      }
      bulk_ = false;  // an I/O error somewhere: read sector by sector from now on
      count_ = 0;
    }
    errno = 0;
    const ssize_t res = src_.ReadOne(sector, one_);
    if (res != static_cast<ssize_t>(kSectorSize)) SectorReadFailed(sector, res, errno);
    return one_;
  }

  LOG_TAIL Tail(int64_t sector) {
    LOG_TAIL lt;
    std::memcpy(&lt, Get(sector), sizeof lt);
    return lt;
  }

 private:
  size_t Offset(int64_t sector) const { return static_cast<size_t>(sector - first_) * kSectorSize; }

  LogSectors &src_;
  int64_t size_;  // sectors per piece
  std::vector<uint8_t> window_;
  int64_t first_ = 0;
  int64_t count_ = 0;
  bool bulk_ = true;
  uint8_t one_[kSectorSize] = {};
};

bool HasLogId(const uint8_t *sector) {
  return std::memcmp(sector + offsetof(LOG_TAIL, Str), kLogId, sizeof kLogId) == 0;
}

// Sector below a segment whose control sector is s: its predecessor's control sector.
int64_t Below(int64_t s, const LOG_TAIL &lt) {
  return s - (static_cast<int64_t>(lt.NumSectors.get()) + 1);
}

// The second-chain test of candidate t: a chain of valid control sectors with
// consecutive seq that leads from t down to exactly sector 0, whose seq is one
// below the chain's oldest. Sets log.log_cnt2. Sectors met on a failed walk are
// remembered in dead: any later walk that reaches one of them (with the seq it
// expects) fails the same way, so each sector is walked over at most once.
int ScanHead(SectorCache &search, SectorCache &walk, int64_t t, std::vector<bool> &dead,
             LogList &log) {
  log.log_cnt2 = 0;
  LOG_TAIL lt = search.Tail(t);
  if (ValidateLt(lt, 0) == 0) return 0;
  if (dead[static_cast<size_t>(t)]) return 0;
  std::vector<int64_t> walked{t};
  auto fail = [&]() {
    for (int64_t s : walked) dead[static_cast<size_t>(s)] = true;
    return 0;
  };
  log.log_cnt2 = 1;
  uint64_t expect = lt.seq.get();
  int64_t p = Below(t, lt);
  while (p > 0) {
    lt = walk.Tail(p);
    if (ValidateLt(lt, 0) == 0) return fail();
    expect--;
    if (lt.seq.get() != expect) return fail();
    if (dead[static_cast<size_t>(p)]) return fail();
    walked.push_back(p);
    p = Below(p, lt);
    log.log_cnt2++;
  }
  if (p != 0) return fail();
  if (walk.Tail(0).seq.get() != expect - 1) return fail();
  return 1;
}

// Appends count segments, newest control sector at s, to the list oldest first.
void FillChain(SectorCache &cache, int64_t s, int64_t count, LogList &log) {
  std::vector<LOG_TAIL> &lst = log.LtLst;
  std::vector<int64_t> &sec = log.LtSec;
  const size_t base = lst.size();
  lst.resize(base + static_cast<size_t>(count));
  sec.resize(base + static_cast<size_t>(count));
  for (int64_t k = count - 1; k >= 0; k--) {
    LOG_TAIL lt = cache.Tail(s);
    const auto idx = base + static_cast<size_t>(k);
    lst[idx] = lt;
    sec[idx] = s - static_cast<int64_t>(lt.NumSectors.get());
    s = Below(s, lt);
    log.log_blocks += lt.NumEntries.get();
    log.log_sectors += lt.NumSectors.get();
  }
}

}  // namespace

int ValidateLt(const LOG_TAIL &lt, int ExitFlg) {
  int cnt = 0;
  uint64_t sum = 0;
  while (cnt < kLogEntMax && lt.le[cnt].v.get() != 0) {
    sum += lt.le[cnt].SectorCnt();
    cnt++;
  }
  const bool id = std::memcmp(lt.Str, kLogId, sizeof kLogId) == 0;
  if (static_cast<uint32_t>(cnt) == lt.NumEntries.get() && sum == lt.NumSectors.get() && id)
    return 1;
  if (ExitFlg == 0) return 0;
  FatalErr("Control sector is bad %.*s %d/%d  %d/%d\n",
           static_cast<int>(strnlen(lt.Str, sizeof lt.Str)), lt.Str, cnt,
           static_cast<int>(lt.NumEntries.get()), static_cast<int>(sum),
           static_cast<int>(lt.NumSectors.get()));
}

namespace {

// The newest control sector: the highest sector carrying the identifier; -1
// when there is none (an empty log).
int64_t FindNewestTail(SectorCache &search, int64_t count) {
  int64_t tail = count - 1;
  while (tail >= 0 && !HasLogId(search.Get(tail))) tail--;
  return tail;
}

// The first chain, walked backward from the newest control sector lt while
// the control sectors stay valid and their seq values consecutive. Sets
// head_sector and log_cnt; returns the candidate that ended the walk on a
// check, or -1 when the walk reached sector 1 or 0.
int64_t WalkFirstChain(SectorCache &walk, LOG_TAIL lt, LogList &log) {
  log.log_cnt = 1;
  uint64_t expect = lt.seq.get();
  int64_t current = log.tail_sector;
  while (current > 1) {
    const int64_t cand = Below(current, lt);
    LOG_TAIL prev = walk.Tail(cand);  // below sector 0 this fails the read
    if (ValidateLt(prev, 0) == 0) return cand;
    expect--;
    if (prev.seq.get() != expect) return cand;
    log.head_sector = current = cand;
    lt = prev;
    log.log_cnt++;
  }
  return -1;
}

// The second chain: the highest sector from the failed candidate down to 2
// from which a chain leads to exactly sector 0. Sets tail2_sector and
// log_cnt2 (0 when there is none).
void FindSecondChain(SectorCache &search, SectorCache &walk, int64_t failed, LogList &log) {
  log.log_cnt2 = 0;
  if (failed < 2) return;
  std::vector<bool> dead(static_cast<size_t>(failed) + 1);
  for (int64_t t = failed; t >= 2; t--) {
    if (ScanHead(search, walk, t, dead, log) == 1) {
      log.tail2_sector = t;
      return;
    }
  }
  log.log_cnt2 = 0;
}

// The list, oldest first: the first chain, then the second.
void FillList(SectorCache &walk, LogList &log) {
  const int64_t cnt = log.log_cnt, cnt2 = log.log_cnt2;
  log.LtLst.reserve(static_cast<size_t>(cnt + cnt2));
  log.LtSec.reserve(static_cast<size_t>(cnt + cnt2));
  log.log_segments = cnt + cnt2;
  FillChain(walk, log.tail_sector, cnt, log);
  if (cnt2 > 0) FillChain(walk, log.tail2_sector, cnt2, log);
}

// Within a chain the seq values follow by construction; the seam between
// the newest of the first chain and the oldest of the second may not.
void CheckSeam(const LogList &log) {
  const std::vector<LOG_TAIL> &LtLst = log.LtLst;
  for (size_t i = 1; i < LtLst.size(); i++) {
    if (LtLst[i].seq.get() != LtLst[i - 1].seq.get() + 1)
      FatalErr("Log is inconsistent:  %d %lld %lld\n", static_cast<int>(i),
               static_cast<long long>(LtLst[i - 1].seq.get()),
               static_cast<long long>(LtLst[i].seq.get()));
  }
}

void ScanSectors(LogSectors &src, LogList &log) {
  SectorCache search(src, kSearchWindow);
  SectorCache walk(src, kWalkWindow);
  const int64_t tail = FindNewestTail(search, src.Count());
  if (tail < 0) return;
  log.tail_sector = log.head_sector = tail;
  const LOG_TAIL lt = search.Tail(tail);
  ValidateLt(lt, 1);
  FindSecondChain(search, walk, WalkFirstChain(walk, lt, log), log);
  FillList(walk, log);
  CheckSeam(log);
}

}  // namespace

LogList ScanLogSectors(LogSectors &src) {
  LogList log;
  try {
    ScanSectors(src, log);
  } catch (const std::bad_alloc &) {
    FatalErr("Error allocating memory.\n");
  }
  return log;
}

void PrintLogSummary(FILE *out, const LogList &log) {
  if (log.log_blocks == 0) {
    std::fprintf(out, "    Log appears to be empty.\n");
    return;
  }
  std::fprintf(out, "    Log appears to be valid.\n");
  std::fprintf(out, "      num segments = %lld  (%lld/%lld)\n", static_cast<long long>(log.log_segments),
               static_cast<long long>(log.log_cnt), static_cast<long long>(log.log_cnt2));
  std::fprintf(out, "      num blocks   = %lld\n", static_cast<long long>(log.log_blocks));
  std::fprintf(out, "      num sectors  = %lld\n", static_cast<long long>(log.log_sectors));
}

LogList ScanLogFile() {
  auto tmp = std::make_shared<LogTmpFile>(OpenLogTmpFile());
  FileLogSectors src(tmp->fd.fh, tmp->size);
  LogList log = ScanLogSectors(src);
  log.source = std::move(tmp);  // the post reads this handle, not the path again
  return log;
}

LogList ScanLog() {
  LogList log = ScanLogFile();
  PrintLogSummary(stdout, log);
  return log;
}

void DispLog(FILE *out, const LogList &log) {
  const std::vector<int64_t> &LtSec = log.LtSec;
  for (size_t i = 0; i < log.LtLst.size(); i++) {
    const LOG_TAIL &lt = log.LtLst[i];
    const uint32_t n = std::min<uint32_t>(lt.NumEntries.get(), kLogEntMax);
    for (uint32_t j = 0; j < n; j++) {
      const LOG_ENT &e = lt.le[j];
      if (j == 0)
        std::fprintf(out, "%4d %10lld %10lld %10lld %4d %1d\n", static_cast<int>(i),
                     static_cast<long long>(lt.seq.get()), static_cast<long long>(LtSec[i]),
                     static_cast<long long>(e.TargetSector()), static_cast<int>(e.SectorCnt()),
                     static_cast<int>(e.EntryTp()));
      else
        std::fprintf(out, "               %10lld %10lld %4d %1d\n",
                     static_cast<long long>(LtSec[i]), static_cast<long long>(e.TargetSector()),
                     static_cast<int>(e.SectorCnt()), static_cast<int>(e.EntryTp()));
    }
  }
}

void DispLog(const LogList &log) { DispLog(stdout, log); }
