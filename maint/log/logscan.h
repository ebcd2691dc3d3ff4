// SPDX-License-Identifier: Apache-2.0
// The log scan: the segment list built from a sector source (the temp file
// or an image in memory), its summary and its listing.
#pragma once

#include <cstdio>

#include "log/logtmp.h"
#include "xtl.h"

// 1 when the control sector is valid; otherwise 0, or fatal when ExitFlg != 0.
int ValidateLt(const LOG_TAIL &lt, int ExitFlg);

// Builds the segment list from a sector source. Fatal on the scan's
// failures; prints nothing.
LogList ScanLogSectors(LogSectors &src);
// The scan of the temp file (v_TmpDir), kept open with the list; prints
// nothing. ScanLog is this and the summary.
LogList ScanLogFile();
// The scan's summary lines.
void PrintLogSummary(FILE *out, const LogList &log);
// The listing of the segment list.
void DispLog(FILE *out, const LogList &log);
