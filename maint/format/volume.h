// SPDX-License-Identifier: Apache-2.0
// Volume header set-up and write: one version 2.0 volume of a device, used
// by the --ver=11 path and twice by the de-dupe and compression format.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/params.h"
#include "xtl.h"

// volEnd: the byte where the volume ends; logicalBlocks: 0 for the default.
// p: the volume's parameters, defaults applied (a write-block size, the data
// offset, --free= within 10..95). The header goes into dev.DevHdr.
void SetupDevHdr(FILE *out, Device &dev, const FormatParams &p, uint64_t volEnd,
                 uint64_t logicalBlocks);
// SetupDevHdr, then the header written through dev.fh as header HdrN; a
// quick format returns, a full one prepares the first write block and ends
// the run with the three counts.
void DoFormatN(FILE *out, Device &dev, const FormatParams &p, int HdrN, uint64_t volEnd,
               uint64_t logicalBlocks);
