// SPDX-License-Identifier: Apache-2.0
// Arbitrary command lines through the argument scan (no dispatch): words are
// separated by NUL bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "fatal.h"
#include "xtl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> words{"xtl-maint"};
  std::string word;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  try {
    ScanArgs(static_cast<int>(words.size()), argv.data());
  } catch (const FatalError &) {
  }
  return 0;
}
