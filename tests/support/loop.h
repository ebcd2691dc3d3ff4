// SPDX-License-Identifier: Apache-2.0
// Loop devices that never outlive their test. A device is attached with
// autoclear and held open by its LoopDevice, so the kernel detaches it at its
// last close: when the object goes, on every path, and also when the test
// process is killed.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "scratch.h"

namespace support {

// True under CI=true, where a test that needs root or a loop device fails
// instead of skipping.
bool InCi();

class LoopDevice {
 public:
  LoopDevice() = default;  // none
  // Over an existing file, which stays; read-only when asked.
  explicit LoopDevice(const std::string &back, bool read_only = false);
  // Over a new sparse file of size bytes in dir, removed as soon as the
  // attach is over (the device keeps it open).
  explicit LoopDevice(off_t size, const std::string &dir = ScratchBase());
  ~LoopDevice();
  LoopDevice(const LoopDevice &) = delete;
  LoopDevice &operator=(const LoopDevice &) = delete;
  // The device's path; empty when none could be attached (not root, no loop
  // device free).
  const std::string &Path() const { return dev_; }

 private:
  void Attach(const std::string &back, bool read_only);
  int fd_ = -1;
  std::string dev_;
};

// A loop device of size bytes whose writes fail beyond limit bytes: its back
// file lies on a tmpfs of limit bytes, which is unmounted (lazily) as soon as
// the device is attached and so lives exactly as long as the device.
std::unique_ptr<LoopDevice> FaultDevice(off_t size, off_t limit);

}  // namespace support

// Declares var, a support::LoopDevice made of the remaining arguments; when
// none can be attached the test skips, or fails under CI=true.
#define ATTACH_LOOP(var, ...)                                                    \
  ::support::LoopDevice var(__VA_ARGS__);                                        \
  if (var.Path().empty()) {                                                      \
    if (::support::InCi()) FAIL() << "cannot attach a loop device (" #var ")";   \
    GTEST_SKIP() << "loop devices need root";                                    \
  }
