// SPDX-License-Identifier: Apache-2.0
// The printed figures of a measurement: the tables, their cells and the
// sample lines of the sampling modes.
#include <cstdio>

#include "report.h"

#include <string>

#include "bench.h"

void PrettyRate(int64_t n, char *buf) {
  constexpr int64_t kK = 1024, kM = int64_t{1} << 20, kG = int64_t{1} << 30;
  if (n <= 8191)
    std::snprintf(buf, 32, "%4d   B", static_cast<int>(n));
  else if (n <= 8388607)
    std::snprintf(buf, 32, "%4d.%0dK", static_cast<int>(n / kK), static_cast<int>(((n % kK) * 5) / 512));
  else if (n <= 8589934591)
    std::snprintf(buf, 32, "%4d.%0dM", static_cast<int>(n / kM),
                  static_cast<int>(((n % kM) * 5) / (int64_t{1} << 19)));
  else
    std::snprintf(buf, 32, "%4d.%0dG", static_cast<int>(n / kG),
                  static_cast<int>(((n % kG) * 5) / (int64_t{1} << 29)));
}

bool FormatCell(uint64_t total, int BlkSz, int64_t elapsed_ms, std::string &cell) {
  // A window without length (clock stepped back, or no time passed) has no
  // rate; the cell shows 0 instead of dividing by it.
  bool ok = elapsed_ms > 0;
  auto t = static_cast<int64_t>(total);
  int64_t iops = ok ? t * 1000 / elapsed_ms : 0;
  int64_t bw = ok ? static_cast<int64_t>(BlkSz) * t * 1000 / elapsed_ms : 0;
  char rate[32];
  PrettyRate(bw, rate);
  char buf[96];
  std::snprintf(buf, sizeof buf, "|%7lld %s ", static_cast<long long>(iops), rate);
  cell = buf;
  return ok;
}

namespace {

// The label of column i: "%d thread%c   ".
std::string ThreadLabel(int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d thread%c   ", n, n == 1 ? ' ' : 's');
  return buf;
}

}  // namespace

void PrintHeader(const BenchConfig &cfg) {
  std::printf("%5s ", "Block");
  for (int t : cfg.threads)
    if (t != 0) std::printf("|%16s", ThreadLabel(t).c_str());
  std::printf("\n");
  std::printf("%5s ", "Size");
  for (int t : cfg.threads)
    if (t != 0) std::printf("|%16s", "IOPS    BW   ");
  std::printf("\n");
  std::printf("%5s ", "");
  for (int t : cfg.threads)
    if (t != 0) std::printf("|%16s", "");
  std::printf("\n");
}

TableReporter::TableReporter(const BenchConfig &cfg, int rw, int share)
    : cfg_(cfg), rw_(rw), share_(share) {}

void TableReporter::Begin() const {
  if (rw_ == 2 && cfg_.mix_shares.size() > 1)
    std::printf("Mixed Tests, %d%% reads:\n", share_);
  else
    std::printf(rw_ == 2 ? "Mixed Tests:\n" : rw_ ? "Write Tests:\n" : "Read Tests:\n");
  std::printf("\n");
  PrintHeader(cfg_);
}

void TableReporter::RowStart(int blk) {
  std::printf("%5s ", PrettyK(blk).c_str());
  std::fflush(stdout);
  rows_.emplace_back();
}

void TableReporter::Cell(const CellResult &c) {
  for (uint64_t k = 0; k < c.missing_records; k++) std::printf("res = %d\n", 0);
  std::string cell;
  FormatCell(c.total, c.BlkSz, c.window_ms, cell);
  std::fputs(cell.c_str(), stdout);
  std::fflush(stdout);
  rows_.back().push_back(c);
}

void TableReporter::RowEnd() const {
  std::printf("\n");
  std::fflush(stdout);
}

// The latency table printed after an IOPS table with --lat: the same rows
// and columns; each cell holds p50, p99, p99.9 and the maximum in
// microseconds, each " %8.1f", then a blank.
void TableReporter::End() const {
  if (!cfg_.lat) return;
  static const char *const kTitles[] = {"Read latency (us):\n", "Write latency (us):\n",
                                        "Mixed latency (us):\n"};
  char names[64];
  std::snprintf(names, sizeof names, " %8s %8s %8s %8s ", "p50", "p99", "p99.9", "max");
  std::printf("\n");
  std::printf("%s", kTitles[rw_]);
  std::printf("\n");
  const char *labels[3] = {"Block", "Size", ""};
  for (int line = 0; line < 3; line++) {
    std::printf("%5s ", labels[line]);
    for (int t : cfg_.threads)
      if (t != 0) std::printf("|%37s", line == 0 ? ThreadLabel(t).c_str() : line == 1 ? names : "");
    std::printf("\n");
  }
  for (const TableRow &row : rows_) {
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

void FillReporter::Start(uint64_t size_mib) const {
  std::printf("Filling %dG before testing  ...            ", static_cast<int>(size_mib / 1024));
  std::fflush(stdout);
}

void FillReporter::Filled(uint64_t mib) const {
  std::printf("%c%c%c%c%c%c%c%c%c%c%c%8d MB", 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, static_cast<int>(mib));
  std::fflush(stdout);
}

void FillReporter::Done(uint64_t mib, uint64_t elapsed_ms) const {
  Filled(mib);
  // The rate counts the MiB actually written, which is fewer than --size=
  // when the fill met the end of a smaller device.
  std::printf(" done in %d.%03d seconds (%d MB/sec).\n", static_cast<int>(elapsed_ms / 1000),
              static_cast<int>(elapsed_ms % 1000), static_cast<int>(FillRate(mib, elapsed_ms)));
}

void FillReporter::Stopped(uint64_t mib) const {
  Filled(mib);
  std::printf("\n");
}

void FillReporter::Progress(bool final, long long gib, long long rate) const {
  if (final)
    std::printf("%3d TB  %lld MB/sec\n", static_cast<int>(gib), rate);
  else
    std::printf("%3d TB  %lld MB/sec\r", static_cast<int>(gib), rate);
  std::fflush(stdout);
}

void PrintSamples(const BenchConfig &cfg, const Rig &rig, int ThCnt) {
  for (int i = 0; i < ThCnt; i++) {
    std::printf("t%d:%d:%s:", cfg.mode, i, cfg.PathOf(i).c_str());
    for (int k = 0; k < cfg.seconds && k < kMaxSamples; k++)
      std::printf(k ? " %d" : "%d", rig.ResArray->ResArray[i][k]);
    std::printf("\n");
  }
}
