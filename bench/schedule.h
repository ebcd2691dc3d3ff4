// SPDX-License-Identifier: Apache-2.0
// vexbench --start-at=T: the table cells measured on a fixed schedule from the
// wall-clock time T, so that the same command started on many hosts opens
// every window at the same moment on all of them.
//
// Cell k (counted over the whole run, read table then write table) opens its
// window at T + k * WindowPeriodMs(). Its workers are started kWarmUpMs
// before that, in place of the wait for the next second boundary; the window
// warm up until the planned time, whatever their start took, and the window
// opens then.
#pragma once

#include <cstdint>

#include "bench.h"  // kNoStartAt


// The warm-up and drain of a cell (Test), and the allowance for collecting
// the counts, reaping the workers and starting the next cell's.
constexpr uint64_t kWarmUpMs = 1000;
constexpr uint64_t kDrainMs = 1000;
constexpr uint64_t kCellSlackMs = 1000;

struct BenchConfig;

// Time from the opening of one window to the opening of the next.
uint64_t WindowPeriodMs(const BenchConfig &cfg);
// When the window of cell k opens, ms since the epoch.
uint64_t WindowOpenMs(const BenchConfig &cfg, int k);
// Refuses a T (start_at) whose first window cannot be reached from now_ms:
// one message, status 1. Run before anything is written, and again once the
// fill is over.
void CheckStartAt(uint64_t start_at, uint64_t now_ms);
// Called once per cell (k: its number in the run) before its workers are
// started: false without --start-at; otherwise waits until the cell's
// workers are due, sets due_ms to when its window opens and returns true.
// The first cell refuses a T the fill has overrun; a later cell that is
// behind its time warns on standard error and starts at once.
bool WaitForWindow(const BenchConfig &cfg, int k, uint64_t &due_ms);
// The warm-up of the cell that WaitForWindow let start: kWarmUpMs without
// --start-at, else what is left until its window (due_ms) opens (0 when late).
uint64_t WarmUpMs(const BenchConfig &cfg, uint64_t due_ms);
