// SPDX-License-Identifier: Apache-2.0
// The io_uring engine (--qd= above 1): each worker keeps --qd= transfers
// in flight through a ring of its own, with one registered buffer per
// transfer and the device registered as a fixed file.
#pragma once

#include "bench.h"
#include "worker.h"

constexpr int kMaxQueueDepth = 256;

WorkerResult UringLoop(Kind k, WorkerEnv &env, LatHist *lat);

// Calls into the ring that do not sleep before one that does, when nothing
// has completed. On a loop device at 4 KiB and depth 8, eight polls cut the
// worker's sleeps from about 0.1 a transfer to 0.01 and its IOPS rose from
// about 0.85 of fio's to 1.1 or more; 32 polls spent 1.4 to 1.7 times fio's
// CPU per transfer at 64 KiB and depth 32.
constexpr unsigned kPollsBeforeSleep = 8;

// How many polls the worker makes before it sleeps, learnt from how they
// fare. Where completions come further apart than the polls last (64 KiB at
// depth 32: the worker slept about once a transfer however often it polled)
// they only cost CPU: after kGiveUpAfter sleeps in a row without a poll that
// found a completion the worker sleeps at once, and after kProbeAfter such
// sleeps it polls again.
struct PollBudget {
  static constexpr unsigned kGiveUpAfter = 4;
  static constexpr unsigned kProbeAfter = 64;
  unsigned budget = kPollsBeforeSleep;
  unsigned dry = 0;  // sleeps since a poll last found a completion
  bool slept = false;

  // Whether the call after idle calls that posted nothing is to sleep.
  bool Sleeps(unsigned idle) const { return idle > budget; }
  // The call just made followed idle calls that posted nothing.
  void After(unsigned idle) {
    slept = Sleeps(idle);
    if (!slept) return;
    if (++dry == kGiveUpAfter) {
      budget = 0;
    } else if (dry == kGiveUpAfter + kProbeAfter) {
      budget = kPollsBeforeSleep;
      dry = 0;
    }
  }
  // A completion was found after idle calls: by a poll when that call was
  // neither the first after the last completion nor a sleep.
  void Found(unsigned idle) {
    if (slept || idle < 2) return;
    budget = kPollsBeforeSleep;
    dry = 0;
  }
};

// Refuses a kernel that will not set up a ring of qd entries (ENOSYS, EPERM,
// kernel.io_uring_disabled) with one message, before any device is opened.
void CheckUring(int qd);

// Test seams: the ring set-up of the check (0 or -errno), the file that
// tells whether the kernel disabled io_uring, and the result of every
// completion on its way into the loop (none: as the kernel gave it).
extern int (*UringProbeFn)(unsigned entries);
extern const char *UringSysctl;
extern int (*UringResFn)(int res);
