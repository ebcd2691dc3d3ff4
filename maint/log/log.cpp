// SPDX-License-Identifier: Apache-2.0
// Log tools that move data: copy the log device into the temp file, replay the
// scanned log onto the XTL device, and zero the log device.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fatal.h"
#include "guard.h"
#include "log/log.h"
#include "log/logtmp.h"
#include "progress.h"
#include "undo.h"

AlignedBuf AllocXferBuf() {
  AlignedBuf b = AllocAligned(kXferBufSize);
  if (b.p == nullptr) FatalErr("Error allocating transfer buffer.\n");
  return b;
}

void CopyLog() {
  UniqueFd src(open(v_LogSource.c_str(), O_RDONLY | O_LARGEFILE));
  if (src.fh < 0)
    FatalErr("Error copying log device.  Cannot open source device %s %d\n", v_LogSource.c_str(),
             errno);
  const LogTmpDir dir = OpenLogTmpDir();
  const std::string &path = dir.path;
  if (dir.fd.fh < 0)
    FatalErr("Error copying log device.  Cannot open target file %s %d\n", path.c_str(), errno);
  // The temp file is removed below; copying it onto itself would lose it.
  struct stat ss {}, ts {};
  if (fstat(src.fh, &ss) == 0 && fstatat(dir.fd.fh, kLogTmpName, &ts, AT_SYMLINK_NOFOLLOW) == 0 &&
      ss.st_dev == ts.st_dev && ss.st_ino == ts.st_ino)
    FatalErr("Error copying log device.  Source %s is the temp file %s\n", v_LogSource.c_str(),
             path.c_str());
  // The earlier temp file goes first, whatever it is (a file, a link, a
  // FIFO): nothing is written through it, and from here on a copy that fails
  // or is interrupted leaves no temp file for a scan to take as valid.
  if (unlinkat(dir.fd.fh, kLogTmpName, 0) != 0 && errno != ENOENT)
    FatalErr("Error copying log device.  Cannot open target file %s %d\n", path.c_str(), errno);
  RemoveDeadCopies(dir.fd.fh);
  PartialCopy part;
  CopyLogInto(src.fh, ss, dir.fd.fh, part, path);
}

