// SPDX-License-Identifier: Apache-2.0
#include "scratch.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

namespace support {

std::string ScratchBase() {
  const char *d = std::getenv("XTL_TEST_TMPDIR");
  return d != nullptr && *d != '\0' ? d : "/var/tmp";
}

ScratchDir::ScratchDir() {
  std::string tmpl = ScratchBase() + "/xtl-test-XXXXXX";
  const char *p = mkdtemp(tmpl.data());
  EXPECT_NE(p, nullptr) << tmpl;
  path = p != nullptr ? p : "";
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

}  // namespace support
