// SPDX-License-Identifier: Apache-2.0
// Helpers of the xtl-maint unit tests: run a command line in-process and
// catch the failure path, and a bare version 2.0 header. The helpers of
// every test (scratch folders, image files, captured output, usage texts,
// expected failures) come from the support library, named unqualified here.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "fatal.h"
#include "support.h"
#include "xtl.h"

using namespace support;

struct RunResult {
  int status = 0;
  std::string out;  // the fatal message, when it went to stdout
  std::string err;  // the fatal message, when it went to stderr
};

// Scans and dispatches a command line as main() would, without exiting.
inline RunResult RunLine(std::vector<std::string> words) {
  words.insert(words.begin(), "xtl-maint");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  RunResult r;
  if (auto e = Caught<FatalError>(
          [&] { r.status = RunMaint(static_cast<int>(words.size()), argv.data()); })) {
    r.status = e->status;
    (e->to_stderr ? r.err : r.out) = e->text;
  }
  return r;
}

// Builds a version 2.0 header with the tag set and everything else zero.
inline DevHdrBuf MakeV20() {
  DevHdrBuf h{};
  std::snprintf(h.h_20x.Str, sizeof h.h_20x.Str, "XTL:2.0");
  return h;
}
