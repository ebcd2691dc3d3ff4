// SPDX-License-Identifier: Apache-2.0
// The image command: the device's header block and the blocks of the
// write-block walk into a sparse file of the device's size, under a name of
// its own until it is whole; with --log= the log device's copy beside it.
#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "fatal.h"
#include "log/log.h"
#include "log/logtmp.h"
#include "progress.h"
#include "readq.h"
#include "walkq.h"
#include "wtblk.h"

uint64_t ImageWtBlks(const DevHdrBuf &hdr, uint64_t size) {
  const DEV_HDR_20 &h = hdr.h_20x;
  if (GetHdrVersion(hdr.raw) != HdrVersion::V20 || h.MetaVersion.get() != 0x201) return 0;
  const uint32_t cluster = h.ClusterSize.get();
  if (cluster == 0 || h.BitSizes[0] + h.BitSizes[1] + h.BitSizes[2] == 0) return 0;
  // A header check finds sound keeps its data area inside the device; a
  // damaged one is not walked past the device's end.
  return std::min<uint64_t>(h.PhysicalBlocks.get() / cluster, size / kBlockSize / cluster + 1);
}

namespace {

// Copies every block the walk reads. A block not wholly inside the device
// is not read (check reports it, dump fails on it, on the image as here).
// It keeps nothing of one write block, so it serves every write block of a
// queued walk at once.
class ImageVisitor : public QueuedVisitor, public QueuedWalkUser {
 public:
  ImageVisitor(const ImageSource &src, BlockSink sink, void *ctx, ImageProgress progress,
               void *progress_ctx)
      : src_(src), sink_(sink), ctx_(ctx), progress_(progress), progress_ctx_(progress_ctx) {}

  bool Locate(const WtBlkAt &at, uint64_t *byte) override {
    return WtBlkByte(src_.hdr->h_20x, at.pba, byte) && *byte <= src_.size &&
           src_.size - *byte >= kBlockSize;
  }
  void Got(uint64_t byte, const uint8_t *b) override {
    sink_(byte, b, kBlockSize, ctx_);
    blocks++;
  }
  const uint8_t *Read(const WtBlkAt &at) override {
    uint64_t byte = 0;
    if (!Locate(at, &byte)) return nullptr;
    const uint8_t *b = src_.read(byte, src_.ctx);
    Got(byte, b);
    return b;
  }
  // dump shows the further blocks of a segment that runs past its write
  // block (counted in 32 bits, as it counts them); check reads none of them.
  uint64_t OverrunMetas(const SegShape &s) override { return static_cast<uint32_t>(s.metas); }

  QueuedVisitor &Begin(unsigned, uint64_t) override { return *this; }
  void Done(unsigned, uint64_t n) override { Progressed(n + 1); }
  void Progressed(uint64_t done) {
    wtblks = done;
    if (progress_ != nullptr) progress_(done, total, progress_ctx_);
  }

  uint64_t total = 0;
  uint64_t wtblks = 0;
  uint64_t blocks = 0;

 private:
  const ImageSource &src_;
  BlockSink sink_;
  void *ctx_;
  ImageProgress progress_;
  void *progress_ctx_;
};

}  // namespace

ImageCounts ImageWalk(const ImageSource &src, BlockSink sink, void *sink_ctx,
                      ImageProgress progress, void *progress_ctx) {
  ImageVisitor v(src, sink, sink_ctx, progress, progress_ctx);
  v.total = ImageWtBlks(*src.hdr, src.size);
  if (src.queue != nullptr) {
    QueuedWalk(src.hdr->h_20x, 0, v.total, *src.queue, v);
  } else {
    for (uint64_t t = 0; t < v.total; t++) {
      WalkWtBlk(src.hdr->h_20x, t, v);
      v.Progressed(t + 1);
    }
  }
  return {v.wtblks, v.blocks};
}

// ---------------------------------------------------------------------------
// The command

