// SPDX-License-Identifier: Apache-2.0
// The check command: tells a sound device from a damaged one. It verifies the
// device header (and the second header of a two-volume layout; check_hdr.h),
// then walks the write blocks with the dump's walk (wtblk.h), verifying the
// signature and checksum of every write-block header on the way. It reads
// only.
//
// The core works on values: the header bytes, the device size and a block
// source, so tests and the fuzz target can run it over an in-memory device.
// DoCheck is the thin wrapper that opens the device and prints the report
// (check_report.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "xtl.h"

class BlockQueue;

// Called after each write block of the walk.
using CheckProgress = void (*)(uint64_t done, uint64_t total, void *ctx);
// Names what the device holds instead of an XTL header ("an ext4 file
// system"), or returns empty; asked only when there is no XTL tag.
using CheckProbe = std::string (*)(void *ctx);

struct CheckDev {
  std::span<const uint8_t, kHdrSize> hdr;  // the device header read at hdr_sector
  uint64_t size = 0;                       // device bytes
  uint64_t hdr_sector = 0;                 // --hdroff=
  BlockSource read = nullptr;  // asked only for blocks wholly inside the device
  void *ctx = nullptr;
  CheckProgress progress = nullptr;
  void *progress_ctx = nullptr;
  CheckProbe probe = nullptr;  // called with ctx
  // With a queue, the walk reads through it, many write blocks at once, and
  // read is not asked; the report is the same.
  BlockQueue *queue = nullptr;
};

// The write blocks to walk; a number not given takes its default (first 0,
// count to the last write block of the header).
struct CheckRange {
  bool first_given = false;
  uint64_t first = 0;
  bool count_given = false;
  uint64_t count = 0;
};

// Every problem the check can find, one row each in the report's table
// (check_report.h: the stable JSON name and the field's name in the text).
// A rule names its code when it finds the problem; nothing is read back
// from the texts.
enum class CheckCode : uint8_t {
  // The header rules (check_hdr.cpp); a code names the rule, not the header.
  NoHeader,      // Str: not even "XTL:"
  Version,       // Str: another version
  BeyondDevice,  // Str of header 1: past the device end
  StrReserved,
  Mm3_64,
  MetaVersion,
  BlockSize,
  FeatureBits,
  EccLevel,
  BitSizesSum,
  BitSizes,  // one code for the eight bytes; the field names the byte
  Block0Off,
  MetaDupeCnt,
  WtBlkStripe,
  LogicalBlocks,
  ClusterSize,
  PhysicalBlocks,
  AreaEnd,
  AreaStart,
  VmStatus,
  VmBlock0Off,
  VmBitSizes,
  VmAreaEnd,
  // The walk's (check.cpp).
  WtBlkMm3_64,
  TornSegment,
  EmptySegment,
  SegmentOverrun,
  WtBlkBeyondDevice,
};
inline constexpr size_t kCheckCodes = static_cast<size_t>(CheckCode::WtBlkBeyondDevice) + 1;

// One header field checked: ok, or the expected and the found value. byte
// is the BitSizes byte its code names (0 for every other code).
struct CheckField {
  int header = 0;  // 0 the device header, 1 the second header of a two-volume layout
  CheckCode code = CheckCode::Version;
  uint8_t byte = 0;
  bool ok = true;
  std::string expected;
  std::string found;
};

// One problem found. A header problem has header >= 0; a write-block problem
// has header -1 and names the write block, the segment's block offset inside
// it and the block address read.
struct CheckProblem {
  int header = -1;
  uint64_t wtblk = 0;
  uint64_t off = 0;
  uint64_t pba = 0;
  CheckCode code = CheckCode::WtBlkMm3_64;
  uint8_t byte = 0;
  std::string expected;
  std::string found;
};

struct CheckReport {
  uint64_t dev_size = 0;
  uint64_t hdr_sector = 0;
  HdrVersion version = HdrVersion::Unknown;
  bool no_header = false;          // not even an XTL tag at the header sector
  bool two_volumes = false;        // the --autovm layout: a second header follows
  std::vector<CheckField> fields;  // every header check made, in order
  bool walked = false;             // write blocks were checked
  uint64_t total = 0;              // write blocks the header declares
  uint64_t first = 0;
  uint64_t count = 0;
  uint64_t sound = 0;
  uint64_t never_written = 0;
  uint64_t damaged = 0;
  uint64_t blocks_read = 0;  // 4096-byte blocks read, the header block included
  std::vector<CheckProblem> problems;

  // Whether header hdr was checked and passed every check. The walk needs
  // header 0 sound; the report's verdict is every header of the layout.
  bool HeaderSound(int hdr) const {
    bool checked = false;
    for (const CheckField &f : fields) {
      if (f.header != hdr) continue;
      if (!f.ok) return false;
      checked = true;
    }
    return checked;
  }
  bool Damaged() const { return !problems.empty(); }
};

CheckReport CheckDevice(const CheckDev &dev, const CheckRange &range);
// Reads a first or count word: decimal, 0x hexadecimal or 0 octal digits and
// nothing else, within 64 bits. False for anything else.
bool CheckNumber(const char *text, uint64_t *value);
// The command: opens v_DevName read-only, checks it, prints the report and
// ends with status 2 (a FatalError without text) when damage was found.
void DoCheck();
