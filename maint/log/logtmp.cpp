// SPDX-License-Identifier: Apache-2.0
// The log temp file: its path, the checks of its directory and of the file,
// its opening, a copy's new file, and the sector sources the scan reads.
#include "log/logtmp.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <cerrno>
#include <cstring>

#include "fatal.h"

std::string LogTmpPath() {
  if (v_TmpDir.empty()) v_TmpDir = "/dev/shm";
  if (v_TmpDir.size() > kTmpDirMax)
    FatalErr("Error: temp directory name longer than %zu characters: %s\n", kTmpDirMax,
             v_TmpDir.c_str());
  return v_TmpDir + "/xtl.log";
}

LogTmpDir OpenLogTmpDir() {
  LogTmpDir dir;
  dir.path = LogTmpPath();
  // O_PATH: searching the directory is all the right this needs, as before.
  dir.fd.fh = open(v_TmpDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};
  if (dir.fd.fh < 0 || fstat(dir.fd.fh, &st) != 0) {
    const int err = errno;
    dir.fd.Close();
    errno = err;
    return dir;
  }
  // Whoever may rename files in the directory can put a left-over partial
  // copy in the temp file's place, where it would scan valid and be posted.
  const char *why = nullptr;
  if (st.st_uid != 0 && st.st_uid != geteuid())
    why = "belongs to another user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
    why = "is writable by group or others without the sticky bit";
  if (why != nullptr) FatalErr("Error: temp directory %s %s\n", v_TmpDir.c_str(), why);
  return dir;
}

