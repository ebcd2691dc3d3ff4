// SPDX-License-Identifier: Apache-2.0
// The built xtl-maint as the whole-program tests run it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace cli {

inline const std::string kBin = XTL_MAINT_BIN;

// What `status` prints for support::V20Header() of the default size.
inline const std::string kV20Status = support::ExpectedText("status-v20.txt");

// xtl-maint with args; a run that hangs ends after five minutes.
inline support::Result Maint(std::vector<std::string> args,
                             support::Streams s = support::Streams::Separate,
                             const std::string &input = "") {
  args.insert(args.begin(), kBin);
  return support::Run(args, s, 300, input);
}

// xtl-maint cmd args...
inline support::Result MaintCmd(const char *cmd, std::vector<std::string> args) {
  args.insert(args.begin(), cmd);
  return Maint(args);
}

// printf into a string (numbers as the programs print them).
[[gnu::format(printf, 1, 2)]] inline std::string Fmt(const char *fmt, ...) {
  char s[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(s, sizeof s, fmt, ap);
  va_end(ap);
  return s;
}

}  // namespace cli
