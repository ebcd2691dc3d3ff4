// SPDX-License-Identifier: Apache-2.0
// vexbench: the part of the shared result memory after the result array of
// the sampling modes (_CTL_RES), in the same System V segment: the second of
// the window now open, which the parent advances once a second, each
// worker's transfers per second of the window (the cell's iops_series), and
// the writes' latency histogram of each worker of a mixed cell (the reads',
// like those of every other cell, go in the worker's row of the result
// array). A worker counts a transfer with one add to its own row: no system
// call.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "latency.h"

constexpr int kMaxSeries = 4096;  // seconds of a window counted one by one; later ones count in the last slot

struct _CTL_EXT {
  volatile uint32_t Tick;  // the second of the window now open, 0 to kMaxSeries
  uint32_t pad[15];        // Tick on a cache line of its own
  uint32_t Series[200][kMaxSeries + 1];  // transfers of worker i completed in second k of the window
  LatHist WriteLat[200];                 // mixed cells: the writes of worker i
};
static_assert(std::is_trivially_copyable_v<_CTL_EXT> && std::is_standard_layout_v<_CTL_EXT>);

// Every function takes ext, the segment's extension after the result array
// (Rig::ext, set by AllocBufs).

// Before a cell: the second back to 0 and the rows of its workers cleared.
void ResetCellMem(_CTL_EXT *ext, int ThCnt, int seconds);
// The parent's side of the window: waits seconds whole seconds from now
// (the monotonic clock, so the window keeps its length when the wall clock
// is stepped), advancing Tick at each.
void RunSeconds(_CTL_EXT *ext, int seconds);
// The per-second counts of worker w: count[*tick] is the second of the
// window now open.
struct SeriesRow {
  uint32_t *count;
  const volatile uint32_t *tick;
};
SeriesRow SeriesOf(_CTL_EXT *ext, int w);
// The writes' histogram of worker w in a mixed cell.
LatHist *WriteLatOf(_CTL_EXT *ext, int w);

// The transfers of each whole second, summed over the workers: min(seconds,
// kMaxSeries) values.
std::vector<uint64_t> GatherSeries(const _CTL_EXT *ext, int ThCnt, int seconds);
