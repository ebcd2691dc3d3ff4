// SPDX-License-Identifier: Apache-2.0
// vexbench: the tables and the sample lines, printed from the results while
// the run makes them. The measuring code returns values and prints nothing;
// a reporter prints a table's title and header before its first cell, a
// row's label before its cells and each cell as soon as it has ended, so the
// lines keep their order relative to what the run prints meanwhile (the fill,
// a worker's error).
#pragma once

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

// The header of a table: the column labels of the worker counts.
void PrintHeader(const BenchConfig &cfg);
// The "t%d:%d:%s:" lines of the sampling modes, from the result array.
void PrintSamples(const BenchConfig &cfg, const Rig &rig, int ThCnt);
