// SPDX-License-Identifier: Apache-2.0
// vexbench --rate=N: each worker's schedule. A worker of a cell with W
// workers is due to start a transfer every W / N seconds, counted from its
// own first transfer. It waits for a transfer that is not yet due; one that
// is late starts at once, and its latency (--lat) counts from when it was
// due, so that a stall shows in every transfer it held up (no coordinated
// omission). The schedule never moves: a worker that fell behind catches up
// by starting its late transfers as soon as a slot is free, never more than
// one queue's worth at once (its --qd= slots; one transfer at a time
// without --qd=), so it never exceeds N per second over the run, and a rate
// the device cannot reach shows in the achieved IOPS and in the times.
#pragma once

#include <cstdint>

#include "latency.h"

// The clock and the wait of the schedule (test seams): monotonic ns, and a
// wait until a time of that clock.
extern uint64_t (*PaceNowFn)();
extern void (*PaceWaitFn)(uint64_t until_ns);

struct Pacer {
  uint64_t next = 0;   // when the next transfer is due, ns; 0: not started
  uint64_t step = 0;   // the interval, whole ns,
  uint64_t rem = 0;    // and rem / den ns more
  uint64_t den = 1;
  uint64_t acc = 0;    // the fraction accumulated, in 1 / den ns

  // rate transfers per second over workers workers.
  Pacer(uint64_t rate, int workers) {
    const uint64_t per = static_cast<uint64_t>(workers) * 1000000000U;  // ns of one worker's rate
    den = rate != 0 ? rate : 1;
    step = per / den;
    rem = per % den;
  }
  // The due time of the next transfer, once it has come (waiting for it).
  uint64_t Due() {
    const uint64_t now = PaceNowFn();
    if (next == 0)
      next = now;
    else if (next > now)
      PaceWaitFn(next);
    const uint64_t due = next;
    next += step;
    acc += rem;
    if (acc >= den) {
      next++;
      acc -= den;
    }
    return due;
  }
  // The due time of the next transfer without taking it; 0 before the first.
  uint64_t Peek() const { return next; }
};

// Waits until until_ns: sleeps to shortly before it, then polls the clock
// (a sleep alone oversleeps by tens of microseconds, a whole interval at high
// rates).
void PaceWait(uint64_t until_ns);
// A worker's set-up for a paced cell: timer slack of 1 ns.
void PaceSetup();
