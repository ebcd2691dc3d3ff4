// SPDX-License-Identifier: Apache-2.0
// Captured output: what a printer writes to its FILE *, what lands on
// standard output, and the lines of either.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace support {

// What print(FILE *) writes.
template <typename F>
std::string Capture(F &&print) {
  char *data = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&data, &size);
  print(f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

// Sends file descriptor 1 (and stdout) to a scratch file until Take() or
// destruction.
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  CaptureStdout(const CaptureStdout &) = delete;
  CaptureStdout &operator=(const CaptureStdout &) = delete;
  // Ends the capture and returns what was written.
  std::string Take();

 private:
  void Restore();
  int saved_ = -1;
  int fd_ = -1;
};

// The lines of s, without their newlines.
std::vector<std::string> Lines(const std::string &s);

// How often what occurs in s.
size_t CountOf(const std::string &s, const std::string &what);

}  // namespace support
