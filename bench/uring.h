// SPDX-License-Identifier: Apache-2.0
// The io_uring engine (--qd= above 1): each worker keeps --qd= transfers
// in flight through a ring of its own, with one registered buffer per
// transfer and the device registered as a fixed file.
#pragma once

#include "bench.h"
#include "worker.h"

constexpr int kMaxQueueDepth = 256;

WorkerResult UringLoop(Kind k, WorkerEnv &env, LatHist *lat);

// Refuses a kernel that will not set up a ring of qd entries (ENOSYS, EPERM,
// kernel.io_uring_disabled) with one message, before any device is opened.
void CheckUring(int qd);

// Test seams: the ring set-up of the check (0 or -errno), the file that
// tells whether the kernel disabled io_uring, and the result of every
// completion on its way into the loop (none: as the kernel gave it).
extern int (*UringProbeFn)(unsigned entries);
extern const char *UringSysctl;
extern int (*UringResFn)(int res);
