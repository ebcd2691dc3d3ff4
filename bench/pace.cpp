// SPDX-License-Identifier: Apache-2.0
// vexbench --rate=N: the wait of a worker's schedule.
#include "pace.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

#include "bench.h"

namespace {

constexpr uint64_t kPollNs = 20000;  // the last 20 us are polled, not slept

}  // namespace

uint64_t (*PaceNowFn)() = MonoNs;
void (*PaceWaitFn)(uint64_t until_ns) = PaceWait;

void PaceWait(uint64_t until_ns) {
  uint64_t now = MonoNs();
  if (until_ns > now + kPollNs) {
    const uint64_t wake = until_ns - kPollNs;
    timespec ts{static_cast<time_t>(wake / 1000000000U), static_cast<long>(wake % 1000000000U)};
    // Signal 63 ends the wait: the loop is over.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR)
      if (SigFlg3) return;
  }
  while (MonoNs() < until_ns && !SigFlg3) {
  }
}

void PaceSetup() { prctl(PR_SET_TIMERSLACK, 1UL); }
