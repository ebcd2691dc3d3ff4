// SPDX-License-Identifier: Apache-2.0
// Log scan and listing over an arbitrary log image held in memory: no device,
// no temp file. The image is the log device byte for byte. Each input's scan
// is also checked against the scan rules applied literally (RefScan below),
// one sector at a time; a difference stops the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fatal.h"
#include "log/logscan.h"

namespace {

// What the literal rules give: whether the scan succeeds (a bad newest
// control sector or a read below sector 0 fails it), the chain lengths and
// each segment's first data sector, oldest first.
struct RefResult {
  bool ok = true;
  std::vector<int64_t> sec;
  int64_t cnt = 0, cnt2 = 0;
};

class RefImage {
 public:
  RefImage(const uint8_t *data, size_t size)
      : data_(data), n_(static_cast<int64_t>(size / kSectorSize)) {}
  int64_t Count() const { return n_; }
  bool Read(int64_t s, LOG_TAIL &lt) const {
    if (s < 0 || s >= n_) return false;
    std::memcpy(&lt, data_ + static_cast<size_t>(s) * kSectorSize, sizeof lt);
    return true;
  }

 private:
  const uint8_t *data_;
  int64_t n_;
};

int64_t RefBelow(int64_t s, const LOG_TAIL &lt) { return s - (lt.NumSectors.get() + 1); }

// Whether a chain with consecutive seq leads from t down to exactly sector 0,
// whose seq is one below the chain's oldest; its length in *count.
bool RefLeadsToZero(const RefImage &img, int64_t t, int64_t *count) {
  LOG_TAIL h{};
  img.Read(t, h);
  if (!ValidateLt(h, 0)) return false;
  int64_t c = 1;
  uint64_t e = h.seq.get();
  int64_t p = RefBelow(t, h);
  while (p > 0) {
    img.Read(p, h);
    if (!ValidateLt(h, 0) || h.seq.get() != --e) return false;
    p = RefBelow(p, h);
    c++;
  }
  LOG_TAIL z{};
  img.Read(0, z);
  if (p != 0 || z.seq.get() != e - 1) return false;
  *count = c;
  return true;
}

// Appends k segments, newest control sector at s, oldest first.
void RefFill(const RefImage &img, int64_t s, int64_t k, std::vector<int64_t> &out) {
  std::vector<int64_t> v;
  LOG_TAIL lt{};
  for (; k > 0; k--) {
    img.Read(s, lt);
    v.push_back(s - lt.NumSectors.get());
    s = RefBelow(s, lt);
  }
  out.insert(out.end(), v.rbegin(), v.rend());
}

RefResult RefScan(const RefImage &img) {
  RefResult r;
  LOG_TAIL lt{};
  int64_t tail = img.Count() - 1;
  for (; tail >= 0; tail--) {
    img.Read(tail, lt);
    if (std::memcmp(lt.Str, "XTL-LOG 1.0", 12) == 0) break;
  }
  if (tail < 0) return r;
  if (!ValidateLt(lt, 0)) return {false, {}, 0, 0};
  r.cnt = 1;
  uint64_t exp = lt.seq.get();
  int64_t cur = tail, failed = -1;
  while (cur > 1) {
    const int64_t c = RefBelow(cur, lt);
    LOG_TAIL p{};
    if (!img.Read(c, p)) return {false, {}, 0, 0};
    if (!ValidateLt(p, 0) || p.seq.get() != --exp) {
      failed = c;
      break;
    }
    cur = c;
    lt = p;
    r.cnt++;
  }
  int64_t tail2 = -1;
  for (int64_t t = failed; t >= 2 && tail2 < 0; t--)
    if (RefLeadsToZero(img, t, &r.cnt2)) tail2 = t;
  RefFill(img, tail, r.cnt, r.sec);
  RefFill(img, tail2, r.cnt2, r.sec);
  return r;
}

[[noreturn]] void Differs(const char *what) {
  std::fprintf(stderr, "log scan and literal rules differ: %s\n", what);
  std::abort();
}

// The scan's outcome against the literal rules'. Only the seam check, which
// the rules above leave out, may fail a scan they accept.
void CheckAgainstRef(const uint8_t *data, size_t size, const LogList *log, const char *err) {
  const RefResult ref = RefScan(RefImage(data, size));
  if (!ref.ok) {
    if (log != nullptr) Differs("the scan succeeds where it must fail");
    return;
  }
  if (log == nullptr) {
    if (std::strncmp(err, "Log is inconsistent:", 20) != 0) Differs(err);
    return;
  }
  if (log->log_cnt != ref.cnt) Differs("first chain length");
  if (log->log_cnt2 != ref.cnt2) Differs("second chain length");
  if (log->LtSec != ref.sec) Differs("segment sectors");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The scan reads every sector at least once; keep one input's work bounded.
  if (size > (size_t{4} << 20)) return 0;
  // The literal second-chain search walks each candidate's whole chain, so
  // large images are checked against it only up to 512 sectors.
  const bool ref = size <= (size_t{256} << 10);
  static FILE *sink = std::fopen("/dev/null", "w");
  try {
    MemLogSectors src(data, size);
    const LogList log = ScanLogSectors(src);
    PrintLogSummary(sink, log);
    DispLog(sink, log);
    if (ref) CheckAgainstRef(data, size, &log, nullptr);
  } catch (const FatalError &e) {
    if (ref) CheckAgainstRef(data, size, nullptr, e.text.c_str());
  }
  return 0;
}
