// SPDX-License-Identifier: Apache-2.0
// What the io_uring loop adds for the mixed cells (--mix=), the per-second
// counts and the paced cells (--rate=): the read-or-write choice of each
// slot, the slots' buffers, the counting, and the loop of a paced worker.
// For the other kinds every call here folds into what the loop did before.
#pragma once

#include <liburing.h>

#include <cerrno>

#include "uring.h"
#include "worker.h"

// Registered buffers of a worker: one per slot, and as many again for the
// reads of a mixed cell.
inline unsigned MixSlots(Kind k, unsigned qd) { return IsMixed(k) ? 2 * qd : qd; }

template <Kind K, bool kRate>
struct MixExt {
  static constexpr bool kMix = IsMixed(K);
  SeriesRow series;
  LatHist *wlat;
  MixChoice mix;
  Pacer pace;
  uint64_t reads = 0;                    // mixed: the counted reads
  bool isw[kMaxQueueDepth] = {};         // mixed: slot s writes
  unsigned free_[kMaxQueueDepth] = {};   // paced: the slots not in flight
  unsigned nfree = 0;

  explicit MixExt(const WorkerEnv &env)
      : series(SeriesOf(env.rig.ext, env.w)),
        wlat(kMix ? WriteLatOf(env.rig.ext, env.w) : nullptr),
        mix(env.cell.read_share, kMix ? MixSeed(env) : 0),
        pace(env.cfg.rate, env.cell.threads) {}

  // Whether slot s writes this time (fixed: the kind's own direction).
  bool Write(unsigned s, bool fixed) {
    if constexpr (kMix) return isw[s] = mix.Write();
    (void)s;
    return fixed;
  }
  // The registered buffer of slot s's transfer.
  unsigned Buf(unsigned s, unsigned qd) const {
    if constexpr (kMix) return isw[s] ? s : s + qd;
    (void)qd;
    return s;
  }
  // A mixed read that is verified.
  bool Checks(unsigned s, bool verifying) const { return kMix && verifying && !isw[s]; }
  void Count(unsigned s) {
    series.count[*series.tick]++;
    if constexpr (kMix) reads += isw[s] ? 0 : 1;
  }
  LatHist *Hist(unsigned s, LatHist *lat) const {
    if constexpr (kMix) return isw[s] ? wlat : lat;
    (void)s;
    return lat;
  }
  void Free(unsigned s) { free_[nfree++] = s; }
  WorkerResult Result(WorkerResult out, uint64_t cnt) const {
    if (out.err == 0) {
      out.count = cnt;
      out.reads = reads;
    }
    return out;
  }
};

// The loop of a paced worker: a free slot starts its transfer when the
// schedule makes it due (its time counts from then); between, the worker
// waits for a completion or for the next due time, whichever comes first.
template <class L>
WorkerResult RunPaced(L &l) {
  for (unsigned s = l.qd; s-- > 0;) l.x.Free(s);
  for (;;) {
    while (l.x.nfree > 0 && !SigFlg3 && l.out.err == 0) {
      const uint64_t next = l.x.pace.Peek();
      if (next != 0 && next > PaceNowFn()) break;
      const unsigned s = l.x.free_[--l.x.nfree];
      l.t0[s] = l.x.pace.Due();
      l.Prep(s);
    }
    if (l.inflight == 0) {
      if (SigFlg3 || l.out.err != 0) break;
      PaceWaitFn(l.x.pace.Peek());
      continue;
    }
    io_uring_cqe *cqe = nullptr;
    int r;
    if (l.x.nfree > 0 && !SigFlg3 && l.out.err == 0) {
      const uint64_t next = l.x.pace.Peek(), now = PaceNowFn();
      const uint64_t wait = next > now ? next - now : 0;
      __kernel_timespec ts{static_cast<long long>(wait / 1000000000U),
                           static_cast<long long>(wait % 1000000000U)};
      r = io_uring_wait_cqe_timeout(&l.ring, &cqe, &ts);
      if (r == -ETIME) continue;
    } else {
      r = io_uring_wait_cqe(&l.ring, &cqe);
    }
    if (r < 0 && r != -EINTR && r != -EAGAIN) {
      if (l.out.err == 0) l.out = XferError(-1, -r);
      break;
    }
    const uint64_t t1 = MonoNs();
    unsigned head, seen = 0;
    io_uring_for_each_cqe(&l.ring, head, cqe) {
      seen++;
      l.Complete(static_cast<unsigned>(cqe->user_data),
                 UringResFn != nullptr ? UringResFn(cqe->res) : cqe->res, t1);
    }
    io_uring_cq_advance(&l.ring, seen);
  }
  return l.x.Result(l.out, l.cnt);
}
