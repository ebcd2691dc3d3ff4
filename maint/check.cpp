// SPDX-License-Identifier: Apache-2.0
// The check command: the header rules (check_hdr.cpp), then the write-block
// walk with a visitor that gives each write block its verdict, then the
// report (check_report.cpp).
#include "check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <optional>

#include "check_hdr.h"
#include "check_report.h"
#include "fatal.h"
#include "probe.h"
#include "progress.h"
#include "readq.h"
#include "walkq.h"
#include "wtblk.h"

namespace {

// The verdicts of one write block: never written (its first block carries
// another signature), sound, or damaged (any problem on the way). The walk
// ends where the dump ends, except that a segment of a wrong size ends it
// before any of its further blocks is read. Problems go to the list given,
// and every block read is counted.
class Verdicts : public QueuedVisitor {
 public:
  enum class Verdict { NeverWritten, Sound, Damaged };

  Verdicts(const CheckDev &dev, const DevHdrBuf &hdr, std::vector<CheckProblem> &problems,
           uint64_t &blocks_read)
      : dev_(dev), hdr_(hdr), problems_(problems), blocks_read_(blocks_read) {}
  // Before a write block's walk, and its verdict after it.
  void Begin() {
    before_ = problems_.size();
    never_ = false;
  }
  Verdict Result() const {
    if (never_) return Verdict::NeverWritten;
    return problems_.size() > before_ ? Verdict::Damaged : Verdict::Sound;
  }
  Verdict WtBlk(uint64_t t) {
    Begin();
    WalkWtBlk(hdr_.h_20x, t, *this);
    return Result();
  }

  // The byte offset of the block at `at`, counted as read; a block that does
  // not lie inside the device is reported instead (false).
  bool Locate(const WtBlkAt &at, uint64_t *byte) override {
    if (!WtBlkByte(hdr_.h_20x, at.pba, byte) || *byte > dev_.size ||
        dev_.size - *byte < kBlockSize) {
      Problem(at, at.pba, CheckCode::WtBlkBeyondDevice,
              "a block inside the device of " + Dec(dev_.size) + " bytes", "beyond the device end");
      return false;
    }
    blocks_read_++;
    return true;
  }
  const uint8_t *Read(const WtBlkAt &at) override {
    uint64_t byte = 0;
    return Locate(at, &byte) ? dev_.read(byte, dev_.ctx) : nullptr;
  }
  void Head(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *blk,
            const SegShape &) override {
    VerifySum(at, h, blk);
  }
  void Meta(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *blk) override {
    VerifySum(at, h, blk);
  }
  void End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &s) override;

 private:
  const CheckDev &dev_;
  const DevHdrBuf &hdr_;
  std::vector<CheckProblem> &problems_;
  uint64_t &blocks_read_;
  size_t before_ = 0;
  bool never_ = false;

  void Problem(const WtBlkAt &at, uint64_t pba, CheckCode code, std::string expected,
               std::string found) {
    problems_.push_back(
        {-1, at.wtblk, at.off0, pba, code, 0, std::move(expected), std::move(found)});
  }
  void VerifySum(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *blk) {
    const uint64_t sum = BlkHdrChecksum(blk);
    if (sum != h.mm3_64.get())
      Problem(at, at.pba, CheckCode::WtBlkMm3_64, HexNum(sum), HexNum(h.mm3_64.get()));
  }
};

void Verdicts::End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &s) {
  const uint64_t head = at.wtblk * hdr_.h_20x.ClusterSize.get() + at.off0;
  switch (why) {
    case WalkEnd::HeadMismatch:
      // The first segment not written by this instance: the write block
      // was never written, or was written this far.
      never_ = at.off0 == 0;
      break;
    case WalkEnd::MetaMismatch:  // a torn segment
      Problem(at, at.pba, CheckCode::TornSegment, HexBytes(hdr_.h_20x.Str, 32),
              HexBytes(h.Str, 32));
      break;
    case WalkEnd::Empty:
      Problem(at, head, CheckCode::EmptySegment, "at least 1", "0");
      break;
    case WalkEnd::Overrun:
      Problem(at, head, CheckCode::SegmentOverrun,
              "at most " + Dec(at.rest) + " (the rest of the write block)", Dec(s.Blocks()));
      break;
    case WalkEnd::Full:
    case WalkEnd::Unread:
      break;
  }
}

