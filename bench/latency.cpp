// SPDX-License-Identifier: Apache-2.0
// vexbench: merge and percentile queries of the latency histogram.
#include "latency.h"

#include <cmath>

namespace {

// Smallest value and width of bucket idx (below the overflow bucket).
void BucketRange(uint64_t idx, uint64_t &lo, uint64_t &width) {
  const uint64_t b = idx >> kLatSubBits;
  const uint64_t sub = idx & (kLatSub - 1);
  if (b == 0) {
    lo = sub;
    width = 1;
  } else {
    lo = (kLatSub + sub) << (b - 1);
    width = uint64_t{1} << (b - 1);
  }
}

}  // namespace

void LatMerge(LatHist &dst, const LatHist &src) {
  for (uint64_t i = 0; i < kLatBuckets; i++) dst.bucket[i] += src.bucket[i];
  dst.count += src.count;
  dst.max = std::max(dst.max, src.max);
  dst.min_inv = std::max(dst.min_inv, src.min_inv);
  dst.sum += src.sum;
  dst.sum_sq += src.sum_sq;
}

uint64_t LatPercentile(const LatHist &h, uint32_t q) {
  if (h.count == 0) return 0;
  q = std::min(q, 100000U);
  // rank = ceil(count * q / 100000), in 128-bit so no count can overflow it.
  __extension__ using u128 = unsigned __int128;
  const u128 prod = static_cast<u128>(h.count) * q;
  auto rank = static_cast<uint64_t>((prod + 99999) / 100000);
  rank = std::max<uint64_t>(rank, 1);
  const uint64_t min = ~h.min_inv;
  uint64_t seen = 0;
  for (uint64_t i = 0; i < kLatBuckets; i++) {
    seen += h.bucket[i];
    if (seen < rank) continue;
    if (i == kLatOverflow) return h.max;
    uint64_t lo, width;
    BucketRange(i, lo, width);
    return std::min(std::max(lo + (width - 1) / 2, min), h.max);
  }
  return h.max;  // bucket counts short of count: only a damaged record gets here
}

LatSummary LatSummarize(const LatHist &h) {
  return {LatPercentile(h, 50000), LatPercentile(h, 99000), LatPercentile(h, 99900), h.max};
}

std::vector<LatBucketCount> LatBuckets(const LatHist &h) {
  std::vector<LatBucketCount> out;
  for (uint64_t i = 0; i < kLatBuckets; i++) {
    if (h.bucket[i] == 0) continue;
    uint64_t lo = uint64_t{1} << kLatTopBits, width = 0;  // the overflow bucket
    if (i != kLatOverflow) BucketRange(i, lo, width);
    out.push_back({lo, h.bucket[i]});
  }
  return out;
}

LatStats LatStatsOf(const LatHist &h) {
  LatStats s{};
  s.count = h.count;
  s.min = LatMin(h);
  s.max = h.max;
  if (h.count == 0) return s;
  s.mean = (h.sum + h.count / 2) / h.count;
  if (h.count > 1) {
    const double n = static_cast<double>(h.count);
    const double sum = static_cast<double>(h.sum);
    const double var = (h.sum_sq - sum * sum / n) / (n - 1);
    s.stddev = var > 0 ? static_cast<uint64_t>(std::llround(std::sqrt(var))) : 0;
  }
  for (size_t i = 0; i < kLatNPercentiles; i++) s.pct[i] = LatPercentile(h, kLatPercentiles[i]);
  return s;
}
