// SPDX-License-Identifier: Apache-2.0
// The one-at-a-time engine: each worker keeps one transfer in flight with
// pread/pwrite (or read/write where the descriptor stands), and the pieces of
// a worker that every engine shares: stamps, keys, positions and the
// sampling loop.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench.h"
#include "worker.h"

namespace {

inline void Put64(char *p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline uint64_t Get64(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The block of one transfer: stamped for a write that is checked later,
// keyed with --dupe=, as it is otherwise.
template <Kind K>
inline void PrepareBlock(const WorkerEnv &env, char *b, bool wr, int BlkSz, uint64_t sector,
                         uint64_t &seq) {
  if constexpr (K == Kind::kStamped) StampBlock(b, BlkSz, sector, seq);
  if constexpr (K == Kind::kMixed)
    if (wr) StampBlock(b, BlkSz, sector, seq);
  if constexpr (K == Kind::kKeyed) PutKeys(env, b, BlkSz);
}

// One transfer at off (kPos), or where the descriptor stands.
template <bool kPos>
inline ssize_t Transfer(int fd, char *b, size_t len, int64_t off, bool wr) {
  if constexpr (kPos) return wr ? pwrite(fd, b, len, off) : pread(fd, b, len, off);
  (void)off;
  return wr ? write(fd, b, len) : read(fd, b, len);
}

// One worker loop: one pread or pwrite per transfer at the offset the rule
// gives (kPos), or one read or write where the descriptor stands (the other
// rules). kLat times every transfer and records the counted ones in lat
// (the writes of a mixed cell in its second histogram); kRate paces the
// transfers (--rate=), and their times then count from when each was due.
template <Kind K, bool kPos, bool kUrandom, bool kLat, bool kRate>
WorkerResult XferLoop(WorkerEnv &env, LatHist *lat) {
  constexpr bool kWrite = IsWrite(K);
  constexpr bool kMix = IsMixed(K);
  constexpr bool kReseed = Reseeds(K);
  const int w = env.w, BlkSz = env.cell.blk, fd = env.rig.fh[w];
  char *const buf = kWrite ? env.rig.WtBuf[w] : env.rig.RdBuf[w];
  const auto len = static_cast<size_t>(BlkSz);
  const SeekPlan plan = MakePlan(env, BlkSz);
  const SeriesRow series = SeriesOf(env.rig.ext, w);
  LatHist *const wlat = kMix ? WriteLatOf(env.rig.ext, w) : lat;
  MixChoice mix(env.cell.read_share, kMix ? MixSeed(env) : 0);
  Pacer pace(env.cfg.rate, env.cell.threads);
  uint64_t cnt = 0;
  uint64_t reads = 0;    // mixed: the counted reads
  int since_reseed = 0;  // cnt mod kReseedEvery, kept without a division
  uint64_t seq = 0;      // write sequence of the stamps, from 0 in every measurement
  // Where the descriptor would stand had every transfer moved it; it is left
  // there when the loop ends, for the next measurement and for a position
  // that cannot be reached.
  int64_t pos = kPos ? lseek(fd, 0, SEEK_CUR) : 0;
  WorkerResult out{0, 0};
  while (!SigFlg3) {
    if (kReseed && since_reseed == 0) ReseedRand(env);
    int64_t off = -1;
    const uint64_t sector = PlanSector(plan, NextRand<kUrandom>(env), off);
    if (kPos && off < 0) off = pos;
    const bool wr = kMix ? mix.Write() : kWrite;
    char *const b = kMix ? (wr ? env.rig.WtBuf[w] : env.rig.RdBuf[w]) : buf;
    PrepareBlock<K>(env, b, wr, BlkSz, sector, seq);
    const uint64_t due = kRate ? pace.Due() : 0;
    if (kRate && SigFlg3) break;
    const uint64_t t0 = kRate ? due : kLat ? MonoNs() : 0;
    const ssize_t res = Transfer<kPos>(fd, b, len, off, wr);
    const uint64_t t1 = kLat ? MonoNs() : 0;
    if (kPos) pos = off + (res > 0 ? res : 0);
    if (res != BlkSz) {
      out = XferError(res, errno);
      break;
    }
    if ((K == Kind::kCheckedRead || (K == Kind::kMixed && !wr)) && !CheckBlock(b, BlkSz, sector)) {
      out = {0, 1, 0, 1};
      break;
    }
    if (SigFlg1 && !SigFlg2) {
      cnt++;
      series.count[*series.tick]++;
      if (kMix && !wr) reads++;
      if (++since_reseed == kReseedEvery) since_reseed = 0;
      if constexpr (kLat) LatRecord(wr && kMix ? *wlat : *lat, t1 - t0);
    }
  }
  if (kPos && pos >= 0) lseek(fd, pos, SEEK_SET);
  if (out.err == 0) {
    out.count = cnt;
    out.reads = reads;
  }
  return out;
}

template <Kind K, bool kPos, bool kRate>
WorkerResult PickLoop(WorkerEnv &env, LatHist *lat) {
  if (env.cfg.urandom)
    return lat ? XferLoop<K, kPos, true, true, kRate>(env, lat)
               : XferLoop<K, kPos, true, false, kRate>(env, lat);
  return lat ? XferLoop<K, kPos, false, true, kRate>(env, lat)
             : XferLoop<K, kPos, false, false, kRate>(env, lat);
}

template <Kind K>
WorkerResult PickLoop(WorkerEnv &env, LatHist *lat) {
  if (env.cfg.rate != 0) {
    PaceSetup();
    return Positions(env.cfg.coll) ? PickLoop<K, true, true>(env, lat)
                                   : PickLoop<K, false, true>(env, lat);
  }
  return Positions(env.cfg.coll) ? PickLoop<K, true, false>(env, lat)
                                 : PickLoop<K, false, false>(env, lat);
}

}  // namespace

WorkerResult SyncLoop(Kind k, WorkerEnv &env, LatHist *lat) {
  switch (k) {
    case Kind::kCheckedRead: return PickLoop<Kind::kCheckedRead>(env, lat);
    case Kind::kRead: return PickLoop<Kind::kRead>(env, lat);
    case Kind::kKeyed: return PickLoop<Kind::kKeyed>(env, lat);
    case Kind::kQuick: return PickLoop<Kind::kQuick>(env, lat);
    case Kind::kMixed: return PickLoop<Kind::kMixed>(env, lat);
    case Kind::kMixedQuick: return PickLoop<Kind::kMixedQuick>(env, lat);
    case Kind::kStamped: break;
  }
  return PickLoop<Kind::kStamped>(env, lat);
}

uint64_t MixSeed(const WorkerEnv &env) {
  const uint64_t hi = env.Rand(), lo = env.Rand();
  return (hi << 32 | lo) ^ (static_cast<uint64_t>(env.seed_w + 1) * uint64_t{0x9e3779b97f4a7c15});
}

void StampBlock(char *buf, int BlkSz, uint64_t sector, uint64_t &seq) {
  for (int k = 0; k < BlkSz / kSectorSize; k++) {
    char *s = buf + k * kSectorSize;
    Put64(s, sector + static_cast<uint64_t>(k));
    Put64(s + 8, seq++);
  }
}

bool CheckBlock(const char *buf, int BlkSz, uint64_t sector) {
  constexpr uint64_t kLow48 = (uint64_t{1} << 48) - 1;
  for (int k = 0; k < BlkSz / kSectorSize; k++) {
    uint64_t got = Get64(buf + k * kSectorSize);
    uint64_t want = sector + static_cast<uint64_t>(k);
    if ((got & kLow48) != want) {
      std::printf("read data err %lld %lld/%lld  %llx %llx\n", static_cast<long long>(got),
                  static_cast<long long>(want), static_cast<long long>(want / 8),
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
      return false;
    }
  }
  return true;
}

void PutKeys(const WorkerEnv &env, char *buf, int BlkSz) {
  for (int off = 0; off < BlkSz; off += 4096)
    Put64(buf + off, env.Rand() % static_cast<uint32_t>(env.cfg.dupe));
}

uint64_t Seek(WorkerEnv &env, int BlkSz) {
  // The descriptor is not moved: the transfer itself goes to the position
  // (pread, pwrite).
  int64_t off = -1;
  return PlanSector(MakePlan(env, BlkSz), env.Rand(), off);
}

int TestN(const WorkerEnv &env, int XferSz, char *buf, int SampleTime, int *row) {
  const bool writing = IsWriteSampling(env.cfg.mode);
  const int fd = env.rig.fh[env.w];
  const auto xfer = static_cast<uint64_t>(XferSz);
  uint64_t p = 0;
  int m = 0;
  int SampleN = 0;
  uint64_t start = get_ms();
  for (;;) {
    if (SigFlg3) {
      if (SampleN < kMaxSamples) row[SampleN] = m + 1;
      return SampleN + 1;
    }
    uint64_t off;
    if (p + xfer >= env.cfg.sample_window_bytes) {
      off = 0;
      p = xfer;
    } else {
      off = p;
      p += xfer;
    }
    off_t got = lseek(fd, static_cast<off_t>(off), SEEK_SET);
    if (got != static_cast<off_t>(off)) {
      std::printf("Error seeking %lld %lld %d\n", static_cast<long long>(off),
                  static_cast<long long>(got), errno);
      return 0;
    }
    ssize_t res = writing ? write(fd, buf, xfer) : read(fd, buf, xfer);
    if (res != XferSz) {
      int err = errno;
      std::printf("error reading %d %d\n", static_cast<int>(res), err);
      return 0;
    }
    uint64_t now = get_ms();
    if (!SigFlg1) {
      start = now;
      continue;
    }
    if (SigFlg2) continue;
    if (now - start < static_cast<uint64_t>(SampleTime) * 1000) {
      m++;
    } else if (SampleN < kMaxSamples) {
      row[SampleN] = m + 1;
      SampleN++;
      m = 0;
      start = now;
    }
  }
}