// The write blocks to walk: the range given, refused when it does not fit.
void TakeRange(const CheckRange &range, CheckReport &r) {
  const uint64_t total = r.total;
  if (range.first_given && range.first >= total)
    FatalErr("check: first write block %" PRIu64 " is past the last write block (%" PRIu64
             " write blocks)\n",
             range.first, total);
  r.first = range.first_given ? range.first : 0;
  if (range.count_given) {
    if (range.count == 0) FatalErr("check: count must be at least 1\n");
    if (range.count > total - r.first)
      FatalErr("check: %" PRIu64 " write blocks from %" PRIu64
               " run past the last write block %" PRIu64 "\n",
               range.count, r.first, total - 1);
  }
  r.count = range.count_given ? range.count : total - r.first;
}

void Tally(Verdicts::Verdict v, CheckReport &r) {
  switch (v) {
    case Verdicts::Verdict::NeverWritten: r.never_written++; break;
    case Verdicts::Verdict::Sound: r.sound++; break;
    case Verdicts::Verdict::Damaged: r.damaged++; break;
  }
}

// The report's side of the walk with many write blocks at once: each slot
// keeps its write block's findings until the write block's turn, then they
// go into the report, so it is the one-at-a-time walk's.
class QueuedVerdicts : public QueuedWalkUser {
 public:
  QueuedVerdicts(const CheckDev &dev, const DevHdrBuf &hdr, CheckReport &r)
      : dev_(dev), hdr_(hdr), r_(r), slots_(dev.queue->Depth()) {}
  QueuedVisitor &Begin(unsigned s, uint64_t) override {
    Slot &x = slots_[s];
    x.problems.clear();
    x.blocks_read = 0;
    x.v.emplace(dev_, hdr_, x.problems, x.blocks_read);
    x.v->Begin();
    return *x.v;
  }
  void Done(unsigned s, uint64_t n) override {
    const Slot &x = slots_[s];
    r_.problems.insert(r_.problems.end(), x.problems.begin(), x.problems.end());
    r_.blocks_read += x.blocks_read;
    Tally(x.v->Result(), r_);
    if (dev_.progress != nullptr) dev_.progress(n + 1, r_.count, dev_.progress_ctx);
  }

 private:
  struct Slot {
    std::vector<CheckProblem> problems;
    uint64_t blocks_read = 0;
    std::optional<Verdicts> v;
  };
  const CheckDev &dev_;
  const DevHdrBuf &hdr_;
  CheckReport &r_;
  std::vector<Slot> slots_;
};

void Walk(const CheckDev &dev, const CheckRange &range, CheckReport &r) {
  DevHdrBuf hdr{};
  std::memcpy(hdr.raw, dev.hdr.data(), kHdrSize);
  r.total = hdr.h_20x.PhysicalBlocks.get() / hdr.h_20x.ClusterSize.get();
  TakeRange(range, r);
  r.walked = true;
  if (dev.queue != nullptr) {
    QueuedVerdicts user(dev, hdr, r);
    return QueuedWalk(hdr.h_20x, r.first, r.count, *dev.queue, user);
  }
  Verdicts verdicts(dev, hdr, r.problems, r.blocks_read);
  for (uint64_t n = 0; n < r.count; n++) {
    Tally(verdicts.WtBlk(r.first + n), r);
    if (dev.progress != nullptr) dev.progress(n + 1, r.count, dev.progress_ctx);
  }
}

}  // namespace

