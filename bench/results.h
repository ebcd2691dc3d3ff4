// SPDX-License-Identifier: Apache-2.0
// vexbench: the results document written with --json=FILE (layout in
// notes/bench-json.md). The run collects one CellResult per measured cell (or
// one SampleRow per worker in the sampling modes); WriteResults writes them
// with the run's configuration.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "json.h"
#include "latency.h"

// The layout number of the document: 2 added the fio-named members, the
// latency in nanoseconds, the failed transfers and the workers' CPU time; 3
// the per-second series of every cell, the mixed cells and the rate.
constexpr int kResultsSchema = 3;

struct CellResult {
  int rw;                                  // 0 read, 1 write, 2 mixed
  int BlkSz;                               // bytes
  int64_t window_ms;                       // counted window
  uint64_t errors;                         // workers that reported an error
  std::vector<uint64_t> worker_transfers;  // count of worker i; one entry per worker
  bool has_lat;                            // lat holds the merged histogram's figures
  LatSummary lat;                          // nanoseconds
  int64_t window_start_ms = 0;             // wall clock when the window opened, ms since the epoch
  uint64_t total = 0;                      // the sum of worker_transfers
  uint64_t lat_min = 0;                    // with has_lat: the shortest transfer, ns
  std::vector<LatBucketCount> lat_buckets{};  // with has_lat: the merged histogram's non-empty buckets
  LatStats lat_stats{};    // with has_lat: count, min, max, mean, stddev, percentiles
  uint64_t io_errors = 0;  // transfers that failed, over the workers
  uint64_t cpu_user_us = 0;  // CPU time of the reaped workers, user
  uint64_t cpu_sys_us = 0;   // and system, microseconds
  std::vector<uint64_t> iops_series{};  // transfers of each whole second of the window
  int read_share = 0;        // mixed: per cent of the transfers that read (--mix=)
  uint64_t reads = 0;        // mixed: the reads among total
  LatStats read_lat{};       // mixed, with has_lat: the reads' times
  LatStats write_lat{};      // and the writes'
  // Not in the document:
  bool failed = false;           // the cell could not be measured, or a worker failed
  uint64_t missing_records = 0;  // workers that ended without sending their record
};

struct SampleRow {
  int worker;
  std::string device;
  int interval_s;
  std::vector<int> counts;  // as printed on the worker's "t%d:%d:%s:" line
};

struct BenchResults {
  std::string version;
  time_t start_time;
  bool ok;
  bool latency;  // --lat was given
  std::vector<CellResult> cells;
  std::vector<SampleRow> samples;  // sampling modes only
};

// IOPS and bytes per second of a cell, computed as the table computes them
// (0 when the window has no length).
int64_t CellIops(uint64_t transfers, int64_t window_ms);
int64_t CellBytesPerSec(uint64_t transfers, int BlkSz, int64_t window_ms);

struct BenchConfig;

// Writes the whole document; Finish() of the writer is left to the caller.
void WriteResults(JsonWriter &w, const BenchConfig &cfg, const BenchResults &r);

// The results file of --json=FILE is never written through: the document goes
// into a new file created exclusively beside it, "FILE.<pid>.<n>", which is
// flushed to the disk and only then renamed over FILE, so FILE is always a
// whole document or what it was before, and a link planted at FILE is
// replaced, its target never written.
//
// Refuses path when a FIFO, a directory, a device or a socket stands there
// (or where a link there points), and when no file can be created beside it.
// Called before any device is opened, so such a name costs no run.
void CheckResultsFile(const std::string &path);
// Writes the document to path as above; on failure the new file is removed.
void WriteResultsFile(const std::string &path, const BenchConfig &cfg, const BenchResults &r);
