// SPDX-License-Identifier: Apache-2.0
// Latency histogram: percentiles against exact nearest-rank values of known
// samples, the 1/128 error bound, merging, and the clock.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "latency.h"

namespace {

constexpr uint64_t kU64Max = ~uint64_t{0};

LatHist Of(const std::vector<uint64_t> &v) {
  LatHist h{};
  for (uint64_t x : v) LatRecord(h, x);
  return h;
}

// Nearest rank of the sorted samples, q in thousandths of a per cent.
uint64_t ExactRank(std::vector<uint64_t> v, uint32_t q) {
  std::sort(v.begin(), v.end());
  size_t rank = (v.size() * q + 99999) / 100000;
  return v[std::max<size_t>(rank, 1) - 1];
}

// |got - want| <= want / 128.
::testing::AssertionResult Within(uint64_t got, uint64_t want) {
  uint64_t d = got > want ? got - want : want - got;
  if (d <= want / 128) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got << " for " << want;
}

TEST(LatHist, EmptyReportsZero) {
  LatHist h{};
  LatSummary s = LatSummarize(h);
  EXPECT_EQ(s.p50, 0U);
  EXPECT_EQ(s.p99, 0U);
  EXPECT_EQ(s.p99_9, 0U);
  EXPECT_EQ(s.max, 0U);
  EXPECT_EQ(LatPercentile(h, 0), 0U);
}

TEST(LatHist, OneValueOrManyEqualValuesAreExact) {
  for (uint64_t v : {uint64_t{0}, uint64_t{1}, uint64_t{127}, uint64_t{128}, uint64_t{1001},
                     uint64_t{123457}, (uint64_t{1} << 36) - 1, uint64_t{1} << 36,
                     uint64_t{99999999999}, kU64Max}) {
    for (int n : {1, 1000000}) {
      LatHist h{};
      for (int k = 0; k < n; k++) LatRecord(h, v);
      LatSummary s = LatSummarize(h);
      EXPECT_EQ(s.p50, v) << n;
      EXPECT_EQ(s.p99, v) << n;
      EXPECT_EQ(s.p99_9, v) << n;
      EXPECT_EQ(s.max, v) << n;
      EXPECT_EQ(h.count, static_cast<uint64_t>(n));
    }
  }
}

TEST(LatHist, ExtremesZeroAndLargest) {
  LatHist h = Of({0, kU64Max});
  EXPECT_EQ(LatPercentile(h, 50000), 0U);
  EXPECT_EQ(LatPercentile(h, 50001), kU64Max);
  EXPECT_EQ(LatSummarize(h).max, kU64Max);
  // Beyond the buckets' reach (2^36 ns) the exact maximum is reported.
  std::vector<uint64_t> v(98, 5000);
  v.push_back(uint64_t{1} << 40);
  v.push_back(uint64_t{3} << 50);
  h = Of(v);
  EXPECT_TRUE(Within(LatPercentile(h, 50000), 5000));
  EXPECT_EQ(LatPercentile(h, 99000), uint64_t{3} << 50);
}

// Nearest rank: the sample of rank ceil(q * n) (at least 1). Values below 128
// are exact, so these compare equal.
TEST(LatHist, NearestRankOnSmallCounts) {
  EXPECT_EQ(LatPercentile(Of({3, 1, 2}), 50000), 2U);
  EXPECT_EQ(LatPercentile(Of({3, 1, 2}), 66666), 2U);
  EXPECT_EQ(LatPercentile(Of({3, 1, 2}), 66667), 3U);
  EXPECT_EQ(LatPercentile(Of({7, 9}), 0), 7U);
  std::vector<uint64_t> v;
  for (uint64_t x = 1; x <= 100; x++) v.push_back(x);
  LatSummary s = LatSummarize(Of(v));
  EXPECT_EQ(s.p50, 50U);
  EXPECT_EQ(s.p99, 99U);
  EXPECT_EQ(s.p99_9, 100U);
  // 999.0 and 999.999 ranks: p99.9 of 1000 samples is the 999th, of 1001 the 1000th.
  std::vector<uint64_t> w(998, 1);
  w.push_back(100);
  w.push_back(100);
  EXPECT_EQ(LatPercentile(Of(w), 99900), 100U);
  w.assign(999, 1);
  w.push_back(100);
  EXPECT_EQ(LatPercentile(Of(w), 99900), 1U);
  w.push_back(100);
  EXPECT_EQ(LatPercentile(Of(w), 99900), 100U);
}

TEST(LatHist, ErrorBoundAndBucketOrderOverASweep) {
  std::vector<uint64_t> sweep;
  for (uint64_t v = 0; v < (1U << 17); v++) sweep.push_back(v);
  for (double x = 1 << 17; x < static_cast<double>(uint64_t{1} << 36); x *= 1.0007)
    sweep.push_back(static_cast<uint64_t>(x));
  for (unsigned k = 1; k < 36; k++)
    for (uint64_t d : {uint64_t{0}, uint64_t{1}}) {
      sweep.push_back((uint64_t{1} << k) - d);
      sweep.push_back((uint64_t{1} << k) + d);
    }
  std::sort(sweep.begin(), sweep.end());
  uint64_t prev = 0;
  for (uint64_t v : sweep) {
    ASSERT_LT(LatBucket(v), kLatOverflow) << v;
    ASSERT_GE(LatBucket(v), prev) << v;
    prev = LatBucket(v);
    // The middle sample is reported through its bucket, not the min or max.
    uint64_t got = LatPercentile(Of({0, v, uint64_t{1} << 40}), 50000);
    ASSERT_TRUE(Within(got, v));
    ASSERT_LE(got > v ? got - v : v - got, v / 100) << v;
  }
  EXPECT_EQ(LatBucket(uint64_t{1} << 36), kLatOverflow);
  EXPECT_EQ(LatBucket(kU64Max), kLatOverflow);
}

TEST(LatHist, MergeEqualsOneHistogramOfAllSamples) {
  std::mt19937_64 gen(7);
  std::lognormal_distribution<double> dist(11.0, 1.5);  // about 60 us, long tail
  std::vector<uint64_t> all;
  LatHist part[3] = {};
  for (int k = 0; k < 30000; k++) {
    auto v = static_cast<uint64_t>(dist(gen));
    all.push_back(v);
    LatRecord(part[k % 3], v);
  }
  LatHist merged{};
  LatHist empty{};
  for (const LatHist &p : part) LatMerge(merged, p);
  LatMerge(merged, empty);
  LatHist one = Of(all);
  EXPECT_EQ(std::memcmp(&merged, &one, sizeof one), 0);
  for (uint32_t q : {0U, 1U, 50000U, 90000U, 99000U, 99900U, 99990U, 100000U})
    EXPECT_TRUE(Within(LatPercentile(merged, q), ExactRank(all, q))) << q;
  EXPECT_EQ(LatSummarize(merged).max, *std::max_element(all.begin(), all.end()));
  // The mean and the standard deviation of the sample are exact, to the ns.
  double sum = 0, sq = 0;
  for (uint64_t v : all) sum += static_cast<double>(v);
  const double mean = sum / static_cast<double>(all.size());
  for (uint64_t v : all) sq += (static_cast<double>(v) - mean) * (static_cast<double>(v) - mean);
  const LatStats s = LatStatsOf(merged);
  EXPECT_EQ(s.count, all.size());
  EXPECT_EQ(s.mean, static_cast<uint64_t>(std::llround(mean)));
  EXPECT_NEAR(static_cast<double>(s.stddev), std::sqrt(sq / static_cast<double>(all.size() - 1)),
              1);
  EXPECT_EQ(s.pct[3], LatPercentile(merged, 99000));
}

TEST(LatHist, NonEmptyBucketsByTheirSmallestValue) {
  LatHist h = Of({5, 100, 1000, 1003, uint64_t{1} << 40});
  std::vector<std::pair<uint64_t, uint64_t>> got;
  for (const LatBucketCount &b : LatBuckets(h)) got.emplace_back(b.lo, b.count);
  EXPECT_EQ(got, (std::vector<std::pair<uint64_t, uint64_t>>{
                     {5, 1}, {100, 1}, {1000, 2}, {uint64_t{1} << 36, 1}}));
  EXPECT_EQ(LatMin(h), 5U);
  EXPECT_EQ(LatMin(LatHist{}), 0U);
}

TEST(LatHist, MonotonicClockCountsNanoseconds) {
  uint64_t t0 = MonoNs();
  usleep(20000);
  uint64_t dt = MonoNs() - t0;
  EXPECT_GE(dt, 20000000U);
  EXPECT_LT(dt, 2000000000U);
}

}  // namespace
