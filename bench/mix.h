// SPDX-License-Identifier: Apache-2.0
// vexbench --mix=P: the read-or-write choice of each transfer of a mixed
// cell. Every worker draws it from a generator of its own (xorshift64*,
// seeded once from the worker's random source), apart from the one that
// positions the transfers, so the positions follow the same rule as in the
// read and write tables and the choice costs no call per transfer.
#pragma once

#include <cstdint>
#include <vector>

struct MixChoice {
  uint64_t x;          // generator state, never 0
  uint64_t threshold;  // a draw below it reads: P / 100 of 2^32

  MixChoice(int share, uint64_t seed)
      : x(seed != 0 ? seed : uint64_t{0x9e3779b97f4a7c15}),
        threshold((static_cast<uint64_t>(share) << 32) / 100) {}
  // True: the next transfer writes.
  bool Write() {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return ((x * uint64_t{0x2545f4914f6cdd1d}) >> 32) >= threshold;
  }
};

struct WorkerEnv;
// The seed of a mixed worker's read-or-write choice, from its random source
// (repeatable with -e).
uint64_t MixSeed(const WorkerEnv &env);