CheckReport CheckDevice(const CheckDev &dev, const CheckRange &range) {
  CheckReport r;
  r.dev_size = dev.size;
  r.hdr_sector = dev.hdr_sector;
  r.blocks_read = 1;  // the header block
  CheckHeaders(dev, r);
  if (r.version == HdrVersion::V20 && r.HeaderSound(0)) Walk(dev, range, r);
  return r;
}

bool CheckNumber(const char *text, uint64_t *value) {
  const char *p = text;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  if (*p == '\0') return false;
  uint64_t v = 0;
  for (; *p != '\0'; p++) {
    const char c = *p;
    unsigned d = 16;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    if (d >= base || __builtin_mul_overflow(v, uint64_t{base}, &v) ||
        __builtin_add_overflow(v, uint64_t{d}, &v))
      return false;
  }
  *value = v;
  return true;
}


// ---------------------------------------------------------------------------
// The command

namespace {

std::string ProbeDev(void *ctx) { return ProbeSignature(static_cast<Device *>(ctx)->fh); }

// The progress line, drawn once the walk knows its count; its last count is
// always shown. Erased when the check ends, however it ends.
void ShowProgress(uint64_t done, uint64_t total, void *ctx) {
  StepWtBlks(*static_cast<std::optional<Progress> *>(ctx), "check", done, total);
}

// printed: set once the report has gone to standard output.
void RunCheck(bool &printed) {
  if (v_CheckQd < 1 || v_CheckQd > kMaxCheckDepth)
    FatalErr("check: --qd=%u: reads in flight are 1 to %u\n", v_CheckQd, kMaxCheckDepth);
  // Read-only: the check never writes, and works on a read-only device too.
  Device device = OpenDev(O_RDONLY | O_LARGEFILE, static_cast<int>(kBlockSize));
  // The walk jumps a write block at a time: read-ahead would only read
  // blocks that the check never looks at.
  posix_fadvise(device.fh, 0, 0, POSIX_FADV_RANDOM);
  ReadHdr(device);

  CheckRange range;
  range.first_given = v_CheckArgs >= 1;
  range.first = v_CheckFirst;
  range.count_given = v_CheckArgs >= 2;
  range.count = v_CheckCount;

  // Many write blocks read at once through io_uring; one at a time at
  // --qd=1, and where the kernel offers no io_uring.
  const std::unique_ptr<BlockQueue> queue =
      v_CheckQd > 1 ? OpenUringQueue(device.fh, v_CheckQd) : nullptr;

  CheckReport r;
  {
    std::optional<Progress> progress;
    CheckDev dev{std::span<const uint8_t, kHdrSize>(device.DevHdr.raw, kHdrSize),
                 device.DevSize,
                 v_HdrOff,
                 ReadDevBlock,
                 &device,
                 ShowProgress,
                 &progress,
                 ProbeDev,
                 queue.get()};
    r = CheckDevice(dev, range);
  }
  printed = true;
  if (v_Json != 0)
    PrintCheckJson(stdout, r, v_DevName);
  else
    PrintCheck(stdout, r);
  // A report that did not reach its reader (a full disk) is a failure,
  // whatever it said.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    FatalSys(true, errno, "check: error writing the report - %d\n", errno);
  // Damage is a verdict, not a failure: the report is out; only the status says it.
  if (r.Damaged()) throw FatalError("", false, 2);
}

}  // namespace

void DoCheck() {
  // Every failure goes to standard error: standard output carries the report
  // and nothing else, so that a --json reader never gets a stray message.
  // A --json check that cannot proceed says so in a document of its own
  // there as well.
  bool printed = false;
  try {
    RunCheck(printed);
  } catch (FatalError &e) {
    e.to_stderr = true;
    if (v_Json != 0 && e.status == 1 && !printed) PrintCheckJsonError(stdout, e.text, e.sys_errno);
    throw;
  }
}
