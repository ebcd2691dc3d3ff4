// SPDX-License-Identifier: Apache-2.0
// The io_uring engine. Positions, stamps, checks and counting are those of
// the one-at-a-time loop, per completion instead of per call; only
// completions inside the window count, and what is in flight when the loop
// ends is drained uncounted.
#include "uring.h"

#include <liburing.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "fatal.h"
#include "uring_ext.h"

namespace {

int ProbeRing(unsigned entries) {
  io_uring ring;
  int r = io_uring_queue_init(entries, &ring, 0);
  if (r == 0) io_uring_queue_exit(&ring);
  return r;
}

// A ring for one worker: the cheapest completion mode the kernel offers
// (completions run when the worker waits for them), then the plain one.
int SetupRing(unsigned entries, io_uring &ring) {
  static constexpr unsigned kFlags[] = {
      IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN, IORING_SETUP_COOP_TASKRUN, 0};
  int r = -EINVAL;
  for (unsigned f : kFlags) {
    r = io_uring_queue_init(entries, &ring, f);
    if (r != -EINVAL) break;
  }
  return r;
}

// Ends the worker's set-up with one message, as a failed transfer does.
WorkerResult SetupError(const char *what, int res) {
  std::printf("error setting up io_uring (%s) %d\n", what, -res);
  return {0, 1};
}

// The next free submission entry. With at most qd transfers in flight in a
// ring of qd entries there always is one; should there be none, what is
// queued is submitted first.
io_uring_sqe *NextSqe(io_uring &ring) {
  io_uring_sqe *sqe;
  while ((sqe = io_uring_get_sqe(&ring)) == nullptr) io_uring_submit(&ring);
  return sqe;
}

// One worker's ring kept full: each completion is checked and counted, and
// its slot prepared again until signal 63; what is in flight then is reaped.
// A mixed cell reads into slots of its own (slot[qd + s]); kRate paces the
// transfers (RunPaced).
template <Kind K, bool kUrandom, bool kLat, bool kRate>
struct UringLoop {
  static constexpr bool kWrite = IsWrite(K);
  io_uring &ring;
  WorkerEnv &env;
  char *const *slot;
  int BlkSz;
  LatHist *lat;
  SeekPlan plan;
  unsigned qd;
  MixExt<K, kRate> x;
  uint64_t cnt = 0;
  int since_reseed = 0;
  uint64_t seq = 0;
  int64_t pos = 0;  // a position that cannot be reached goes after the last one
  uint64_t sector[kMaxQueueDepth] = {};
  uint64_t t0[kMaxQueueDepth] = {};
  unsigned fresh[kMaxQueueDepth] = {};  // slots prepared since the last submission
  unsigned nfresh = 0;
  unsigned unsent = 0;  // prepared, not yet submitted
  unsigned inflight = 0;
  WorkerResult out{0, 0};
  PollBudget polls;

  UringLoop(io_uring &r, WorkerEnv &e, char *const *sl, unsigned q, LatHist *l)
      : ring(r), env(e), slot(sl), BlkSz(e.cell.blk), lat(l), plan(MakePlan(e, e.cell.blk)), qd(q), x(e) {}

  void Prep(unsigned s) {
    if (Reseeds(K) && since_reseed == 0) ReseedRand(env);
    int64_t off = -1;
    sector[s] = PlanSector(plan, NextRand<kUrandom>(env), off);
    if (off < 0) off = pos;
    pos = off + BlkSz;
    const bool wr = x.Write(s, kWrite);
    const unsigned b = x.Buf(s, qd);
    if constexpr (K == Kind::kStamped) StampBlock(slot[s], BlkSz, sector[s], seq);
    if constexpr (K == Kind::kMixed)
      if (wr) StampBlock(slot[b], BlkSz, sector[s], seq);
    if constexpr (K == Kind::kKeyed) PutKeys(env, slot[s], BlkSz);
    io_uring_sqe *sqe = NextSqe(ring);
    const auto o = static_cast<uint64_t>(off);
    const auto idx = static_cast<int>(b);
    const auto len = static_cast<unsigned>(BlkSz);
    if (wr)
      io_uring_prep_write_fixed(sqe, 0, slot[b], len, o, idx);
    else
      io_uring_prep_read_fixed(sqe, 0, slot[b], len, o, idx);
    sqe->flags |= IOSQE_FIXED_FILE;
    io_uring_sqe_set_data64(sqe, s);
    if constexpr (kLat && !kRate) fresh[nfresh++] = s;
    if constexpr (kRate)
      io_uring_submit(&ring);  // due now: not held for the others
    else
      unsent++;
    inflight++;
  }