int OpenLogTmp(const LogTmpDir &dir, struct stat &st) {
  const std::string &path = dir.path;
  if (dir.fd.fh < 0)
    FatalErr("Error opening log temp file.  Cannot open temp file %s %d\n", path.c_str(), errno);
  // O_NOFOLLOW: a link planted at the temp path is not followed. O_NONBLOCK:
  // a FIFO there cannot hold the open; it is cleared once the file is known.
  UniqueFd f(openat(dir.fd.fh, kLogTmpName, O_RDONLY | O_LARGEFILE | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (f.fh < 0)
    FatalErr("Error opening log temp file.  Cannot open temp file %s %d\n", path.c_str(), errno);
  if (fstat(f.fh, &st) != 0)
    FatalErr("Error stating log temp file %s %d\n", path.c_str(), errno);
  // The temp directory may be writable by everyone (/dev/shm): only a file of
  // our own that nobody else can rewrite, and that no other name reaches, is
  // replayed onto a device.
  const char *why = nullptr;
  if (!S_ISREG(st.st_mode)) {
    if (!S_ISBLK(st.st_mode)) NotBlkOrReg(path);
    why = "is not a regular file";
  } else if (st.st_uid != geteuid()) {
    why = "is not owned by the running user";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "is writable by group or others";
  } else if (st.st_nlink > 1) {
    why = "has more than one link";
  }
  if (why != nullptr) FatalErr("Error: log temp file %s %s\n", path.c_str(), why);
  const int fl = fcntl(f.fh, F_GETFL);
  if (fl < 0 || fcntl(f.fh, F_SETFL, fl & ~O_NONBLOCK) != 0)
    FatalErr("Error opening log temp file.  Cannot open temp file %s %d\n", path.c_str(), errno);
  return f.Release();
}

namespace {

// A copy's new file where the signal handler can reach it: process-wide.
char g_partial[320];         // its name in the temp directory
int g_partial_dir = -1;      // the temp directory
volatile sig_atomic_t g_partial_live = 0;
constexpr int kCopySignals[] = {SIGTERM, SIGINT, SIGHUP};
static_assert(std::size(kCopySignals) == PartialCopy::kSignals);

extern "C" void RemovePartialCopy(int sig) {
  if (g_partial_live != 0) unlinkat(g_partial_dir, g_partial, 0);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns: the process ends by the signal
}

// Holds kCopySignals off while the name and the live flag change together.
class BlockCopySignals {
 public:
  explicit BlockCopySignals(const sigset_t &set) { sigprocmask(SIG_BLOCK, &set, &old_); }
  ~BlockCopySignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  BlockCopySignals(const BlockCopySignals &) = delete;
  BlockCopySignals &operator=(const BlockCopySignals &) = delete;

 private:
  sigset_t old_{};
};

}  // namespace

PartialCopy::PartialCopy(const std::string &name, mode_t mode, bool replace)
    : name_(name), mode_(mode), replace_(replace) {
  sigemptyset(&set_);
  for (int sig : kCopySignals) sigaddset(&set_, sig);
  struct sigaction sa {};
  sa.sa_handler = RemovePartialCopy;
  sa.sa_mask = set_;
  for (size_t i = 0; i < std::size(kCopySignals); i++) {
    sigaction(kCopySignals[i], nullptr, &old_[i]);
    if (old_[i].sa_handler != SIG_IGN) sigaction(kCopySignals[i], &sa, nullptr);  // nohup stays
  }
}

PartialCopy::~PartialCopy() {
  {
    BlockCopySignals hold(set_);
    if (g_partial_live != 0) unlinkat(g_partial_dir, g_partial, 0);
    g_partial_live = 0;
  }
  for (size_t i = 0; i < std::size(kCopySignals); i++)
    sigaction(kCopySignals[i], &old_[i], nullptr);
}

int PartialCopy::Create(int dir) {
  for (unsigned n = 0; n < 100; n++) {
    BlockCopySignals hold(set_);
    g_partial_dir = dir;
    const int len = std::snprintf(g_partial, sizeof g_partial, "%s.%d.%u", name_.c_str(),
                                  static_cast<int>(getpid()), n);
    if (len < 0 || static_cast<size_t>(len) >= sizeof g_partial) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = openat(dir, g_partial,
                          O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE | O_NOFOLLOW | O_CLOEXEC, mode_);
    if (fd >= 0) {
      g_partial_live = 1;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool PartialCopy::Commit() {
  BlockCopySignals hold(set_);
  const int r = replace_ ? renameat(g_partial_dir, g_partial, g_partial_dir, name_.c_str())
                        : renameat2(g_partial_dir, g_partial, g_partial_dir, name_.c_str(),
                                    RENAME_NOREPLACE);
  if (r != 0) return false;
  g_partial_live = 0;
  return true;
}

void RemoveDeadCopies(int dir) {
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (d == nullptr) {
    if (fd >= 0) close(fd);
    return;
  }
  while (const dirent *e = readdir(d)) {
    int pid = 0;
    unsigned n = 0;
    char again[sizeof e->d_name];
    if (std::sscanf(e->d_name, "xtl.log.%d.%u", &pid, &n) != 2 || pid <= 0) continue;
    std::snprintf(again, sizeof again, "%s.%d.%u", kLogTmpName, pid, n);
    if (std::strcmp(again, e->d_name) != 0) continue;  // exactly the copy's pattern
    if (kill(pid, 0) != 0 && errno == ESRCH) unlinkat(dir, e->d_name, 0);
  }
  closedir(d);
}

LogTmpFile OpenLogTmpFile() {
  LogTmpFile tmp;
  struct stat st {};
  const LogTmpDir dir = OpenLogTmpDir();
  tmp.fd.fh = OpenLogTmp(dir, st);
  tmp.path = dir.path;
  tmp.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return tmp;
}

ssize_t FileLogSectors::ReadOne(int64_t sector, uint8_t *out) {
  if (sector < 0) {
    errno = EINVAL;
    return -1;
  }
  return PreadFull(fd_, out, kSectorSize, static_cast<uint64_t>(sector) * kSectorSize);
}

bool FileLogSectors::ReadMany(int64_t first, int64_t n, uint8_t *out) {
  if (first < 0 || n <= 0 || first + n > count_) return false;
  const size_t len = static_cast<size_t>(n) * kSectorSize;
  return PreadFull(fd_, out, len, static_cast<uint64_t>(first) * kSectorSize) ==
         static_cast<ssize_t>(len);
}

ssize_t MemLogSectors::ReadOne(int64_t sector, uint8_t *out) {
  if (sector < 0) {
    errno = EINVAL;
    return -1;
  }
  const auto off = static_cast<uint64_t>(sector) * kSectorSize;
  if (off >= size_) return 0;
  const size_t len = std::min<size_t>(kSectorSize, size_ - static_cast<size_t>(off));
  std::memcpy(out, data_ + off, len);
  return static_cast<ssize_t>(len);
}

bool MemLogSectors::ReadMany(int64_t first, int64_t n, uint8_t *out) {
  if (first < 0 || n <= 0 || first + n > Count()) return false;
  std::memcpy(out, data_ + static_cast<size_t>(first) * kSectorSize,
              static_cast<size_t>(n) * kSectorSize);
  return true;
}
