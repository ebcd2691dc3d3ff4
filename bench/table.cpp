// SPDX-License-Identifier: Apache-2.0
// The printed figures of a measurement: the table cell and the sample lines
// of the sampling modes.
#include <cstdio>

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

void PrintSamples(int ThCnt) {
  for (int i = 0; i < ThCnt; i++) {
    std::printf("t%d:%d:%s:", TestNum, i, Devices[i]);
    for (int k = 0; k < TestTime && k < kMaxSamples; k++)
      std::printf(k ? " %d" : "%d", ctl.ResArray->ResArray[i][k]);
    std::printf("\n");
  }
}
