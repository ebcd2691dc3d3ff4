// SPDX-License-Identifier: Apache-2.0
// Image files: sparse files of a given size, and bytes written and read at
// an offset.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scratch.h"

namespace support {

// Creates (or empties) path and gives it size bytes, all a hole.
void MakeSparse(const std::string &path, uint64_t size);

// Writes len bytes at off, creating path when it is missing.
void WriteAt(const std::string &path, uint64_t off, const void *data, size_t len);

// Up to len bytes at off; fewer at the end of the file, none when it cannot be read.
std::vector<uint8_t> ReadAt(const std::string &path, uint64_t off, size_t len);

// The whole of path, read with plain reads; empty when it cannot be opened or
// read. Never throws: a file of /proc vanishes with its process, and a stream
// of the C++ library reading it then throws from deep inside its buffer.
std::string ReadAll(const std::string &path);

// An expected output the tests keep in a file of data/ (name), byte for byte.
// A missing or empty file stops the test program.
std::string ExpectedText(const std::string &name);

// The size of path in bytes; 0 when it is missing.
uint64_t FileSize(const std::string &path);

// A sparse file of size bytes in dir under a name of its own, removed when it goes.
class ScratchFile {
 public:
  explicit ScratchFile(off_t size, const std::string &dir = ScratchBase());
  ~ScratchFile();
  ScratchFile(const ScratchFile &) = delete;
  ScratchFile &operator=(const ScratchFile &) = delete;
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace support
