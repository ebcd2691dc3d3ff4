// SPDX-License-Identifier: Apache-2.0
// Scratch folders. Everything a test writes lies below $XTL_TEST_TMPDIR when
// set (CI gives each run a directory of its own, so that it can tell what a
// run left behind), else below /var/tmp: not tmpfs, since O_DIRECT and loop
// devices want a real file system.
#pragma once

#include <string>

namespace support {

// The directory scratch folders and files go in.
std::string ScratchBase();

// A folder of its own for one test, removed with its files when it goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  std::string File(const std::string &name) const { return path + "/" + name; }

  std::string path;
};

}  // namespace support
