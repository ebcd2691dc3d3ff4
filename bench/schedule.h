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

constexpr uint64_t kNoStartAt = UINT64_MAX;  // StartAtMs: no --start-at given

// The warm-up and drain of a cell (Test), and the allowance for collecting
// the counts, reaping the workers and starting the next cell's.
constexpr uint64_t kWarmUpMs = 1000;
constexpr uint64_t kDrainMs = 1000;
constexpr uint64_t kCellSlackMs = 1000;

extern uint64_t StartAtMs;  // --start-at=T: ms since 1970-01-01 UTC, or kNoStartAt

// Time from the opening of one window to the opening of the next.
uint64_t WindowPeriodMs();
// When the window of cell k opens, ms since the epoch.
uint64_t WindowOpenMs(int k);
// Refuses a T whose first window cannot be reached from now_ms: one message,
// status 1. Run before anything is written, and again once the fill is over.
void CheckStartAt(uint64_t now_ms);
// Called once per cell before its workers are started: false without
// --start-at; otherwise waits until the cell's workers are due and returns
// true. The first cell refuses a T the fill has overrun; a later cell that is
// behind its time warns on standard error and starts at once.
bool WaitForWindow();
// The warm-up of the cell that WaitForWindow let start: kWarmUpMs without
// --start-at, else what is left until its window is due (0 when late).
uint64_t WarmUpMs();
// No --start-at, no cell started (unit tests scan several command lines).
void ResetSchedule();
