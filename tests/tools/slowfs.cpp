// SPDX-License-Identifier: Apache-2.0
// A FUSE file system with one file, "dev", whose bytes live in a backing
// file (on tmpfs for the benchmarks) and whose every read waits a set delay
// before it is answered: a loop device over it (losetup --direct-io=on)
// answers like flash, slowly one at a time and many at once.
//   slowfs BACKING MOUNTPOINT [--delay-us=N] [--write-delay-us=N]
//          [--spin-us=N] [--threads=N] [-f]
// The file is opened with direct_io, so no page cache sits in between. Each
// read is read from the backing file when it arrives and answered when its
// delay, measured on the monotonic clock from its arrival, has passed: the
// thread sleeps to the deadline (clock_nanosleep, timer slack 1 ns); a read
// waiting alone wakes early by the sleeps' recent lateness (at most
// --spin-us, default 50) and polls the clock for the rest. Many reads wait
// at once: the session loop runs up to --threads threads (default 64), each
// with its own /dev/fuse descriptor, and the kernel is told to keep up to
// 128 asynchronous requests in flight. Writes go straight through unless --write-delay-us.
// Without -f the program returns once the file system is mounted and serves
// it in the background until it is unmounted (fusermount3 -u).
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)
#include <fuse3/fuse_lowlevel.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr fuse_ino_t kFileIno = 2;
constexpr const char *kFileName = "dev";
constexpr unsigned kMaxBackground = 128;

struct Options {
  std::string backing;
  std::string mountpoint;
  long delay_ns = 80'000;
  long write_delay_ns = 0;
  long spin_ns = 0;
  unsigned threads = 64;
  bool foreground = false;
};

Options g_opt;
int g_fd = -1;
off_t g_size = 0;

timespec Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

timespec Add(timespec t, long ns) {
  t.tv_nsec += ns;
  while (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
  return t;
}

bool Before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// How late a sleep ends past its wake-up time, as the latest sleeps went
// (a moving average, at most --spin-us): sleeps are set that much early and
// the rest is spent polling the clock, so that a read ends near its deadline
// without a thread polling the whole delay. Only a read that waits alone
// polls: with others waiting the cores are better left to the requests.
std::atomic<long> g_early_ns{20'000};
std::atomic<int> g_waiting{0};

// Waits until `start` + `ns`.
void WaitFrom(timespec start, long ns) {
  if (ns <= 0) return;
  const timespec deadline = Add(start, ns);
  const bool alone = g_waiting.fetch_add(1, std::memory_order_relaxed) == 0;
  const long estimate = g_early_ns.load(std::memory_order_relaxed);
  const long early = alone ? std::min({estimate, g_opt.spin_ns, ns}) : 0;
  const timespec wake = Add(start, ns - early);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
  }
  const timespec woke = Now();
  const long late = (woke.tv_sec - wake.tv_sec) * 1'000'000'000 + woke.tv_nsec - wake.tv_nsec;
  const long next = estimate + (std::min(late, g_opt.spin_ns) - estimate) / 8;
  g_early_ns.store(std::max(next, 0L), std::memory_order_relaxed);
  while (Before(Now(), deadline)) {
  }
  g_waiting.fetch_sub(1, std::memory_order_relaxed);
}

void FillAttr(fuse_ino_t ino, struct stat *st) {
  *st = {};
  st->st_ino = ino;
  if (ino == FUSE_ROOT_ID) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = g_size;
    st->st_blksize = 4096;
    st->st_blocks = g_size / 512;
  }
}

void Init(void *, fuse_conn_info *conn) {
  conn->max_background = kMaxBackground;
  conn->congestion_threshold = kMaxBackground * 3 / 4;
  conn->want |= conn->capable & (FUSE_CAP_ASYNC_DIO | FUSE_CAP_ASYNC_READ);
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, kFileName) != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param e{};
  e.ino = kFileIno;
  e.attr_timeout = 3600;
  e.entry_timeout = 3600;
  FillAttr(kFileIno, &e.attr);
  fuse_reply_entry(req, &e);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
  if (ino != FUSE_ROOT_ID && ino != kFileIno) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st;
  FillAttr(ino, &st);
  fuse_reply_attr(req, &st, 3600);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
  if (ino != kFileIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info *) {
  const timespec start = Now();
  thread_local std::vector<char> buf;
  if (buf.size() < size) buf.resize(size);
  const ssize_t n = pread(g_fd, buf.data(), size, off);
  if (n < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  WaitFrom(start, g_opt.delay_ns);
  fuse_reply_buf(req, buf.data(), static_cast<size_t>(n));
}

void Write(fuse_req_t req, fuse_ino_t, const char *data, size_t size, off_t off,
           fuse_file_info *) {
  const timespec start = Now();
  const ssize_t n = pwrite(g_fd, data, size, off);
  if (n < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  WaitFrom(start, g_opt.write_delay_ns);
  fuse_reply_write(req, static_cast<size_t>(n));
}

void Fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info *) {
  fuse_reply_err(req, (datasync ? fdatasync(g_fd) : fsync(g_fd)) == 0 ? 0 : errno);
}

void Flush(fuse_req_t req, fuse_ino_t, fuse_file_info *) { fuse_reply_err(req, 0); }

// Discards of the loop device arrive as hole punches.
void Fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t off, off_t len, fuse_file_info *) {
  fuse_reply_err(req, fallocate(g_fd, mode, off, len) == 0 ? 0 : errno);
}

