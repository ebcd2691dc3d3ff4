// Helpers of the vexbench tests: stdout capture, temp files, loop devices,
// and running the built program.
#pragma once

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Directory of the scratch files: $XTL_TEST_TMPDIR when set (CI gives each
// run a directory of its own, so that it can tell what a run left behind),
// else /var/tmp (not tmpfs: O_DIRECT and loop devices want a real file system).
inline std::string ScratchDir() {
  const char *d = std::getenv("XTL_TEST_TMPDIR");
  return d != nullptr && *d != '\0' ? d : "/var/tmp";
}

// Redirects file descriptor 1 into a temp file until Take() or destruction.
class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    std::string path = ScratchDir() + "/vexbench-out-XXXXXX";
    fd_ = mkstemp(path.data());
    unlink(path.c_str());
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

// A sparse file in dir, removed on destruction.
class TempFile {
 public:
  explicit TempFile(off_t size, const std::string &dir = ScratchDir()) {
    std::string path = dir + "/vexbench-test-XXXXXX";
    int fd = mkstemp(path.data());
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
      EXPECT_EQ(ftruncate(fd, size), 0);
      close(fd);
    }
    path_ = path;
  }
  ~TempFile() { unlink(path_.c_str()); }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

// A loop device over a sparse file of size bytes in dir (root only; Path() is
// empty when none could be attached). Nothing outlives the test, however it
// ends: the back file is removed as soon as the attach is over (the device
// keeps it open), and the device is attached with autoclear and held open by
// this object, so the kernel detaches it at its last close, also when the test
// process is killed.
class LoopDevice {
 public:
  LoopDevice() = default;  // none
  explicit LoopDevice(off_t size, const std::string &dir = ScratchDir()) {
    TempFile file(size, dir);
    int back = open(file.Path().c_str(), O_RDWR | O_CLOEXEC);
    int lc = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    for (int attempt = 0; back >= 0 && lc >= 0 && attempt < 20; attempt++) {
      int n = ioctl(lc, LOOP_CTL_GET_FREE);
      if (n < 0) break;
      std::string dev = "/dev/loop" + std::to_string(n);
      int fd = open(dev.c_str(), O_RDWR | O_CLOEXEC);
      loop_config cfg{};
      cfg.fd = static_cast<__u32>(back);
      cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      std::snprintf(reinterpret_cast<char *>(cfg.info.lo_file_name), LO_NAME_SIZE, "%s",
                    file.Path().c_str());
      if (fd >= 0 && ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
        fd_ = fd;
        dev_ = dev;
        break;
      }
      if (fd >= 0) close(fd);
      usleep(100000);  // another process took that device first
    }
    if (lc >= 0) close(lc);
    if (back >= 0) close(back);
  }
  ~LoopDevice() {
    if (fd_ >= 0) close(fd_);  // the last close detaches the device
  }
  LoopDevice(const LoopDevice &) = delete;
  LoopDevice &operator=(const LoopDevice &) = delete;
  const std::string &Path() const { return dev_; }

 private:
  int fd_ = -1;
  std::string dev_;
};

// A loop device of size bytes whose writes fail beyond limit bytes: its back
// file lies on a tmpfs of limit bytes, which is unmounted (lazily) as soon as
// the device is attached and so lives exactly as long as the device.
inline std::unique_ptr<LoopDevice> FaultDevice(off_t size, off_t limit) {
  std::string dir = ScratchDir() + "/vexbench-test-XXXXXX";
  auto dev = std::make_unique<LoopDevice>();
  if (mkdtemp(dir.data()) == nullptr) return dev;
  std::string opts = "size=" + std::to_string(limit);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0) {
    dev = std::make_unique<LoopDevice>(size, dir);
    umount2(dir.c_str(), MNT_DETACH);
  }
  rmdir(dir.c_str());
  return dev;
}

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
