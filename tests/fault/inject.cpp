// SPDX-License-Identifier: Apache-2.0
// Fault injection for the fault sweep (scripts/fault_sweep.py), preloaded
// into either program with LD_PRELOAD. It stands in front of the C library's
// read, pread, write, pwrite, fsync, fdatasync, rename and open calls, and is
// driven by these variables:
//
//   XTL_FAULT_PATH   only calls on a path below this prefix count: a path
//                    argument (open, rename) or the file a descriptor names in
//                    /proc/self/fd. Standard streams, pipes, /dev/urandom and
//                    the loader's own opens therefore never count. Unset, any
//                    descriptor but 0, 1 and 2 counts. Paths must be absolute.
//   XTL_FAULT_COUNT  a file that receives, when the process that loaded the
//                    library ends normally, one line "KIND COUNT" per kind:
//                    the calls of each kind that counted; then "hits COUNT",
//                    the calls acted on (0: the run never reached call N).
//   XTL_FAULT_KIND   read (read, pread), write (write, pwrite), sync (fsync,
//                    fdatasync), rename (rename, renameat, renameat2), open (open, openat).
//   XTL_FAULT_AT     the number N (from 1) of the call of that kind to act on.
//   XTL_FAULT_FROM   when 1, act on every call from the N-th on.
//   XTL_FAULT_DO     fail: the call fails with XTL_FAULT_ERRNO (default EIO)
//                    without being made; short: a read or write of more than
//                    one byte moves half of it; kill: SIGKILL before the call.
//
// The counters live in a shared anonymous mapping made when the library is
// loaded, so worker processes forked afterwards count on the same numbers:
// N is the N-th call of the whole process tree.
#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

enum Kind { kRead, kWrite, kSync, kRename, kOpen, kKinds };
const char *const kKindNames[kKinds + 1] = {"read", "write", "sync", "rename", "open", "hits"};
enum Act { kNone, kFail, kShort, kKill };

struct Config {
  const char *prefix = nullptr;
  size_t prefix_len = 0;
  const char *count_file = nullptr;
  int kind = -1;
  unsigned long at = 0;
  bool from = false;
  Act act = kNone;
  int err = EIO;
  pid_t owner = 0;
};
Config cfg;
unsigned long *counts = nullptr;  // shared with forked children
unsigned long own_counts[kKinds + 1];  // should the mapping fail

template <typename F>
F Real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Below(const char *path) {
  return path != nullptr && strncmp(path, cfg.prefix, cfg.prefix_len) == 0;
}

bool FdCounts(int fd) {
  if (cfg.prefix == nullptr) return fd > 2;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return Below(target);
}

// A path given beside a directory handle (openat, renameat) counts when the
// directory's own path joined with it lies below the prefix.
bool AtCounts(int dirfd, const char *path) {
  if (cfg.prefix == nullptr) return true;
  if (path == nullptr || path[0] == '/' || dirfd == AT_FDCWD || dirfd < 0) return Below(path);
  char link[64], dir[4096], full[8192];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  const ssize_t n = readlink(link, dir, sizeof dir - 1);
  if (n <= 0) return false;
  dir[n] = '\0';
  snprintf(full, sizeof full, "%s/%s", dir, path);
  return Below(full);
}

// Counts the call when it counts, and says what to do with it.
Act Count(int kind, bool counts_here) {
  if (!counts_here) return kNone;
  const unsigned long n = __atomic_add_fetch(&counts[kind], 1, __ATOMIC_SEQ_CST);
  if (kind != cfg.kind || n < cfg.at || (!cfg.from && n != cfg.at)) return kNone;
  __atomic_add_fetch(&counts[kKinds], 1, __ATOMIC_SEQ_CST);
  if (cfg.act == kKill) kill(getpid(), SIGKILL);
  return cfg.act;
}