// Takes "NAME<number>" into *value (0 to max); false when arg is not NAME.
bool ParseNum(const char *arg, const char *name, long max, long *value) {
  const size_t len = std::strlen(name);
  if (std::strncmp(arg, name, len) != 0) return false;
  char *end = nullptr;
  const long v = std::strtol(arg + len, &end, 10);
  if (end == arg + len || *end != '\0' || v < 0 || v > max) {
    std::fprintf(stderr, "slowfs: bad value in %s\n", arg);
    std::exit(1);
  }
  *value = v;
  return true;
}

void Usage() {
  std::fprintf(stderr, "usage: slowfs BACKING MOUNTPOINT [--delay-us=N] [--write-delay-us=N]"
                       " [--spin-us=N] [--threads=N] [-f]\n");
  std::exit(1);
}

void ParseArgs(int argc, char **argv) {
  std::vector<std::string> paths;
  long delay = 80, write_delay = 0, spin = 50, threads = 64;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (ParseNum(a, "--delay-us=", 1'000'000, &delay) ||
        ParseNum(a, "--write-delay-us=", 1'000'000, &write_delay) ||
        ParseNum(a, "--spin-us=", 1'000'000, &spin) || ParseNum(a, "--threads=", 1000, &threads))
      continue;
    if (std::strcmp(a, "-f") == 0)
      g_opt.foreground = true;
    else if (a[0] == '-')
      Usage();
    else
      paths.emplace_back(a);
  }
  if (paths.size() != 2 || threads < 1) Usage();
  g_opt = {paths[0], paths[1], delay * 1000, write_delay * 1000, spin * 1000,
           static_cast<unsigned>(threads), g_opt.foreground};
}

int Serve(fuse_session *se) {
  // Worker threads inherit the slack: sleeps end when they are due.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  fuse_loop_config *cfg = fuse_loop_cfg_create();
  fuse_loop_cfg_set_clone_fd(cfg, 1);
  fuse_loop_cfg_set_max_threads(cfg, g_opt.threads);
  fuse_loop_cfg_set_idle_threads(cfg, g_opt.threads);
  const int rc = fuse_session_loop_mt(se, cfg);
  fuse_loop_cfg_destroy(cfg);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  ParseArgs(argc, argv);
  g_fd = open(g_opt.backing.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st;
  if (g_fd < 0 || fstat(g_fd, &st) != 0) {
    std::fprintf(stderr, "slowfs: %s: %s\n", g_opt.backing.c_str(), std::strerror(errno));
    return 1;
  }
  g_size = st.st_size;
  fuse_lowlevel_ops ops{};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Flush;
  ops.fsync = Fsync;
  ops.fallocate = Fallocate;
  char arg0[] = "slowfs", opt[] = "-o", fsopts[] = "fsname=slowfs,subtype=slowfs";
  char *fargv[] = {arg0, opt, fsopts};
  fuse_args args = FUSE_ARGS_INIT(3, fargv);
  fuse_session *se = fuse_session_new(&args, &ops, sizeof(ops), nullptr);
  fuse_opt_free_args(&args);
  if (se == nullptr || fuse_session_mount(se, g_opt.mountpoint.c_str()) != 0) {
    std::fprintf(stderr, "slowfs: cannot mount on %s\n", g_opt.mountpoint.c_str());
    return 1;
  }
  int rc = 1;
  if (fuse_daemonize(g_opt.foreground ? 1 : 0) == 0 && fuse_set_signal_handlers(se) == 0) {
    rc = Serve(se) == 0 ? 0 : 1;
    fuse_remove_signal_handlers(se);
  }
  fuse_session_unmount(se);
  fuse_session_destroy(se);
  return rc;
}