  // One completion of slot s with result res, at time t1 (with kLat).
  void Complete(unsigned s, int res, uint64_t t1) {
    inflight--;
    if (out.err != 0) {  // draining after a failure: only failures are counted
      if (res != BlkSz) out.io_errors++;
      return;
    }
    if (res != BlkSz) {
      out = res < 0 ? XferError(-1, -res) : XferError(res, 0);
      return;
    }
    if ((K == Kind::kCheckedRead || x.Checks(s, K == Kind::kMixed)) &&
        !CheckBlock(slot[x.Buf(s, qd)], BlkSz, sector[s])) {
      out = {0, 1, 0, 1};
      return;
    }
    if (SigFlg1 && !SigFlg2) {
      cnt++;
      x.Count(s);
      if (++since_reseed == kReseedEvery) since_reseed = 0;
      if constexpr (kLat) LatRecord(*x.Hist(s, lat), t1 - t0[s]);
    }
    if (!SigFlg3) {
      if constexpr (kRate)
        x.Free(s);
      else
        Prep(s);
    }
  }

  // One call into the ring: it submits what is prepared (the time of each
  // such transfer starts here) and, with wait, sleeps until a completion is
  // posted. False when the ring itself has failed: nothing more can be
  // reaped, and what is in flight ends with the process.
  bool Enter(bool wait) {
    if constexpr (kLat) {
      const uint64_t now = MonoNs();
      for (unsigned k = 0; k < nfresh; k++) t0[fresh[k]] = now;
      nfresh = 0;
    }
    const int r = wait ? io_uring_submit_and_wait(&ring, 1) : io_uring_submit_and_get_events(&ring);
    unsent = 0;
    if (r >= 0 || r == -EINTR || r == -EAGAIN) return true;
    if (out.err == 0) out = XferError(-1, -r);
    return false;
  }

  // Each completion's slot is submitted again at once, in the call that also
  // posts what has completed since, so the device's queue stays full.
  // (Submitting after the whole harvest left the queue short meanwhile: 0.87
  // of fio's IOPS on a fast device, where fio submits every transfer on its
  // own.) When nothing has completed the worker polls the ring a few times
  // before it sleeps: a sleep and wake-up costs tens of microseconds on a
  // virtual machine, longer than the next completion takes at depth.
  WorkerResult Run() {
    if constexpr (kRate) return RunPaced(*this);
    for (unsigned s = 0; s < qd; s++) Prep(s);
    unsigned idle = 0;  // calls in a row that posted nothing
    while (inflight > 0 && Enter(polls.Sleeps(idle))) {
      uint64_t t1 = kLat ? MonoNs() : 0;
      io_uring_cqe *cqe;
      bool sound = true;
      polls.After(idle);
      idle++;
      while (sound && io_uring_peek_cqe(&ring, &cqe) == 0) {
        polls.Found(idle);
        idle = 1;
        const auto s = static_cast<unsigned>(cqe->user_data);
        const int res = UringResFn != nullptr ? UringResFn(cqe->res) : cqe->res;
        io_uring_cqe_seen(&ring, cqe);
        Complete(s, res, t1);
        if (unsent == 0) continue;
        sound = Enter(false);
        if constexpr (kLat) t1 = MonoNs();
      }
      if (!sound) break;
    }
    return x.Result(out, cnt);
  }
};

template <Kind K, bool kUrandom, bool kLat, bool kRate>
WorkerResult Loop(io_uring &ring, WorkerEnv &env, char *const *slot, unsigned qd, LatHist *lat) {
  return UringLoop<K, kUrandom, kLat, kRate>(ring, env, slot, qd, lat).Run();
}

template <Kind K, bool kRate>
WorkerResult Pick(io_uring &ring, WorkerEnv &env, char *const *slot, unsigned qd, LatHist *lat) {
  if (env.cfg.urandom)
    return lat ? Loop<K, true, true, kRate>(ring, env, slot, qd, lat)
               : Loop<K, true, false, kRate>(ring, env, slot, qd, lat);
  return lat ? Loop<K, false, true, kRate>(ring, env, slot, qd, lat)
             : Loop<K, false, false, kRate>(ring, env, slot, qd, lat);
}

template <Kind K>
WorkerResult Pick(io_uring &ring, WorkerEnv &env, char *const *slot, unsigned qd, LatHist *lat) {
  if (env.cfg.rate == 0) return Pick<K, false>(ring, env, slot, qd, lat);
  PaceSetup();
  return Pick<K, true>(ring, env, slot, qd, lat);
}

// The loop of kind k on a ring whose buffers and file are registered.
WorkerResult PickKindLoop(Kind k, io_uring &ring, WorkerEnv &env, char *const *slot, unsigned qd,
                          LatHist *lat) {
  switch (k) {
    case Kind::kCheckedRead: return Pick<Kind::kCheckedRead>(ring, env, slot, qd, lat);
    case Kind::kRead: return Pick<Kind::kRead>(ring, env, slot, qd, lat);
    case Kind::kKeyed: return Pick<Kind::kKeyed>(ring, env, slot, qd, lat);
    case Kind::kQuick: return Pick<Kind::kQuick>(ring, env, slot, qd, lat);
    case Kind::kMixed: return Pick<Kind::kMixed>(ring, env, slot, qd, lat);
    case Kind::kMixedQuick: return Pick<Kind::kMixedQuick>(ring, env, slot, qd, lat);
    case Kind::kStamped: break;
  }
  return Pick<Kind::kStamped>(ring, env, slot, qd, lat);
}

}  // namespace