__attribute__((constructor)) void Init() {
  void *m = mmap(nullptr, sizeof(unsigned long) * (kKinds + 1), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  counts = m != MAP_FAILED ? static_cast<unsigned long *>(m) : own_counts;
  cfg.owner = getpid();
  cfg.prefix = getenv("XTL_FAULT_PATH");
  if (cfg.prefix != nullptr && *cfg.prefix == '\0') cfg.prefix = nullptr;
  if (cfg.prefix != nullptr) cfg.prefix_len = strlen(cfg.prefix);
  cfg.count_file = getenv("XTL_FAULT_COUNT");
  const char *kind = getenv("XTL_FAULT_KIND");
  for (int k = 0; kind != nullptr && k < kKinds; k++)
    if (strcmp(kind, kKindNames[k]) == 0) cfg.kind = k;
  const char *at = getenv("XTL_FAULT_AT");
  cfg.at = at != nullptr ? strtoul(at, nullptr, 10) : 0;
  const char *from = getenv("XTL_FAULT_FROM");
  cfg.from = from != nullptr && strcmp(from, "1") == 0;
  const char *act = getenv("XTL_FAULT_DO");
  if (act != nullptr) {
    if (strcmp(act, "fail") == 0) cfg.act = kFail;
    if (strcmp(act, "short") == 0) cfg.act = kShort;
    if (strcmp(act, "kill") == 0) cfg.act = kKill;
  }
  const char *err = getenv("XTL_FAULT_ERRNO");
  if (err != nullptr) cfg.err = atoi(err);
  if (cfg.at == 0) cfg.kind = -1;
}

__attribute__((destructor)) void Fini() {
  if (cfg.count_file == nullptr || getpid() != cfg.owner) return;
  FILE *f = fopen(cfg.count_file, "w");
  if (f == nullptr) return;
  for (int k = 0; k <= kKinds; k++) fprintf(f, "%s %lu\n", kKindNames[k], counts[k]);
  fclose(f);
}

size_t Shorten(Act a, size_t len) { return a == kShort && len > 1 ? len / 2 : len; }

int OpenMode(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

int DoOpen(const char *name, int dirfd, const char *path, int flags, int mode) {
  const Act a = Count(kOpen, dirfd == -1 ? (cfg.prefix == nullptr || Below(path)) : AtCounts(dirfd, path));
  if (a == kFail) {
    errno = cfg.err;
    return -1;
  }
  if (dirfd == -1) return Real<int (*)(const char *, int, ...)>(name)(path, flags, mode);
  return Real<int (*)(int, const char *, int, ...)>(name)(dirfd, path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  return DoOpen("open", -1, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  return DoOpen("open64", -1, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  return DoOpen("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  return DoOpen("openat64", dirfd, path, flags, mode);
}

#define XTL_FAULT_XFER(name, kind, params, args)                          \
  ssize_t name params {                                                            \
    const Act a = Count(kind, FdCounts(fd));                                       \
    if (a == kFail) {                                                              \
      errno = cfg.err;                                                             \
      return -1;                                                                   \
    }                                                                              \
    len = Shorten(a, len);                                                         \
    return Real<ssize_t(*) params>(#name) args;                                    \
  }

XTL_FAULT_XFER(read, kRead, (int fd, void *buf, size_t len), (fd, buf, len))
XTL_FAULT_XFER(pread, kRead, (int fd, void *buf, size_t len, off_t off),
               (fd, buf, len, off))
XTL_FAULT_XFER(pread64, kRead, (int fd, void *buf, size_t len, off64_t off),
               (fd, buf, len, off))
XTL_FAULT_XFER(write, kWrite, (int fd, const void *buf, size_t len),
               (fd, buf, len))
XTL_FAULT_XFER(pwrite, kWrite, (int fd, const void *buf, size_t len, off_t off),
               (fd, buf, len, off))
XTL_FAULT_XFER(pwrite64, kWrite, (int fd, const void *buf, size_t len, off64_t off), (fd, buf, len, off))

int fsync(int fd) {
  if (Count(kSync, FdCounts(fd)) == kFail) {
    errno = cfg.err;
    return -1;
  }
  return Real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
  if (Count(kSync, FdCounts(fd)) == kFail) {
    errno = cfg.err;
    return -1;
  }
  return Real<int (*)(int)>("fdatasync")(fd);
}

int rename(const char *from, const char *to) {
  if (Count(kRename, cfg.prefix != nullptr ? Below(from) : true) == kFail) {
    errno = cfg.err;
    return -1;
  }
  return Real<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat(int fromfd, const char *from, int tofd, const char *to) {
  if (Count(kRename, AtCounts(fromfd, from)) == kFail) {
    errno = cfg.err;
    return -1;
  }
  return Real<int (*)(int, const char *, int, const char *)>("renameat")(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char *from, int tofd, const char *to, unsigned flags) {
  if (Count(kRename, AtCounts(fromfd, from)) == kFail) {
    errno = cfg.err;
    return -1;
  }
  return Real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(fromfd, from, tofd, to, flags);
}

}  // extern "C"
