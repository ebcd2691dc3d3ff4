// SPDX-License-Identifier: Apache-2.0
// vexbench: the schedule of the windows from --start-at=T.
#include "schedule.h"

#include <cstdio>

#include "bench.h"
#include "config.h"
#include "fatal.h"

uint64_t WindowPeriodMs(const BenchConfig &cfg) {
  return kWarmUpMs + static_cast<uint64_t>(cfg.seconds) * 1000 + kDrainMs + kCellSlackMs;
}

uint64_t WindowOpenMs(const BenchConfig &cfg, int k) {
  return cfg.start_at_ms + static_cast<uint64_t>(k) * WindowPeriodMs(cfg);
}

void CheckStartAt(uint64_t start_at, uint64_t now_ms) {
  // The first cell's workers start kWarmUpMs ahead of its window.
  if (start_at == kNoStartAt || start_at >= now_ms + kWarmUpMs) return;
  Fatal("Bad --start-at=%llu: the first window needs it %llu ms later\n",
        static_cast<unsigned long long>(start_at),
        static_cast<unsigned long long>(now_ms + kWarmUpMs - start_at));
}

bool WaitForWindow(const BenchConfig &cfg, int k, uint64_t &due_ms) {
  if (cfg.start_at_ms == kNoStartAt) return false;
  const uint64_t now = get_ms();
  if (k == 0) CheckStartAt(cfg.start_at_ms, now);
  due_ms = WindowOpenMs(cfg, k);
  const uint64_t due = due_ms - kWarmUpMs;
  if (now > due)
    std::fprintf(stderr, "vexbench: window %d opens %llu ms late\n", k,
                 static_cast<unsigned long long>(now - due));
  else
    SleepMs(due - now);
  return true;
}

uint64_t WarmUpMs(const BenchConfig &cfg, uint64_t due_ms) {
  if (cfg.start_at_ms == kNoStartAt) return kWarmUpMs;
  const uint64_t now = get_ms();
  return due_ms > now ? due_ms - now : 0;
}
