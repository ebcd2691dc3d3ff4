// SPDX-License-Identifier: Apache-2.0
#include "loop.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "image.h"

namespace support {

bool InCi() {
  const char *ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

LoopDevice::LoopDevice(const std::string &back, bool read_only) { Attach(back, read_only); }

LoopDevice::LoopDevice(off_t size, const std::string &dir) {
  ScratchFile file(size, dir);
  Attach(file.Path(), false);
}

LoopDevice::~LoopDevice() {
  if (fd_ >= 0) close(fd_);  // the last close detaches the device
}

void LoopDevice::Attach(const std::string &back, bool read_only) {
  const int mode = (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  int bfd = open(back.c_str(), mode);
  int lc = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  for (int attempt = 0; bfd >= 0 && lc >= 0 && attempt < 20; attempt++) {
    int n = ioctl(lc, LOOP_CTL_GET_FREE);
    if (n < 0) break;
    std::string dev = "/dev/loop" + std::to_string(n);
    int fd = open(dev.c_str(), mode);
    loop_config cfg{};
    cfg.fd = static_cast<__u32>(bfd);
    cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0);
    std::snprintf(reinterpret_cast<char *>(cfg.info.lo_file_name), LO_NAME_SIZE, "%s",
                  back.c_str());
    if (fd >= 0 && ioctl(fd, LOOP_CONFIGURE, &cfg) == 0) {
      fd_ = fd;
      dev_ = dev;
      break;
    }
    if (fd >= 0) close(fd);
    usleep(100000);  // another process took that device first
  }
  if (lc >= 0) close(lc);
  if (bfd >= 0) close(bfd);
}

std::unique_ptr<LoopDevice> FaultDevice(off_t size, off_t limit) {
  std::string dir = ScratchBase() + "/xtl-test-XXXXXX";
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

}  // namespace support
