// SPDX-License-Identifier: Apache-2.0
// The order of a vexbench run: arguments, checks, signals, then one run mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "bench.h"
#include "fatal.h"
#include "mix.h"

namespace {

char ThBuf[kThreadCols][32];  // column labels of the result tables

BenchResults Results;  // every cell of the run, for --lat and --json=

// One row of a table: its cells in column order (a cell that was not measured
// has no worker counts).
using TableRow = std::vector<CellResult>;

// The latency table printed after an IOPS table with --lat: the same rows
// and columns; each cell holds p50, p99, p99.9 and the maximum in
// microseconds, each " %8.1f", then a blank.
void PrintLatTable(int rw, const std::vector<TableRow> &rows) {
  static const char *const kTitles[] = {"Read latency (us):\n", "Write latency (us):\n",
                                        "Mixed latency (us):\n"};
  char names[64];
  std::snprintf(names, sizeof names, " %8s %8s %8s %8s ", "p50", "p99", "p99.9", "max");
  std::printf("\n");
  std::printf("%s", kTitles[rw]);
  std::printf("\n");
  const char *labels[3] = {"Block", "Size", ""};
  for (int line = 0; line < 3; line++) {
    std::printf("%5s ", labels[line]);
    for (int i = 0; i < kThreadCols; i++)
      if (ThreadLst[i] != 0) std::printf("|%37s", line == 0 ? ThBuf[i] : line == 1 ? names : "");
    std::printf("\n");
  }
  for (const TableRow &row : rows) {
    std::printf("%5s ", PrettyK(row.front().BlkSz).c_str());
    for (const CellResult &c : row) {
      if (c.worker_transfers.empty()) continue;  // not measured: left out as in the IOPS table
      std::printf("| %8.1f %8.1f %8.1f %8.1f ", static_cast<double>(c.lat.p50) / 1000.0,
                  static_cast<double>(c.lat.p99) / 1000.0, static_cast<double>(c.lat.p99_9) / 1000.0,
                  static_cast<double>(c.lat.max) / 1000.0);
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

void RunTable(int rw) {
  if (rw == 2 && MixShares.size() > 1)
    std::printf("Mixed Tests, %d%% reads:\n", MixShare);
  else
    std::printf(rw == 2 ? "Mixed Tests:\n" : rw ? "Write Tests:\n" : "Read Tests:\n");
  std::printf("\n");
  PrintHeader();
  std::vector<TableRow> rows;
  // CheckSettings keeps SzMax at most INT_MAX / 2, so the doubling ends.
  for (int BlkSz = SzMin; BlkSz <= SzMax; BlkSz *= 2) {
    std::printf("%5s ", PrettyK(BlkSz).c_str());
    std::fflush(stdout);
    TableRow row;
    for (int i = 0; i < kThreadCols; i++) {
      if (ThreadLst[i] == 0) continue;
      CellResult c = Test(ThreadLst[i], BlkSz, rw);
      if (!c.worker_transfers.empty()) Results.cells.push_back(c);
      row.push_back(c);
    }
    rows.push_back(row);
    std::printf("\n");
    std::fflush(stdout);
  }
  if (lat_opt) PrintLatTable(rw, rows);
}

void Sampling(int OpenWt) {
  AllocBufs(OpenWt);
  Test(DeviceCnt, 0, OpenWt);
  // The numbers of the "t%d:%d:%s:" lines, for --json=.
  for (int i = 0; i < DeviceCnt; i++) {
    SampleRow row{i, Devices[i], SampleSeconds(TestNum), {}};
    for (int k = 0; k < TestTime && k < kMaxSamples; k++)
      row.counts.push_back(ctl.ResArray->ResArray[i][k]);
    Results.samples.push_back(row);
  }
}

}  // namespace

void PrintHeader() {
  std::printf("%5s ", "Block");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", ThBuf[i]);
  std::printf("\n");
  std::printf("%5s ", "Size");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", "IOPS    BW   ");
  std::printf("\n");
  std::printf("%5s ", "");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0) std::printf("|%16s", "");
  std::printf("\n");
}

void NormalRun() {
  int OpenWt = ResolveRunFlags();
  AllocBufs(OpenWt);
  std::printf("\n");
  if (c_opt) Clear();
  std::printf("\n");
  for (int i = 0; i < kThreadCols; i++)
    if (ThreadLst[i] != 0)
      std::snprintf(ThBuf[i], sizeof ThBuf[i], "%d thread%c   ", ThreadLst[i],
                    ThreadLst[i] == 1 ? ' ' : 's');
  if (QueueDepth > 1 && (r_opt || w_opt || !MixShares.empty())) std::printf("Queue depth %d\n", QueueDepth);
  if (r_opt) RunTable(0);
  if (w_opt) {
    std::printf("\n");
    RunTable(1);
  }
  for (size_t k = 0; k < MixShares.size(); k++) {
    if (r_opt || w_opt || k > 0) std::printf("\n");
    MixShare = MixShares[k];
    RunTable(2);
  }
  std::printf("\n");
}

void DevList() {
  for (int i = 0; i < DeviceCnt; i++) {
    int fd = open(Devices[i], O_RDWR | O_EXCL | o_direct);
    if (fd < 0) continue;
    std::printf("%s\n", Devices[i]);
    close(fd);
  }
}

int RunBench(int argc, char **argv) {
  if (!ParseArgs(argc, argv)) return 0;
  CheckSettings();
  if (!JsonFile.empty()) CheckResultsFile(JsonFile);
  Results = BenchResults{XTL_VERSION, time(nullptr), true, lat_opt != 0, {}, {}};
  if (Devices[0][0] == '\0') usage(0);
  if (b_opt) o_direct = 0;
  InstallSignals();
  ctl.DevSizeSectors = DevSizeMiB * 1048576 / kSectorSize;

  switch (TestNum) {
    case kModeTables: NormalRun(); break;
    case kModeReadSample10: TestTime = 10; Sampling(0); break;
    case kModeReadSample120: TestTime = 120; Sampling(0); break;
    case kModeReadSample1800: TestTime = 1800; Sampling(0); break;
    case kModeWriteSample10: TestTime = 10; Sampling(1); break;
    case kModeWriteSample120: TestTime = 120; Sampling(1); break;
    case kModeWriteSample1800: TestTime = 1800; Sampling(1); break;
    case kModeClear18G: x10_clear(); break;
    case kModeClear16G: x11_clear(); break;
    case kModeRandWrite16G: x12_test(); break;
    case kModeDevList: DevList(); break;
    default: break;
  }
  std::fflush(stdout);
  Results.ok = RunCtx.RunErr == 0;
  if (!JsonFile.empty()) WriteResultsFile(JsonFile, Results);
  // Every line is out; a worker that met a transfer error or a stamp mismatch
  // makes the run fail so that a script can tell.
  if (RunCtx.RunErr) FatalQuiet();
  return 0;
}
