// Helpers of the vexbench tests: stdout capture, temp files, loop devices,
// and running the built program.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Redirects file descriptor 1 into a temp file until Take() or destruction.
class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    char path[] = "/var/tmp/vexbench-out-XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    dup2(fd_, 1);
  }
  ~CaptureStdout() { Restore(); }
  std::string Take() {
    Restore();
    std::string out;
    lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  int fd_ = -1;
};

// A sparse file under /var/tmp (not tmpfs), removed on destruction.
class TempFile {
 public:
  explicit TempFile(off_t size) {
    char path[] = "/var/tmp/vexbench-test-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
      EXPECT_EQ(ftruncate(fd, size), 0);
      close(fd);
    }
    path_ = path;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<std::string> Lines(const std::string &s) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t nl = s.find('\n', pos);
    if (nl == std::string::npos) nl = s.size();
    out.push_back(s.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return out;
}

inline size_t CountOf(const std::string &s, const std::string &what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
  return n;
}
