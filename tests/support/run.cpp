// SPDX-License-Identifier: Apache-2.0
#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace support {
namespace {

// Opens a pseudo-terminal pair in raw mode, both ends close-on-exec.
bool OpenPty(int &master, int &slave) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  const char *name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
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

// Standard input holding text (a memory file, so a large one cannot block).
int InputFd(const std::string &text) {
  if (text.empty()) return open("/dev/null", O_RDONLY | O_CLOEXEC);
  int fd = memfd_create("stdin", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Forks and execs argv[0] with the three descriptors as 0, 1 and 2; every
// other descriptor of the caller's is close-on-exec.
pid_t Start(const std::vector<std::string> &argv, int in, int out, int err, unsigned timeout) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (timeout != 0) alarm(timeout);  // a run that hangs ends and fails its test
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// The descriptors of one run: the parent's read ends ([0] becomes out, [1]
// err), the child's write ends and standard input, and the terminal's master
// end that holds the input (kept open until the end).
struct Fds {
  int rd[2] = {-1, -1};
  int wr_out = -1, wr_err = -1;
  int in = -1, tty_in = -1;
};

bool OpenPipe(int &rd, int &wr) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  rd = p[0];
  wr = p[1];
  return true;
}

bool OpenStreams(Fds &f, Streams streams, const std::string &input) {
  switch (streams) {
    case Streams::TtyIn:
      if (!OpenPty(f.tty_in, f.in)) return false;
      if (write(f.tty_in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(f.tty_in);
        close(f.in);
        return false;
      }
      [[fallthrough]];
    case Streams::Separate:
    case Streams::TtyErr:
      if (!OpenPipe(f.rd[0], f.wr_out)) return false;
      return streams != Streams::TtyErr ? OpenPipe(f.rd[1], f.wr_err)
                                        : OpenPty(f.rd[1], f.wr_err);
    case Streams::Merged:
      if (!OpenPipe(f.rd[0], f.wr_out)) return false;
      f.wr_err = f.wr_out;
      return true;
    case Streams::TtyBoth:
      if (!OpenPty(f.rd[0], f.wr_out)) return false;
      f.wr_err = f.wr_out;
      return true;
  }
  return false;
}

// Reads both ends until each is closed. A terminal's output ends with an
// error (EIO) once the child is gone.
void Drain(const int (&rd)[2], Result &r) {
  pollfd fds[2] = {{rd[0], POLLIN, 0}, {rd[1], POLLIN, 0}};
  int open_fds = rd[1] >= 0 ? 2 : 1;
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
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
}

}  // namespace

pid_t Spawn(const std::vector<std::string> &argv, int out_fd, unsigned timeout) {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = Start(argv, in, out_fd, out_fd, timeout);
  if (in >= 0) close(in);
  return pid;
}

Result Run(const std::vector<std::string> &argv, Streams streams, unsigned timeout,
           const std::string &input) {
  Result r;
  Fds f;
  if (!OpenStreams(f, streams, input)) return r;
  if (f.in < 0) f.in = InputFd(input);
  pid_t pid = Start(argv, f.in, f.wr_out, f.wr_err, timeout);
  if (f.in >= 0) close(f.in);
  close(f.wr_out);
  if (f.wr_err != f.wr_out) close(f.wr_err);
  Drain(f.rd, r);
  r.status = pid > 0 ? Wait(pid) : -1;
  if (f.tty_in >= 0) close(f.tty_in);
  return r;
}

std::string Shell(const std::string &cmd) {
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

}  // namespace support
