// SPDX-License-Identifier: Apache-2.0
// The format report: thousands separators, the two unit scalings, and the
// fixed-layout report printed after the version 2.0 layout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "xtl.h"

// text: at least 24 characters. Returns text.
char *FmtComma(uint64_t x, char *text);
int32_t GiB(uint64_t x);
const char *GiB_u(uint64_t x);
int32_t GB(uint64_t x);
const char *GB_u(uint64_t x);
void PrintFormatReport(FILE *out, uint64_t devSize, uint64_t wtBlkSz, uint32_t wtSegSz,
                       const std::string &opts, const DEV_HDR_20 &h);
