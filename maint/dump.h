// SPDX-License-Identifier: Apache-2.0
// What the dump's text and its JSON document share: the refusals and entry
// count of the header, the block reads of the walk and the Next column.
#pragma once

#include <cstdint>
#include <string>

#include "wtblk.h"
#include "xtl.h"

// Metadata entries per metadata block of the device header, after the
// dump's refusals (fatal: another version, another MetaVersion, BitSizes
// 0/0/0, ClusterSize 0).
int DumpMeta1Cnt(const Device &dev);
// The block at `at` through read, at the offset the header's mapping gives;
// fatal ("Error reading block - %d\n") for an address no device holds.
const uint8_t *DumpRead(const Device &dev, const WtBlkAt &at, BlockSource read, void *ctx);
// The offset the Next column shows for header h of the segment at Off0.
uint32_t DumpNextOff(const Device &dev, const BLK_HDR_H_20x &h, int Meta1Cnt, int Off0);
// Str as text: up to its first NUL, at most 32 characters.
std::string StrText(const char (&str)[32]);
