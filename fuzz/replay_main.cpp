// SPDX-License-Identifier: Apache-2.0
// Replays fuzz inputs without libFuzzer: every argument is a file or a
// directory of files, each fed once to LLVMFuzzerTestOneInput. A missing
// directory is not an error, so a target may have no crashes/ yet.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {
int RunFile(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 1;
}
}  // namespace

int main(int argc, char **argv) {
  int n = 0;
  for (int i = 1; i < argc; i++) {
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto &e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) n += RunFile(e.path());
    } else if (std::filesystem::is_regular_file(p, ec)) {
      n += RunFile(p);
    }
  }
  std::printf("replayed %d inputs\n", n);
  return 0;
}
