// SPDX-License-Identifier: Apache-2.0
#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include "scratch.h"

namespace support {

CaptureStdout::CaptureStdout() {
  std::fflush(stdout);
  saved_ = dup(1);
  std::string path = ScratchBase() + "/xtl-out-XXXXXX";
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  unlink(path.c_str());
  dup2(fd_, 1);
}

CaptureStdout::~CaptureStdout() {
  Restore();
  if (fd_ >= 0) close(fd_);
}

std::string CaptureStdout::Take() {
  Restore();
  std::string out;
  lseek(fd_, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

void CaptureStdout::Restore() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
}

std::vector<std::string> Lines(const std::string &s) {
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

size_t CountOf(const std::string &s, const std::string &what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
  return n;
}

}  // namespace support
