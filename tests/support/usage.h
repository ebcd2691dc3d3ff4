// SPDX-License-Identifier: Apache-2.0
// The usage and help texts of both programs, as their tests expect them, each
// kept byte for byte in a file of its own under data/.
#pragma once

#include <string>

#include "image.h"

namespace support {

// xtl-maint's usage text.
inline const std::string kMaintUsage = ExpectedText("xtl-maint-usage.txt");
// What --help prints: the usage text, the --force, --undo=, undo, image and
// --json lines, then the pointer to the manual page.
inline const std::string kMaintHelp = ExpectedText("xtl-maint-help.txt");
// What "check", "image" and "undo" print when their words are wrong.
inline const std::string kMaintCheckUsage = ExpectedText("xtl-maint-check-usage.txt");
inline const std::string kMaintImageUsage = ExpectedText("xtl-maint-image-usage.txt");
inline const std::string kMaintUndoUsage = ExpectedText("xtl-maint-undo-usage.txt");

// vexbench's usage text, and what --help prints: the usage text with the
// options it does not list, then the pointer to the manual page.
inline const std::string kBenchUsage = ExpectedText("vexbench-usage.txt");
inline const std::string kBenchHelp = ExpectedText("vexbench-help.txt");

}  // namespace support
