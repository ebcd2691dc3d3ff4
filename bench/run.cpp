// SPDX-License-Identifier: Apache-2.0
// The order of a vexbench run: arguments, checks, signals, then one run mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "bench.h"
#include "config.h"
#include "fatal.h"
#include "report.h"

namespace {

// What a run collects as it goes: every cell for --lat and --json=, the
// number of cells started (for --start-at=) and whether anything failed.
struct RunLog {
  BenchResults results;
  int cells = 0;
  // Set when any worker of any measurement reported an error (or a cell could
  // not be measured): the run then ends with status 1 after its last line.
  bool err = false;
};

// One table: the grid of block sizes down, the worker counts across.
void RunTable(const BenchConfig &cfg, const Rig &rig, int rw, int share, RunLog &log) {
  TableReporter rep(cfg, rw, share);
  rep.Begin();
  // CheckSettings keeps the grid's top at most INT_MAX / 2, so the doubling ends.
  for (int BlkSz = cfg.blk_min; BlkSz <= cfg.blk_max; BlkSz *= 2) {
    rep.RowStart(BlkSz);
    for (int t : cfg.threads) {
      if (t == 0) continue;
      const CellResult c = Test(cfg, rig, CellSpec{t, BlkSz, rw, share, log.cells++});
      rep.Cell(c);
      if (c.failed) log.err = true;
      if (!c.worker_transfers.empty()) log.results.cells.push_back(c);
    }
    rep.RowEnd();
  }
  rep.End();
}

void NormalRun(const BenchConfig &cfg, RunLog &log) {
  std::printf("OpenWt = %d\n", cfg.open_wt ? 1 : 0);
  const Rig rig = AllocBufs(cfg);
  if (rig.open_err) log.err = true;
  std::printf("\n");
  if (cfg.fill) Clear(cfg, rig, FillReporter{});
  std::printf("\n");
  const bool tables = cfg.read_table || cfg.write_table || !cfg.mix_shares.empty();
  if (cfg.queue_depth > 1 && tables) std::printf("Queue depth %d\n", cfg.queue_depth);
  if (cfg.read_table) RunTable(cfg, rig, 0, 0, log);
  if (cfg.write_table) {
    std::printf("\n");
    RunTable(cfg, rig, 1, 0, log);
  }
  for (size_t k = 0; k < cfg.mix_shares.size(); k++) {
    if (cfg.read_table || cfg.write_table || k > 0) std::printf("\n");
    RunTable(cfg, rig, 2, cfg.mix_shares[k], log);
  }
  std::printf("\n");
}

// Modes 1 to 6: one worker per device, its samples in the result array.
void Sampling(const BenchConfig &cfg, RunLog &log) {
  const int OpenWt = cfg.open_wt ? 1 : 0;
  std::printf("OpenWt = %d\n", OpenWt);
  const Rig rig = AllocBufs(cfg);
  if (rig.open_err) log.err = true;
  const int n = static_cast<int>(cfg.devices.size());
  if (Test(cfg, rig, CellSpec{n, 0, OpenWt}).failed) log.err = true;
  PrintSamples(cfg, rig, n);
  // The numbers of the "t%d:%d:%s:" lines, for --json=.
  for (int i = 0; i < n; i++) {
    SampleRow row{i, cfg.PathOf(i), SampleSeconds(cfg.mode), {}};
    for (int k = 0; k < cfg.seconds && k < kMaxSamples; k++)
      row.counts.push_back(rig.ResArray->ResArray[i][k]);
    log.results.samples.push_back(row);
  }
}

void RunMode(const BenchConfig &cfg, RunLog &log) {
  switch (cfg.mode) {
    case kModeTables: NormalRun(cfg, log); break;
    case kModeReadSample10:
    case kModeReadSample120:
    case kModeReadSample1800:
    case kModeWriteSample10:
    case kModeWriteSample120:
    case kModeWriteSample1800: Sampling(cfg, log); break;
    case kModeClear18G: x10_clear(cfg, FillReporter{}); break;
    case kModeClear16G: x11_clear(cfg, FillReporter{}); break;
    case kModeRandWrite16G: x12_test(cfg, FillReporter{}); break;
    case kModeDevList: DevList(cfg); break;
    default: break;
  }
}

}  // namespace

void DevList(const BenchConfig &cfg) {
  for (const std::string &dev : cfg.devices) {
    int fd = open(dev.c_str(), O_RDWR | O_EXCL | cfg.direct);
    if (fd < 0) continue;
    std::printf("%s\n", dev.c_str());
    close(fd);
  }
}

int RunBench(int argc, char **argv) {
  if (!ParseArgs(argc, argv)) return 0;
  CheckSettings();
  const BenchConfig cfg = BuildConfig();
  if (!cfg.json_file.empty()) CheckResultsFile(cfg.json_file);
  RunLog log;
  log.results = BenchResults{XTL_VERSION, time(nullptr), true, cfg.lat, {}, {}};
  if (cfg.devices.empty() || cfg.devices.front().empty()) usage(0);
  InstallSignals();
  RunMode(cfg, log);
  std::fflush(stdout);
  log.results.ok = !log.err;
  if (!cfg.json_file.empty()) WriteResultsFile(cfg.json_file, cfg, log.results);
  // Every line is out; a worker that met a transfer error or a stamp mismatch
  // makes the run fail so that a script can tell.
  if (log.err) FatalQuiet();
  return 0;
}
