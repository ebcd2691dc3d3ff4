// Log tools: the sector sources the scan reads, the scan's pieces, and the
// cores of copy, post and clear that take open handles (so tests and the fuzz
// target can drive them without a device).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "xtl.h"

class Progress;

inline constexpr size_t kCopyBufSize = size_t{1} << 20;  // log copy piece, bytes
inline constexpr size_t kXferBufSize = size_t{4} << 20;  // post / clear buffer, bytes

// A file descriptor closed when it goes out of scope (a fatal error unwinds).
struct LogFd {
  int fd = -1;
  LogFd() = default;
  explicit LogFd(int f) : fd(f) {}
  ~LogFd() {
    if (fd >= 0) close(fd);
  }
  LogFd(LogFd &&other) noexcept : fd(other.fd) { other.fd = -1; }
  LogFd(const LogFd &) = delete;
  LogFd &operator=(const LogFd &) = delete;
  // Closes now and reports close()'s result (0 or -1 with errno).
  int Close() {
    int r = fd >= 0 ? close(fd) : 0;
    fd = -1;
    return r;
  }
};

// Where the scan's 512-byte sectors come from: the temp file, or an image in
// memory. ReadOne behaves as one positioned read of one sector: it returns the
// bytes read (512 for a whole sector) or -1 with errno set. ReadMany fills
// sectors [first, first + n) and may decline (false) so the caller falls back
// to ReadOne for the exact failure.
class LogSectors {
 public:
  virtual ~LogSectors() = default;
  virtual int64_t Count() const = 0;  // whole sectors; a partial last one is ignored
  virtual ssize_t ReadOne(int64_t sector, uint8_t *out) = 0;
  virtual bool ReadMany(int64_t first, int64_t n, uint8_t *out) = 0;
};

// The log temp file (or any file) opened by the caller.
class FileLogSectors : public LogSectors {
 public:
  FileLogSectors(int fd, uint64_t bytes) : fd_(fd), count_(static_cast<int64_t>(bytes / kSectorSize)) {}
  int64_t Count() const override { return count_; }
  ssize_t ReadOne(int64_t sector, uint8_t *out) override;
  bool ReadMany(int64_t first, int64_t n, uint8_t *out) override;

 private:
  int fd_;
  int64_t count_;
};

// A log image held in memory (fuzzing, unit tests).
class MemLogSectors : public LogSectors {
 public:
  MemLogSectors(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  int64_t Count() const override { return static_cast<int64_t>(size_ / kSectorSize); }
  ssize_t ReadOne(int64_t sector, uint8_t *out) override;
  bool ReadMany(int64_t first, int64_t n, uint8_t *out) override;

 private:
  const uint8_t *data_;
  size_t size_;
};

// "%s/xtl.log" in v_TmpDir; an empty v_TmpDir becomes "/dev/shm" first.
std::string LogTmpPath();

inline constexpr char kLogTmpName[] = "xtl.log";

// The temp directory, opened once and checked on that handle; the temp file
// and a copy's new file are reached through it (openat and the like), so a
// directory swapped after the check is never used.
struct LogTmpDir {
  LogFd fd;
  std::string path;  // the temp file: "%s/xtl.log"
};
// Opens v_TmpDir. Refused (fatal, naming the directory and the reason) when
// it, or what a symbolic link there leads to, is writable by group or others
// without the sticky bit, or belongs to a user other than root and us. A
// directory that cannot be opened gives fd -1 with errno: the caller reports
// it with its own message.
LogTmpDir OpenLogTmpDir();

// Opens the temp file in dir for reading: refused unless it is a regular
// file of the running user, not writable by group or others, with one link.
// Fatal with the reason; returns the handle and fills st.
int OpenLogTmp(const LogTmpDir &dir, struct stat &st);

// The temp file a list was scanned from, kept open with the list so that a
// post replays the very file the scan read, whatever is renamed into its
// place meanwhile.
struct LogTmpFile {
  LogFd fd;
  std::string path;
};

// 1 when the control sector is valid; otherwise 0, or fatal when ExitFlg != 0.
int ValidateLt(const LOG_TAIL &lt, int ExitFlg);

// Builds the segment list from a sector source. Fatal on the scan's
// failures; prints nothing.
LogList ScanLogSectors(LogSectors &src);
// The scan's summary lines.
void PrintLogSummary(FILE *out, const LogList &log);
// The listing of the segment list.
void DispLog(FILE *out, const LogList &log);

// Replays the segment list log: progress and per-entry errors go to out. Reads the
// entries' data from tmpfd, writes to dstfd through buf (kXferBufSize bytes,
// 4096-aligned). Nothing is written at or past byte dst_end (a regular file's
// size): such an entry fails as it would at a block device's end. Returns the
// number of entries that failed to read or write. prog, when given, counts
// the entries and is erased before each entry line.
int64_t PostEntries(FILE *out, const LogList &log, int tmpfd, const std::string &tmppath,
                    int dstfd, const std::string &dstpath, uint8_t *buf,
                    uint64_t dst_end = UINT64_MAX, Progress *prog = nullptr);
// Zeroes bytes [0, size) of fd in kXferBufSize pieces, each flushed with
// fsync; buf holds kXferBufSize zero bytes. Fatal on any failure. prog, when
// given, counts the bytes.
void ClearFd(int fd, uint64_t size, const std::string &path, const uint8_t *buf,
             Progress *prog = nullptr);

// A kXferBufSize buffer aligned to 4096 bytes, or fatal.
struct XferBuf {
  std::unique_ptr<uint8_t[]> mem;
  uint8_t *p = nullptr;
};
XferBuf AllocXferBuf();
