// SPDX-License-Identifier: Apache-2.0
// The format command's driver: reads the format's parameters from the
// settings, opens the device, trims its size and hands over to one of the
// three format paths (layout.h, volume.h, ddc.h).
//
// Every printer takes the FILE* it writes to (stdout in the program), so tests
// capture the trace and the report. Failures go through Fatal/FatalErr.
#pragma once

#include <cstdint>
#include <cstdio>

#include "format/params.h"
#include "xtl.h"

// The format on the device value dev, which the format opens (and which keeps
// the header built and the device's size after --devsz=).
void DoFormat(FILE *out, Device &dev);
// The plain, --ver=11 or --autovm path on the open device.
void RunFormatPath(FILE *out, Device &dev, const FormatParams &given);

// The settings of a format, as given: the one place the format reads them.
FormatParams ReadFormatParams();
// The parameters of the single-volume paths (the version 2.0 layout and
// --ver=11): write blocks of 1 MiB for --wtblksz=0, the data offset one
// stripe set for --offset0=0, and --free= within 10..95.
FormatParams PlainFormatParams(const FormatParams &given);

// Opens v_DevName for a format, exclusively, before anything is written:
// refuses a regular file in which the header block at v_HdrOff would not lie
// whole (CheckHdrBlockFits), then warns, and on a terminal asks, when the
// device holds an XTL header or a foreign signature (GuardFormat).
Device OpenFormatDev();
void CheckHdrBlockFits(const Device &dev);

// The driver's default counts for a device of devSize bytes, in 4096-byte
// blocks: the whole device, and the share free (a percent) of it. Only the
// --ver=11 path uses them.
struct DefaultCounts {
  uint64_t PhysicalBlocks = 0;
  uint64_t LogicalBlocks = 0;
};
DefaultCounts GetDefaultCounts(uint64_t devSize, uint32_t free);
// Bytes of a --devsz= bound given in MiB; a bound beyond 2^64 bytes saturates.
uint64_t DevSzBytes(uint64_t mib);
