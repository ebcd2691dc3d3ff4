// SPDX-License-Identifier: Apache-2.0
// vexbench: transfer latency histogram and the monotonic clock that times a
// transfer.
//
// Log-linear buckets over nanoseconds. Values 0 to 127 have a bucket each
// (exact). Above, every power of two [2^e, 2^(e+1)) is split into 64 equal
// buckets of width 2^(e-6); a bucket is reported by its middle value, so a
// reported percentile is within half a bucket width of the true sample:
// at most 2^(e-7) / 2^e = 1/128 (0.78%) relative error. The buckets reach
// 2^36 ns (68.7 s); every longer transfer lands in one overflow bucket, and a
// percentile that falls there is reported as the exact maximum.
//
// Beside the buckets the record keeps the sum and the sum of squares of the
// times, so that the mean and the standard deviation are exact.
//
// The record is a plain trivially copyable struct of fixed size (15,920
// bytes): it fits in one row of the shared result array (16,384 bytes), can
// be copied through a pipe, and all-zero bytes are a valid empty histogram.
#pragma once

#include <time.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <vector>

constexpr unsigned kLatSubBits = 6;                       // 64 buckets per power of two
constexpr uint64_t kLatSub = uint64_t{1} << kLatSubBits;  // 64
constexpr unsigned kLatTopBits = 36;                      // buckets reach 2^36 ns
// Buckets: 64 for 0..63, then 64 per power of two from 2^6 to 2^35, then the
// overflow bucket.
constexpr uint64_t kLatOverflow = (kLatTopBits - kLatSubBits + 1) * kLatSub;  // 1984
constexpr uint64_t kLatBuckets = kLatOverflow + 1;                            // 1985

struct LatHist {
  uint64_t count;               // transfers recorded
  uint64_t max;                 // longest transfer, ns (exact)
  uint64_t min_inv;             // ~shortest transfer (bitwise complement: 0 = none yet), ns
  uint64_t bucket[kLatBuckets];  // transfers per bucket
  uint64_t sum;                  // of the times, ns
  double sum_sq;                 // of the squares of the times, ns^2 (past 2^64 in long runs)
};
static_assert(std::is_trivially_copyable_v<LatHist> && std::is_standard_layout_v<LatHist>);
static_assert(sizeof(LatHist) == 15920);
static_assert(sizeof(LatHist) <= 4096 * sizeof(int), "must fit one row of _CTL_RES");

// Nanoseconds of the monotonic clock; differences time one transfer.
inline uint64_t MonoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000U + static_cast<uint64_t>(ts.tv_nsec);
}

// Bucket of a value: no division, no loop.
inline uint64_t LatBucket(uint64_t ns) {
  // b = 0 for ns < 64; else ns has bit_width b + 6 and keeps its top 7 bits.
  const auto b = static_cast<unsigned>(std::bit_width(ns >> kLatSubBits));
  const unsigned shift = b - (b != 0);
  const uint64_t idx = (uint64_t{b} << kLatSubBits) + ((ns >> shift) & (kLatSub - 1));
  return std::min(idx, kLatOverflow);
}

// Records one transfer of ns nanoseconds; cheap enough for every transfer.
inline void LatRecord(LatHist &h, uint64_t ns) {
  h.bucket[LatBucket(ns)]++;
  h.count++;
  h.max = std::max(h.max, ns);
  h.min_inv = std::max(h.min_inv, ~ns);
  h.sum += ns;
  h.sum_sq += static_cast<double>(ns) * static_cast<double>(ns);
}

// Adds the transfers of src to dst.
void LatMerge(LatHist &dst, const LatHist &src);

// Nearest-rank percentile in nanoseconds: the value of the sample of rank
// ceil(q / 100000 * count) in ascending order (at least rank 1), where q is the
// percentile in thousandths of a per cent (50000 = p50, 99900 = p99.9,
// 100000 = the maximum). An empty histogram gives 0. Within 1/128 of the
// sample's true value, and never outside the recorded minimum and maximum.
uint64_t LatPercentile(const LatHist &h, uint32_t q);

// The figures reported per cell, in nanoseconds.
struct LatSummary {
  uint64_t p50, p99, p99_9, max;
};
LatSummary LatSummarize(const LatHist &h);

// One non-empty bucket: its smallest value and the transfers in it. Bucket
// widths follow from lo: 1 ns below 128 ns, else 2^(floor(log2 lo) - 6) ns;
// the bucket at 2^36 ns holds every longer transfer.
struct LatBucketCount {
  uint64_t lo;     // ns
  uint64_t count;  // transfers
};
// The non-empty buckets of h in ascending order (results of several hosts
// are merged by adding these).
std::vector<LatBucketCount> LatBuckets(const LatHist &h);
// The shortest transfer recorded, ns; 0 when none.
inline uint64_t LatMin(const LatHist &h) { return h.count != 0 ? ~h.min_inv : 0; }

// The figures of a cell as fio reports its completion latencies, in whole
// nanoseconds: the number of timed transfers, the shortest, the longest, the
// mean and the standard deviation (of the sample, divisor count - 1; 0 for
// fewer than two), and the percentiles of kLatPercentiles.
constexpr uint32_t kLatPercentiles[] = {50000, 90000, 95000, 99000, 99900, 99990};
constexpr size_t kLatNPercentiles = sizeof kLatPercentiles / sizeof kLatPercentiles[0];
struct LatStats {
  uint64_t count, min, max, mean, stddev;
  uint64_t pct[kLatNPercentiles];
};
LatStats LatStatsOf(const LatHist &h);
