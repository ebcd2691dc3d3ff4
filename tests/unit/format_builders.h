// SPDX-License-Identifier: Apache-2.0
// Helpers of the format tests: a fixed random source, in-process runs of a
// format command line with the trace captured, and header field access.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/ddc.h"
#include "format/fmtbits.h"
#include "format/format.h"
#include "format/hdr20.h"
#include "format/layout.h"
#include "format/report.h"
#include "format/volume.h"
#include "test_util.h"

namespace fmt_test {

// Bytes 0x40, 0x41, ... : the signature bytes 12..31 of a header built from
// this source are 0x40..0x53.
inline std::vector<uint8_t> KnownRand() {
  std::vector<uint8_t> r(32);
  for (size_t i = 0; i < r.size(); i++) r[i] = static_cast<uint8_t>(0x40 + i);
  return r;
}

// The device of the format under test: the in-process runs format on it, and
// the tests read its size, handle and header.
inline Device &TestDev() {
  static Device d;
  return d;
}

// Fresh settings and format state, a sparse image of 2^40 bytes, and the
// random source pointed at a file of known bytes; the source is restored
// afterwards.
class FormatTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string rand_path;
  std::string image = dir.File("dev.img");
  Device &dev = TestDev();

  void SetUp() override {
    ResetSettings();
    dev = Device{};
    MakeSparse(image, 1ULL << 40);
    rand_path = dir.File("rand");
    SetRandBytes(KnownRand());
  }
  void TearDown() override {
    SetRandSource("");
    dev = Device{};
  }
  void SetRandBytes(const std::vector<uint8_t> &bytes) {
    unlink(rand_path.c_str());
    WriteAt(rand_path, 0, bytes.data(), bytes.size());
    if (bytes.empty()) WriteAt(rand_path, 0, nullptr, 0);
    SetRandSource(rand_path);
  }
};

// The parameters of one format, built as a command line would give them:
// the options' defaults (read from the settings, which FormatTest resets),
// then each field that a test names, e.g.
//   Params().With(&P::Comp, 200).With(&P::Vm2Flg, true)
// Plain() applies the defaults of the single-volume paths, as the driver does.
using P = FormatParams;
class Params {
 public:
  template <typename T, typename V>
  Params &With(T P::*field, V value) {
    given_.*field = static_cast<T>(value);
    return *this;
  }
  P Plain() const { return PlainFormatParams(given_); }

 private:
  P given_ = ReadFormatParams();
};

struct FmtRun {
  std::string out;   // the trace and report
  bool failed = false;
  std::string msg;   // the failure message
  bool msg_stderr = false;
};

// Runs f(FILE*) with its output captured and a failure caught.
template <typename F>
FmtRun RunCaptured(F &&f) {
  FmtRun r;
  r.out = Capture([&](FILE *out) {
    if (auto e = Caught<FatalError>([&] { f(out); })) {
      r.failed = true;
      r.msg = e->text;
      r.msg_stderr = e->to_stderr;
    }
  });
  return r;
}

// Scans a command line ("format" and its words) and runs DoFormat in process.
// With --force: these tests format their images again and again, and the
// guard would ask when the test runs on a terminal (its own test is a
// whole-program one).
inline FmtRun RunFormat(std::vector<std::string> words) {
  words.insert(words.begin(), "xtl-maint");
  words.emplace_back("--force");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  ScanArgs(static_cast<int>(words.size()), argv.data());
  TestDev() = Device{};
  return RunCaptured([](FILE *out) { DoFormat(out, TestDev()); });
}

inline DEV_HDR_20 ReadHdr20(const std::string &path, uint64_t off = 0) {
  DEV_HDR_20 h{};
  int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, &h, sizeof h, static_cast<off_t>(off)) != static_cast<ssize_t>(sizeof h))
      std::memset(&h, 0, sizeof h);
    close(fd);
  }
  return h;
}

inline std::string Bits(const uint8_t *b) {
  return std::to_string(b[0]) + "/" + std::to_string(b[1]) + "/" + std::to_string(b[2]) + "/" +
         std::to_string(b[3]);
}

}  // namespace fmt_test
