// SPDX-License-Identifier: Apache-2.0
// Expected output shared by the format tests: what a default format of a
// 2^40-byte device prints (trace and report), kept in a data file.
#pragma once

#include <string>

#include "support.h"

inline const std::string kDefaultOut = support::ExpectedText("format-default.txt");