int (*UringProbeFn)(unsigned entries) = ProbeRing;
const char *UringSysctl = "/proc/sys/kernel/io_uring_disabled";
int (*UringResFn)(int res) = nullptr;

void CheckUring(int qd) {
  const int r = UringProbeFn(static_cast<unsigned>(qd));
  if (r == 0) return;
  int disabled = 0;
  std::ifstream(UringSysctl) >> disabled;
  if (r == -ENOSYS) Fatal("Cannot use --qd=%d: this kernel has no io_uring (ENOSYS)\n", qd);
  if (r == -EPERM && disabled != 0)
    Fatal("Cannot use --qd=%d: io_uring is disabled (kernel.io_uring_disabled = %d)\n", qd,
          disabled);
  if (r == -EPERM) Fatal("Cannot use --qd=%d: io_uring is not permitted here (EPERM)\n", qd);
  Fatal("Cannot use --qd=%d: io_uring set-up failed - %d\n", qd, -r);
}

WorkerResult UringLoop(Kind k, WorkerEnv &env, LatHist *lat) {
  const auto qd = static_cast<unsigned>(env.cfg.queue_depth);
  const int w = env.w, BlkSz = env.cell.blk;
  io_uring ring;
  int r = SetupRing(qd, ring);
  if (r < 0) return SetupError("ring", r);
  // One buffer per transfer in flight, each 4096-aligned; writes start from
  // the worker's write pattern.
  const unsigned nbuf = MixSlots(k, qd);  // a mixed cell's reads have slots of their own
  std::vector<std::shared_ptr<void>> keep;
  char *all = Alloc4K(BlkSz * static_cast<int>(nbuf), keep);
  char *slot[2 * kMaxQueueDepth];
  iovec iov[2 * kMaxQueueDepth];
  for (unsigned s = 0; s < nbuf; s++) {
    slot[s] = all + static_cast<size_t>(s) * static_cast<size_t>(BlkSz);
    if (IsWrite(k) || (IsMixed(k) && s < qd)) std::memcpy(slot[s], env.rig.WtBuf[w], static_cast<size_t>(BlkSz));
    iov[s] = {slot[s], static_cast<size_t>(BlkSz)};
  }
  WorkerResult out;
  if ((r = io_uring_register_buffers(&ring, iov, nbuf)) < 0) {
    out = SetupError("buffers", r);
  } else if ((r = io_uring_register_files(&ring, &env.rig.fh[w], 1)) < 0) {
    out = SetupError("files", r);
  } else {
    out = PickKindLoop(k, ring, env, slot, qd, lat);
  }
  // The ring's hold on the device ends here, not when the kernel frees the ring
  // after the worker has gone: a run that follows at once can open it exclusively.
  io_uring_unregister_files(&ring);
  io_uring_queue_exit(&ring);
  return out;
}
