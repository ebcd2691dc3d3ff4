// SPDX-License-Identifier: Apache-2.0
// What every format path builds on: the random signature bytes, the version
// 2.0 header fields that all volumes share, the option words and bits, the
// header write, and the refusals of meaningless geometry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "format/params.h"
#include "xtl.h"

// ---------------------------------------------------------------------------
// Random signature bytes

// Fills len bytes from the random source ("/dev/urandom"). A failure prints
// the layout's messages on standard error, or the volume set-up's on
// standard output.
enum class RandMsgs { Layout, Volume };
void LoadRand(uint8_t *dst, size_t len, RandMsgs msgs);
// Tests point the random source at a file of their own; "" restores
// /dev/urandom. The messages keep naming /dev/urandom.
void SetRandSource(const std::string &path);

// ---------------------------------------------------------------------------
// The version 2.0 header

// What the volume headers of a device differ in among the fields that every
// version 2.0 header carries. Block counts in 4096-byte blocks.
struct DevHdr20Fields {
  uint8_t BitSizes[4] = {};
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;
  uint64_t WtBlkBytes = 0;   // write-block size in bytes
  uint32_t FeatureBits = 0;  // the whole word
};
// Clears DevHdr and fills it as a version 2.0 header: the tag, bytes 12..31
// of Str from RandStr (32 bytes), the given fields, and from the parameters
// MetaVersion, Block0Off, WriteSegmentSize, WtBlkStripe, the ECC fields,
// MetaDupeCnt and the hash types. The caller adds the fields of its own path,
// then the checksum. Returns the version 2.0 view of DevHdr.
DEV_HDR_20 &BuildDevHdr20(DevHdrBuf &DevHdr, const FormatParams &p, const DevHdr20Fields &f,
                          const uint8_t *RandStr);
// The options text of a version 2.0 header ("HASH_META" and the words; " VM2"
// only for the layout's second volume) and the feature bits of the options
// (without 0x0001, 0x2000 and migration).
std::string FormatOpts(const FormatParams &p, bool vm2);
uint32_t OptionFeatureBits(const FormatParams &p);

// Writes dev.DevHdr at sector hdrOff + HdrN: the whole 4096-byte header
// block for HdrN 0, the bare 512-byte record otherwise; then flushes the
// device. Returns the bytes written.
int WriteDevHdr(const Device &dev, uint64_t hdrOff, int HdrN);

// ---------------------------------------------------------------------------
// Refusals of parameters that make the layout arithmetic meaningless; each
// prints one message and ends with status 1 before anything is written.

void CheckWtBlkSettings(const FormatParams &p);  // --wtblkstripe= and --wtblksz=
// A volume that ends at byte volEnd, starts its data at offset0 and is laid
// out in stripe sets of stripeCnt write blocks of wtBlkBytes each.
void CheckVolumeFits(uint64_t volEnd, uint64_t wtBlkBytes, uint32_t stripeCnt, uint64_t offset0);