void CopyLogInto(int src, const struct stat &ss, int dir, PartialCopy &part,
                 const std::string &path) {
  UniqueFd dst(part.Create(dir));
  if (dst.fh < 0)
    FatalErr("Error copying log device.  Cannot open target file %s %d\n", path.c_str(), errno);
  std::unique_ptr<uint8_t[]> cbuf(new (std::nothrow) uint8_t[kCopyBufSize]);
  if (!cbuf) FatalErr("Error allocating copy buffer.\n");

  // The source's size for the progress line; a pipe's is unknown (0).
  uint64_t total = 0;
  if (ioctl(src, BLKGETSIZE64, &total) != 0)
    total = S_ISREG(ss.st_mode) && ss.st_size > 0 ? static_cast<uint64_t>(ss.st_size) : 0;
  Progress prog("log copy", ProgressUnit::Bytes, total);
  uint64_t copied = 0;
  for (;;) {
    const ssize_t n = read(src, cbuf.get(), kCopyBufSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FatalErr("Error reading from source device %s %d\n", v_LogSource.c_str(), errno);
    if (n == 0) break;
    for (size_t done = 0; done < static_cast<size_t>(n);) {
      errno = 0;
      const ssize_t w = write(dst.fh, cbuf.get() + done, static_cast<size_t>(n) - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) FatalErr("Error writing to temp file %s %d\n", path.c_str(), errno);
      done += static_cast<size_t>(w);
    }
    copied += static_cast<uint64_t>(n);
    prog.Update(copied);
  }
  if (fsync(dst.fh) != 0 || dst.Close() != 0 || !part.Commit())
    FatalErr("Error writing to temp file %s %d\n", path.c_str(), errno);
}

namespace {

// One entry of a post: its progress line, its data into the buffer, its write.
class EntryReplay {
 public:
  EntryReplay(FILE *out, const PostSource &src, const PostTarget &dst, uint8_t *buf)
      : out_(out), src_(src), dst_(dst), buf_(buf) {}

  // Replays entry e of segment i (seq seq), whose type-0 data would start at
  // sector d of the temp file; advances d past the data it takes. Returns
  // false when the entry failed to read or write.
  bool Run(size_t i, uint64_t seq, const LOG_ENT &e, int64_t &d) {
    const uint32_t tp = e.EntryTp();
    const uint32_t cnt = e.SectorCnt();
    const int64_t target = e.TargetSector();
    std::fprintf(out_, "%8d %10lld %10lld %10lld %4d %1d", static_cast<int>(i),
                 static_cast<long long>(seq), static_cast<long long>(d),
                 static_cast<long long>(target), static_cast<int>(cnt), static_cast<int>(tp));
    const size_t n = size_t{cnt} * kSectorSize;
    bool ok = true;
    if (tp == 0) {
      ok = Read(d, n);
      d += cnt;  // even after a failed read, so later entries find their own data
      if (ok) ok = Write(target, n);
    } else if (tp == 1 || tp == 2) {
      std::memset(buf_, tp == 1 ? 0x00 : 0xff, n);
      ok = Write(target, n);
    } else {
      // No content is defined for these types: nothing is written, and they
      // take no data sectors.
      std::fprintf(out_, "\r\n  Skipping entry of type %d for sector %lld: no data defined\n",
                   static_cast<int>(tp), static_cast<long long>(target));
    }
    std::fputs("\r", out_);
    std::fflush(out_);
    return ok;
  }

 private:
  // n bytes of the temp file at sector d into the buffer.
  bool Read(int64_t d, size_t n) {
    errno = 0;
    ssize_t r = -1;
    if (d < 0)
      errno = EINVAL;
    else
      r = PreadFull(src_.fd, buf_, n, static_cast<uint64_t>(d) * kSectorSize);
    if (r == static_cast<ssize_t>(n)) return true;
    std::fprintf(out_, "\r\n  Error reading from tmp file %s/%lld/%d %d %d\n", src_.path.c_str(),
                 static_cast<long long>(d * kSectorSize), static_cast<int>(n),
                 static_cast<int>(r), errno);
    return false;
  }

  // The buffer's n bytes to the target at sector target. Past dst_.end only
  // the part before it is written and the entry fails with ENOSPC, as a block
  // device ends a write at its last sector.
  bool Write(int64_t target, size_t n) {
    const auto off = static_cast<uint64_t>(target) * kSectorSize;
    const size_t fits =
        off >= dst_.end ? 0 : static_cast<size_t>(std::min<uint64_t>(n, dst_.end - off));
    if (dst_.undo != nullptr) dst_.undo->Save(off, buf_, fits);
    errno = 0;
    const ssize_t w = fits == 0 && n > 0 ? -1 : PwriteFull(dst_.fd, buf_, fits, off);
    if (fits < n && (w < 0 ? errno == 0 : static_cast<size_t>(w) == fits)) errno = ENOSPC;
    if (w == static_cast<ssize_t>(n)) return true;
    std::fprintf(out_, "\r\n  Error writing to raw XTL device %s/%lld/%d %d %d\n",
                 dst_.path.c_str(), static_cast<long long>(target * kSectorSize),
                 static_cast<int>(n), static_cast<int>(w), errno);
    return false;
  }

  FILE *out_;
  const PostSource &src_;
  const PostTarget &dst_;
  uint8_t *buf_;
};

}  // namespace

int64_t PostEntries(FILE *out, const LogList &log, const PostSource &src, const PostTarget &dst,
                    uint8_t *buf, Progress *prog) {
  EntryReplay replay(out, src, dst, buf);
  int64_t failed = 0;
  uint64_t posted = 0;
  for (size_t i = 0; i < log.LtLst.size(); i++) {
    const LOG_TAIL &lt = log.LtLst[i];
    int64_t d = log.LtSec[i];  // data of the next type-0 entry, sectors of the temp file
    const uint32_t entries = std::min<uint32_t>(lt.NumEntries.get(), kLogEntMax);
    for (uint32_t j = 0; j < entries; j++) {
      if (prog != nullptr) prog->BeforeStdout();
      if (!replay.Run(i, lt.seq.get(), lt.le[j], d)) failed++;
      if (prog != nullptr) prog->Update(++posted);
    }
  }
  return failed;
}

void PostLog(const LogList &log) {
  if (log.log_blocks == 0) return;  // the scan said the log is empty; touch nothing
  if (!log.source) FatalErr("Error posting log: no temp file behind the segment list\n");
  const LogTmpFile &tmp = *log.source;  // the file the scan read, still open
  // Exclusive: a device the driver (or a mount) holds is refused, not written.
  bool not_blk_reg = false;
  UniqueFd dst(OpenBlkOrReg(v_LogTarget, O_WRONLY | o_direct | O_LARGEFILE | O_EXCL, not_blk_reg));
  if (not_blk_reg) NotBlkOrReg(v_LogTarget);
  if (dst.fh < 0) FatalErr("Error opening XTL raw device %s %d\n", v_LogTarget.c_str(), errno);
  GuardLogPost(dst.fh, v_LogTarget);  // nothing written yet
  // An image file keeps its size (whole sectors), as a device would.
  PostTarget target{dst.fh, v_LogTarget};
  struct stat st {};
  if (fstat(dst.fh, &st) == 0 && S_ISREG(st.st_mode))
    target.end = static_cast<uint64_t>(st.st_size) / kSectorSize * kSectorSize;
  AlignedBuf xb = AllocXferBuf();
  std::shared_ptr<UndoLog> undo;
  if (!v_Undo.empty()) target.undo = (undo = UndoLog::Create(v_Undo, dst.fh, v_LogTarget)).get();

  uint64_t entries = 0;
  for (const LOG_TAIL &lt : log.LtLst) entries += std::min<uint32_t>(lt.NumEntries.get(), kLogEntMax);
  Progress prog("log post", ProgressUnit::Entries, entries);
  const int64_t failed = PostEntries(stdout, log, {tmp.fd.fh, tmp.path}, target, xb.p, &prog);
  if (fsync(dst.fh) != 0)
    FatalErr("Error flushing raw XTL device %s %d\n", v_LogTarget.c_str(), errno);
  if (undo) undo->Finish();
  prog.Erase();
  std::printf("\rDone.%45s\n", "");
  if (dst.Close() != 0)
    FatalErr("Error closing raw XTL device %s %d\n", v_LogTarget.c_str(), errno);
  // The log may be cleared after a successful post: never claim success when
  // some entry did not reach the device.
  if (failed > 0)
    FatalErr("Error posting log: %lld entries were not written to %s\n",
             static_cast<long long>(failed), v_LogTarget.c_str());
}

void ClearFd(int fd, uint64_t size, const std::string &path, const uint8_t *zeros,
             Progress *prog, UndoLog *undo) {
  for (uint64_t pos = 0; pos < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kXferBufSize, size - pos));
    if (undo != nullptr) undo->Save(pos, zeros, want);
    errno = 0;
    const ssize_t w = PwriteFull(fd, zeros, want, pos);
    if (w != static_cast<ssize_t>(want)) {
      const uint64_t at = pos + (w > 0 ? static_cast<uint64_t>(w) : 0);
      FatalErr("Error clearing log device %s at byte %llu %d\n", path.c_str(),
               static_cast<unsigned long long>(at), errno);
    }
    if (fsync(fd) != 0) FatalErr("Error flushing log device %s %d\n", path.c_str(), errno);
    pos += want;
    if (prog != nullptr) prog->Update(pos);
  }
}

void ClearLog() {
  // Exclusive: a log device the driver holds is refused, not zeroed. The
  // size is a block device's, or a regular file's: an image is never grown.
  Device log = OpenDevAt(v_LogTarget, O_WRONLY | O_LARGEFILE | O_EXCL, OpenFailMsg::XtlRaw);
  GuardLogClear(log.fh, v_LogTarget);  // nothing written yet
  AlignedBuf xb = AllocXferBuf();
  if (!v_Undo.empty()) log.undo = UndoLog::Create(v_Undo, log.fh, v_LogTarget);
  {
    Progress prog("log clear", ProgressUnit::Bytes, log.DevSize);
    ClearFd(log.fh, log.DevSize, v_LogTarget, xb.p, &prog, log.undo.get());
  }
  if (log.undo) log.undo->Finish();
  if (CloseDev(log) != 0) FatalErr("Error closing log device %s %d\n", v_LogTarget.c_str(), errno);
}
