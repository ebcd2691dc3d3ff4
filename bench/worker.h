// SPDX-License-Identifier: Apache-2.0
// The pieces every worker loop shares, whichever engine carries its
// transfers: the kind of loop a cell runs, the positions of the collision
// rules, and the report of a failed transfer.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bench.h"
#include "cellmem.h"
#include "config.h"
#include "mix.h"
#include "pace.h"

constexpr int kReseedEvery = 1000;  // transfers between reseeds of the generator

// kMixed and kMixedQuick choose read or write per transfer (--mix=): the
// one stamps its writes and verifies its reads, the other (-q) neither.
enum class Kind { kRead, kCheckedRead, kStamped, kQuick, kKeyed, kMixed, kMixedQuick };

constexpr bool IsWrite(Kind k) { return k == Kind::kStamped || k == Kind::kQuick || k == Kind::kKeyed; }
constexpr bool IsMixed(Kind k) { return k == Kind::kMixed || k == Kind::kMixedQuick; }
// The kinds that reseed the generator every kReseedEvery counted transfers.
constexpr bool Reseeds(Kind k) { return k == Kind::kRead || k == Kind::kCheckedRead || k == Kind::kQuick; }

// The loop a table cell runs.
inline Kind PickKind(const BenchConfig &cfg, int rw) {
  if (rw == 2) return cfg.quick ? Kind::kMixedQuick : Kind::kMixed;
  if (rw == 0) return !cfg.quick && cfg.dupe == 0 ? Kind::kCheckedRead : Kind::kRead;
  if (cfg.dupe != 0) return Kind::kKeyed;
  if (cfg.quick) return Kind::kQuick;
  return Kind::kStamped;
}

// Reports a failed or short transfer (res: its result, err: the errno it
// left); the worker then reports 0.
inline WorkerResult XferError(ssize_t res, int err) {
  std::printf("error reading %d %d\n", static_cast<int>(res), err);
  return {0, 1, 0, 1};
}

// The collision rule of a worker with every figure its positions need, read
// once before the loop, so that a transfer reads none.
struct SeekPlan {
  int rule;       // --coll=
  uint64_t n;     // sectors per block
  uint64_t area;  // the tested size, sectors
  uint64_t zone;  // blocks per worker (rules 1 and 2); 0: sector 0
  uint64_t th;    // workers of the cell
  uint64_t w;     // the worker
  int64_t end;    // PosEnd[w]: no position above it can be reached
  bool *err;      // set when a position cannot be reached
};

inline SeekPlan MakePlan(WorkerEnv &env, int BlkSz) {
  SeekPlan p{};
  p.rule = env.cfg.coll;
  p.n = static_cast<uint64_t>(BlkSz / kSectorSize);
  p.area = env.cfg.size_sectors;
  p.th = static_cast<uint64_t>(env.cell.threads);
  p.w = static_cast<uint64_t>(env.w);
  // The run's checks keep every divisor non-zero; sector 0 guards the rest.
  p.zone = (p.n != 0 && p.th != 0) ? p.area / p.n / p.th : 0;
  p.end = env.rig.PosEnd[env.w];
  p.err = &env.pos_err;
  return p;
}

constexpr bool Positions(int rule) { return rule >= 0 && rule <= 2; }

// The sector of the next transfer for the random value r, and off, its byte
// offset. A position the descriptor cannot reach (lseek would refuse it with
// EINVAL: beyond a block device's end, or not a valid file offset) is reported
// as the positioning did it, and off is -1: the transfer then goes where the
// descriptor stands, and the sector is 0.
inline uint64_t PlanSector(const SeekPlan &p, uint64_t r, int64_t &off) {
  uint64_t sector = 0;
  switch (p.rule) {
    case 0:
      if (p.area != 0) sector = (r % p.area) & (~p.n + 1);
      break;
    case 1:
      if (p.zone != 0) sector = ((r % p.zone) + p.zone * p.w) * p.n;
      break;
    case 2:
      if (p.zone != 0) sector = ((r % p.zone) * p.th + p.w) * p.n;
      break;
    default:
      off = -1;
      return 0;  // no positioning: the transfer continues where the descriptor stands
  }
  const auto want = static_cast<int64_t>(sector * kSectorSize);
  if (want < 0 || want > p.end) {
    std::printf("error seeking %lld %lld %d\n", static_cast<long long>(want), -1LL, EINVAL);
    *p.err = true;
    off = -1;
    return 0;
  }
  off = want;
  return sector;
}

template <bool kUrandom>
inline uint32_t NextRand(const WorkerEnv &env) {
  return kUrandom ? env.Rand() : static_cast<uint32_t>(std::rand());
}

// The one-at-a-time engine: one pread or pwrite per transfer
// (worker_sync.cpp).
WorkerResult SyncLoop(Kind k, WorkerEnv &env, LatHist *lat);
