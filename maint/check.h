// SPDX-License-Identifier: Apache-2.0
// The check command: tells a sound device from a damaged one. It verifies the
// device header (and the second header of a two-volume layout; check_hdr.h),
// then walks the write blocks with the dump's walk (wtblk.h), verifying the
// signature and checksum of every write-block header on the way. It reads
// only.
//
// The core works on values: the header bytes, the device size and a block
// source, so tests and the fuzz target can run it over an in-memory device.
// DoCheck is the thin wrapper that opens the device and prints the report.
#pragma once

#include <cstdint>
#include <cstdio>
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

// One header field checked: ok, or the expected and the found value.
struct CheckField {
  int header = 0;  // 0 the device header, 1 the second header of a two-volume layout
  std::string field;
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
  std::string field;
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

  bool HeaderSound() const;
  bool Damaged() const { return !problems.empty(); }
};

CheckReport CheckDevice(const CheckDev &dev, const CheckRange &range);
// Reads a first or count word: decimal, 0x hexadecimal or 0 octal digits and
// nothing else, within 64 bits. False for anything else.
bool CheckNumber(const char *text, uint64_t *value);
// One line per problem, then the summary line.
void PrintCheck(FILE *out, const CheckReport &r);
// The line of one problem in the report, without its line break.
std::string CheckProblemText(const CheckProblem &p);
// The stable code of a problem ("header.mm3_64", "wtblk.torn_segment"; the
// list is in notes/check.md).
const char *CheckProblemCode(const CheckProblem &p);
// The same as one JSON document (json/json.h: valid UTF-8 in the texts
// passes through, other bytes become U+FFFD, control bytes are escaped),
// headed by the program, its version and the document's schema number.
constexpr int kCheckJsonSchema = 2;
void PrintCheckJson(FILE *out, const CheckReport &r, const std::string &device);
// The document of a --json run that could not proceed: the program, the
// message (as printed on standard error) and the system error number, or
// null when the failure was not a system call's.
void PrintCheckJsonError(FILE *out, const std::string &message, int err);

// The command: opens v_DevName read-only, checks it, prints the report and
// ends with status 2 (a FatalError without text) when damage was found.
void DoCheck();
