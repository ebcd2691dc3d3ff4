// SPDX-License-Identifier: Apache-2.0
#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace support {

void MakeSparse(const std::string &path, uint64_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
  close(fd);
}

void WriteAt(const std::string &path, uint64_t off, const void *data, size_t len) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(pwrite(fd, data, len, static_cast<off_t>(off)), static_cast<ssize_t>(len)) << path;
  close(fd);
}

std::vector<uint8_t> ReadAt(const std::string &path, uint64_t off, size_t len) {
  std::vector<uint8_t> data(len);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t n = pread(fd, data.data(), len, static_cast<off_t>(off));
  close(fd);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

std::string ReadAll(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) out.clear();
  return out;
}

std::string ExpectedText(const std::string &name) {
  std::string text = ReadAll(XTL_TEST_DATA "/" + name);
  if (text.empty()) {
    std::fprintf(stderr, "no expected output in %s\n", (XTL_TEST_DATA "/" + name).c_str());
    std::abort();
  }
  return text;
}

uint64_t FileSize(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

ScratchFile::ScratchFile(off_t size, const std::string &dir) {
  std::string path = dir + "/xtl-test-XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  if (fd >= 0) {
    EXPECT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  path_ = path;
}

ScratchFile::~ScratchFile() { unlink(path_.c_str()); }

}  // namespace support
