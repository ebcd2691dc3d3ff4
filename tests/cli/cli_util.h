// Whole-program test helpers: run a built binary as a child and capture its
// output and status; scratch directories off tmpfs; sparse images; loop
// devices that are always detached.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace cli {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Which streams of the child go to a pseudo-terminal (raw mode, so bytes
// arrive as written) instead of a pipe; what the terminal shows is returned
// as err (Tty::Err) or as out (Tty::OutErr, both streams in order).
enum class Tty { None, Err, OutErr };

// Opens a pseudo-terminal pair in raw mode; false when there is none.
inline bool OpenPty(int &master, int &slave) {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return false;
  const char *name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
  termios tio{};
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    close(master);
    if (slave >= 0) close(slave);
    return false;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  return true;
}

// Runs argv[0] with the given arguments; stdin is /dev/null.
inline Result Run(const std::vector<std::string> &args, Tty tty = Tty::None) {
  int outp[2], errp[2];
  int master = -1, slave = -1;
  if (pipe(outp) != 0 || pipe(errp) != 0) return {};
  if (tty != Tty::None && !OpenPty(master, slave)) return {};
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int nul = open("/dev/null", O_RDONLY);
    dup2(nul, 0);
    dup2(tty == Tty::OutErr ? slave : outp[1], 1);
    dup2(tty != Tty::None ? slave : errp[1], 2);
    close(outp[0]);
    close(errp[0]);
    if (tty != Tty::None) {
      close(master);
      close(slave);
    }
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outp[1]);
  close(errp[1]);
  Result r;
  pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
  if (tty != Tty::None) {
    // The terminal's output ends with an error (EIO) once the child is gone.
    close(slave);
    close(tty == Tty::OutErr ? outp[0] : errp[0]);
    fds[tty == Tty::OutErr ? 0 : 1].fd = master;
  }
  int open_fds = 2;
  char chunk[65536];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

inline bool InCi() {
  const char *ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// A per-test directory below /var/tmp (or $XTL_TEST_TMPDIR, which CI sets to a
// directory of its run): loop devices and O_DIRECT want a real file system,
// not tmpfs.
struct TempDir {
  std::string path;
  TempDir() {
    const char *env = std::getenv("XTL_TEST_TMPDIR");
    base_ = env != nullptr && *env != '\0' ? env : "/var/tmp";
    std::string tmpl = base_ + "/xtl-cli-XXXXXX";
    char *p = mkdtemp(tmpl.data());
    path = p != nullptr ? p : base_;
  }
  ~TempDir() {
    if (path != base_) std::system(("rm -rf '" + path + "'").c_str());
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string File(const std::string &name) const { return path + "/" + name; }

 private:
  std::string base_;
};

inline void MakeSparse(const std::string &path, uint64_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  close(fd);
}

inline void WriteAt(const std::string &path, uint64_t off, const void *data, size_t len) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, data, len, static_cast<off_t>(off)), static_cast<ssize_t>(len));
  close(fd);
}

inline std::vector<uint8_t> ReadAt(const std::string &path, uint64_t off, size_t len) {
  std::vector<uint8_t> data(len);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  ssize_t n = pread(fd, data.data(), len, static_cast<off_t>(off));
  close(fd);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

inline uint64_t FileSize(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

inline std::string Shell(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, n);
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A loop device over a backing file, detached when the object goes. Use
// ATTACH_LOOP so a test skips outside CI when it cannot attach, and fails in CI.
struct LoopDevice {
  std::string dev;
  std::string back;
  explicit LoopDevice(const std::string &backing) : back(backing) {
    if (geteuid() != 0) return;
    for (int attempt = 0; attempt < 5 && dev.empty(); attempt++) {
      dev = Shell("losetup --find --show '" + backing + "' 2>/dev/null");
      if (dev.rfind("/dev/loop", 0) != 0) {
        dev.clear();
        usleep(200000);
      }
    }
  }
  // Detaches every device over the backing file, also one that an attempt
  // attached without reporting it.
  ~LoopDevice() {
    if (geteuid() != 0) return;
    Shell("losetup -l -n -O NAME -j '" + back + "' | xargs -r -n1 losetup -d 2>&1");
  }
  LoopDevice(const LoopDevice &) = delete;
  LoopDevice &operator=(const LoopDevice &) = delete;
};

#define ATTACH_LOOP(var, backing)                                               \
  cli::LoopDevice var(backing);                                                 \
  if (var.dev.empty()) {                                                        \
    if (cli::InCi()) FAIL() << "cannot attach a loop device over " << (backing); \
    GTEST_SKIP() << "loop devices need root";                                   \
  }

}  // namespace cli