namespace {

// The image's directory, opened once; the image and its log are reached
// through it.
struct ImageFile {
  UniqueFd dir;
  std::string name;  // in dir
  std::string path;  // as given
};

ImageFile OpenImageDir(const std::string &path) {
  ImageFile f;
  f.path = path;
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  f.name = slash == std::string::npos ? path : path.substr(slash + 1);
  f.dir.fh = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (f.dir.fh < 0) FatalErr("image: error creating %s %d\n", path.c_str(), errno);
  if (f.name.empty() || f.name == "." || f.name == "..")
    FatalErr("image: error creating %s %d\n", path.c_str(), EISDIR);
  return f;
}

// Nothing is put in the place of an existing file or link.
void RefuseExisting(const ImageFile &f, const std::string &name, const std::string &path) {
  struct stat st {};
  if (fstatat(f.dir.fh, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    FatalErr("image: %s already exists; nothing written\n", path.c_str());
  if (errno != ENOENT) FatalErr("image: error creating %s %d\n", path.c_str(), errno);
}

struct FileSink {
  int fd;
  const std::string &path;
};

// Zero bytes stay a hole: the image reads them back as zeros all the same.
void WriteBlock(uint64_t off, const uint8_t *bytes, size_t len, void *ctx) {
  const FileSink &s = *static_cast<FileSink *>(ctx);
  if (std::all_of(bytes, bytes + len, [](uint8_t b) { return b == 0; })) return;
  errno = 0;
  if (PwriteFull(s.fd, bytes, len, off) != static_cast<ssize_t>(len))
    FatalErr("image: error writing %s %d\n", s.path.c_str(), errno);
}

// The header block at --hdroff= (both headers of a two-volume layout), or
// the part of it inside the device. ReadHdr has read its first 512 bytes.
uint64_t CopyHdrBlock(Device &dev, FileSink &sink) {
  const uint64_t at = v_HdrOff * kSectorSize;
  const uint64_t len = std::min<uint64_t>(kHdrBlockSize, dev.DevSize - at);
  errno = 0;
  if (PreadFull(dev.fh, dev.buf, len, at) != static_cast<ssize_t>(len))
    FatalSys(false, errno, "Error reading header - %d\n", errno);
  WriteBlock(at, dev.buf, len, &sink);
  return len;
}

// check's progress line: drawn once the count is known, its last count shown.
void ShowProgress(uint64_t done, uint64_t total, void *ctx) {
  StepWtBlks(*static_cast<std::optional<Progress> *>(ctx), "image", done, total);
}

// Writes the image under a name of its own, then gives it its name, never
// over an existing file; a failure (or SIGTERM, SIGINT, SIGHUP) removes it.
// Returns the bytes copied.
uint64_t WriteImage(Device &dev, const ImageFile &f, ImageCounts *c) {
  PartialCopy part(f.name, 0600, false);
  UniqueFd out(part.Create(f.dir.fh));
  if (out.fh < 0) FatalErr("image: error creating %s %d\n", f.path.c_str(), errno);
  if (ftruncate(out.fh, static_cast<off_t>(dev.DevSize)) != 0)
    FatalErr("image: error writing %s %d\n", f.path.c_str(), errno);
  FileSink sink{out.fh, f.path};
  const uint64_t hdr = CopyHdrBlock(dev, sink);
  {
    std::optional<Progress> progress;
    // Many write blocks read at once, as check reads them (--qd=).
    const std::unique_ptr<BlockQueue> queue =
        v_CheckQd > 1 ? OpenUringQueue(dev.fh, v_CheckQd) : nullptr;
    const ImageSource src{&dev.DevHdr, dev.DevSize, ReadDevBlock, &dev, queue.get()};
    *c = ImageWalk(src, WriteBlock, &sink, ShowProgress, &progress);
  }
  if (fsync(out.fh) != 0 || out.Close() != 0)
    FatalErr("image: error writing %s %d\n", f.path.c_str(), errno);
  if (!part.Commit()) {
    if (errno == EEXIST) FatalErr("image: %s already exists; nothing written\n", f.path.c_str());
    FatalErr("image: error writing %s %d\n", f.path.c_str(), errno);
  }
  return hdr + c->blocks * kBlockSize;
}

// The log device, opened before anything is written, as log copy opens it.
UniqueFd OpenImageLog() {
  UniqueFd src(open(v_ImageLog.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC));
  if (src.fh < 0)
    FatalErr("Error copying log device.  Cannot open source device %s %d\n", v_ImageLog.c_str(),
             errno);
  return src;
}

// log copy's copy into FILE.log (mode 0400, flushed, named when whole).
void CopyImageLog(const UniqueFd &src, const ImageFile &f) {
  struct stat ss {};
  if (fstat(src.fh, &ss) != 0)
    FatalErr("Error reading from source device %s %d\n", v_ImageLog.c_str(), errno);
  v_LogSource = v_ImageLog;  // the copy's messages name it
  PartialCopy part(f.name + ".log", 0400, false);
  CopyLogInto(src.fh, ss, f.dir.fh, part, f.path + ".log");
}

void RunImage() {
  // Read-only, as check reads it: the same open, header and block reads.
  Device dev = OpenDev(O_RDONLY | O_LARGEFILE, static_cast<int>(kBlockSize));
  posix_fadvise(dev.fh, 0, 0, POSIX_FADV_RANDOM);
  ReadHdr(dev);
  if (std::memcmp(dev.DevHdr.raw, "XTL:", 4) != 0)
    FatalErr("image: %s holds no XTL header; nothing written\n", v_DevName.c_str());
  const ImageFile f = OpenImageDir(v_ImageFile);
  RefuseExisting(f, f.name, f.path);
  UniqueFd log;
  if (!v_ImageLog.empty()) {
    RefuseExisting(f, f.name + ".log", f.path + ".log");
    log = OpenImageLog();
  }
  ImageCounts c;
  const uint64_t bytes = WriteImage(dev, f, &c);
  if (log.fh >= 0) {
    try {
      CopyImageLog(log, f);
    } catch (const FatalError &) {
      unlinkat(f.dir.fh, f.name.c_str(), 0);  // no image without the log asked for
      throw;
    }
  }
  std::printf("image: %s: %llu write blocks, %llu bytes of metadata into %s\n", v_DevName.c_str(),
              static_cast<unsigned long long>(c.wtblks), static_cast<unsigned long long>(bytes),
              f.path.c_str());
  if (log.fh >= 0)
    std::printf("image: log device %s copied into %s.log\n", v_ImageLog.c_str(), f.path.c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    FatalSys(true, errno, "image: error writing the report - %d\n", errno);
}

}  // namespace

void DoImage() {
  // Standard output carries the summary alone: every failure goes to
  // standard error, the read messages too (as check prints them).
  try {
    RunImage();
  } catch (FatalError &e) {
    e.to_stderr = true;
    throw;
  }
}
