// SPDX-License-Identifier: Apache-2.0
// vexbench: the tables and the sample lines, printed from the results while
// the run makes them. The measuring code returns values and prints nothing;
// a reporter prints a table's title and header before its first cell, a
// row's label before its cells and each cell as soon as it has ended, so the
// lines keep their order relative to what the run prints meanwhile (the fill,
// a worker's error).
#pragma once

#include <cstdint>
#include <vector>

#include "bench.h"
#include "config.h"
#include "results.h"

// One row of a table: its cells in column order (a cell that was not measured
// has no worker counts).
using TableRow = std::vector<CellResult>;

class TableReporter {
 public:
  // rw: 0 read, 1 write, 2 mixed (share: its read share).
  TableReporter(const BenchConfig &cfg, int rw, int share);
  // The title and the header.
  void Begin() const;
  // The label of the row of block size blk.
  void RowStart(int blk);
  // A cell that has ended: the records that did not come, then its figures.
  void Cell(const CellResult &c);
  void RowEnd() const;
  // With --lat, the latency table of the rows.
  void End() const;

 private:
  const BenchConfig &cfg_;
  int rw_;
  int share_;
  std::vector<TableRow> rows_;
};

// The lines of the fill and of modes 10 to 12, printed while they write.
class FillReporter {
 public:
  // The fill's title (size_mib: the tested size).
  void Start(uint64_t size_mib) const;
  // The MiB written so far, over the last count.
  void Filled(uint64_t mib) const;
  // The end of a fill of mib MiB in elapsed_ms: the count and the rate.
  void Done(uint64_t mib, uint64_t elapsed_ms) const;
  // A fill that failed after mib MiB: the count and the end of its line.
  void Stopped(uint64_t mib) const;
  // A progress line of modes 10 to 12 ("\r", overwritten by the next) or
  // their result line ("\n").
  void Progress(bool final, long long gib, long long rate) const;
};

// The header of a table: the column labels of the worker counts.
void PrintHeader(const BenchConfig &cfg);
// The "t%d:%d:%s:" lines of the sampling modes, from the result array.
void PrintSamples(const BenchConfig &cfg, const Rig &rig, int ThCnt);
