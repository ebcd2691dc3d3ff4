// SPDX-License-Identifier: Apache-2.0
// The log temp file every log tool stands on: its path in the temp
// directory, the checks of the directory and of the file, its opening, a
// copy's new file until it becomes the temp file, and the 512-byte sector
// sources the scan reads (the temp file, or an image in memory).
#pragma once

#include <sys/stat.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "xtl.h"

inline constexpr char kLogTmpName[] = "xtl.log";

// "%s/xtl.log" in v_TmpDir; an empty v_TmpDir becomes "/dev/shm" first.
std::string LogTmpPath();

// The temp directory, opened once and checked on that handle; the temp file
// and a copy's new file are reached through it (openat and the like), so a
// directory swapped after the check is never used.
struct LogTmpDir {
  UniqueFd fd;
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
  UniqueFd fd;
  std::string path;
  uint64_t size = 0;  // bytes, when opened
};
// The temp file of v_TmpDir, opened and checked as above.
LogTmpFile OpenLogTmpFile();

// The file a copy writes into, under a name of its own until the last byte is
// in; only then is it renamed to the temp file, so a temp file is always a
// whole copy. A failed copy removes it (the destructor), and so does SIGTERM,
// SIGINT or SIGHUP during the copy (a handler, which can only reach
// process-wide state). SIGKILL can leave it, never a temp file; the next copy
// removes it (RemoveDeadCopies).
class PartialCopy {
 public:
  static constexpr size_t kSignals = 3;  // SIGTERM, SIGINT, SIGHUP

  PartialCopy() : PartialCopy(kLogTmpName, 0400, true) {}
  // A whole file of another name (the image and its log copy): created with
  // mode, and, unless replace, never put in the place of an existing file.
  PartialCopy(const std::string &name, mode_t mode, bool replace);
  ~PartialCopy();
  PartialCopy(const PartialCopy &) = delete;
  PartialCopy &operator=(const PartialCopy &) = delete;

  // Creates "xtl.log.<pid>.<n>" (the name's) in dir exclusively, mode 0400
  // (the mode given): never an existing file or link. Returns the handle, or
  // -1 with errno.
  int Create(int dir);
  // Gives the whole copy the temp file's name; false with errno on failure
  // (EEXIST when the name is taken and replace was not asked for).
  bool Commit();

 private:
  std::string name_;
  mode_t mode_;
  bool replace_;
  sigset_t set_{};
  struct sigaction old_[kSignals] {};
};

// Removes the new files ("xtl.log.<pid>.<n>") that copies killed by SIGKILL
// left in dir: those of processes that no longer exist. A live process's
// file may be a copy under way and stays; so does any other name.
void RemoveDeadCopies(int dir);

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
