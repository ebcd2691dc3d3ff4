// SPDX-License-Identifier: Apache-2.0
// vexbench: the schedule of the windows from --start-at=T.
#include "schedule.h"

#include <cstdio>

#include "bench.h"
#include "fatal.h"

uint64_t StartAtMs = kNoStartAt;

namespace {

int CellsStarted = 0;  // cells whose wait has been done
uint64_t DueMs = 0;    // when the window of the last of them is to open

}  // namespace

uint64_t WindowPeriodMs() {
  return kWarmUpMs + static_cast<uint64_t>(TestTime) * 1000 + kDrainMs + kCellSlackMs;
}

uint64_t WindowOpenMs(int k) { return StartAtMs + static_cast<uint64_t>(k) * WindowPeriodMs(); }

void CheckStartAt(uint64_t now_ms) {
  // The first cell's workers start kWarmUpMs ahead of its window.
  if (StartAtMs == kNoStartAt || StartAtMs >= now_ms + kWarmUpMs) return;
  Fatal("Bad --start-at=%llu: the first window needs it %llu ms later\n",
        static_cast<unsigned long long>(StartAtMs),
        static_cast<unsigned long long>(now_ms + kWarmUpMs - StartAtMs));
}

bool WaitForWindow() {
  if (StartAtMs == kNoStartAt) return false;
  const int k = CellsStarted++;
  const uint64_t now = get_ms();
  if (k == 0) CheckStartAt(now);
  DueMs = WindowOpenMs(k);
  const uint64_t due = DueMs - kWarmUpMs;
  if (now > due)
    std::fprintf(stderr, "vexbench: window %d opens %llu ms late\n", k,
                 static_cast<unsigned long long>(now - due));
  else
    SleepMs(due - now);
  return true;
}

uint64_t WarmUpMs() {
  if (StartAtMs == kNoStartAt) return kWarmUpMs;
  const uint64_t now = get_ms();
  return DueMs > now ? DueMs - now : 0;
}

void ResetSchedule() {
  StartAtMs = kNoStartAt;
  CellsStarted = 0;
}
