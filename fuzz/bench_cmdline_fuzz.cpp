// SPDX-License-Identifier: Apache-2.0
// Option scanner of vexbench: the input is a list of arguments separated by
// newlines or NUL bytes. Each input is scanned and checked like a command line;
// nothing is opened and nothing forks.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"
#include "fatal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args{"vexbench"};
  std::string cur;
  for (size_t i = 0; i < size; i++) {
    char c = static_cast<char>(data[i]);
    if (c == '\n' || c == '\0') {
      args.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) args.push_back(cur);
  std::vector<const char *> argv;
  for (const auto &a : args) argv.push_back(a.c_str());

  ResetSettings();
  try {
    ParseArgs(static_cast<int>(argv.size()), argv.data());
    CheckSettings();
  } catch (const BenchFatal &) {
    // refused: the message is the program's answer
  }
  ResetSettings();
  return 0;
}
