// SPDX-License-Identifier: Apache-2.0
// The check's header rules: the device header, the second header of a
// two-volume layout, and the version 1.1 header, each field against what a
// format writes and what a driver can use. Shared by the check's parts.
#pragma once

#include <cstdint>
#include <string>

#include "check.h"

// Checks the headers of dev into r: version, no_header, two_volumes, one
// field entry per check made and a problem per failed one. Reads the header
// block again through dev.read only for the second header.
void CheckHeaders(const CheckDev &dev, CheckReport &r);

inline std::string Dec(uint64_t v) { return std::to_string(v); }
std::string HexNum(uint64_t v);  // 0x and lower-case hexadecimal digits
