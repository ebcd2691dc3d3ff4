// SPDX-License-Identifier: Apache-2.0
// vexbench: the per-second counts and the second histograms of the shared
// result memory.
#include "cellmem.h"

#include "bench.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

static_assert(kMaxThreads == 200, "the rows of _CTL_EXT");

void ResetCellMem(_CTL_EXT *ext, int ThCnt, int seconds) {
  if (ext == nullptr) return;
  ext->Tick = 0;
  const auto n = static_cast<size_t>(std::min(seconds, kMaxSeries) + 1);
  for (int i = 0; i < ThCnt && i < 200; i++) {
    std::memset(ext->Series[i], 0, n * sizeof(uint32_t));
    std::memset(&ext->WriteLat[i], 0, sizeof(LatHist));
  }
}

void RunSeconds(_CTL_EXT *ext, int seconds) {
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (int k = 1; k <= seconds; k++) {
    timespec due = t0;
    due.tv_sec += k;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
    if (ext != nullptr) ext->Tick = static_cast<uint32_t>(std::min(k, kMaxSeries));
  }
}

std::vector<uint64_t> GatherSeries(const _CTL_EXT *ext, int ThCnt, int seconds) {
  std::vector<uint64_t> out(static_cast<size_t>(std::min(std::max(seconds, 0), kMaxSeries)), 0);
  if (ext == nullptr) return out;
  for (int i = 0; i < ThCnt && i < 200; i++)
    for (size_t k = 0; k < out.size(); k++) out[k] += ext->Series[i][k];
  return out;
}

SeriesRow SeriesOf(_CTL_EXT *ext, int w) { return {ext->Series[w], &ext->Tick}; }

LatHist *WriteLatOf(_CTL_EXT *ext, int w) { return &ext->WriteLat[w]; }
