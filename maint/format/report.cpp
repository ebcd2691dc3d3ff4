// SPDX-License-Identifier: Apache-2.0
// The format report: thousands separators and the two unit scalings, and the
// fixed-layout report printed after the version 2.0 layout.
#include "format/report.h"

char *FmtComma(uint64_t x, char *text) {
  // The first group is never split, so the largest 64-bit number needs
  // 11 + 4 x 3 characters and the NUL: 24. Printed unsigned throughout.
  const unsigned long long v = x;
  if (v <= 999ULL)
    std::snprintf(text, 24, "%llu", v);
  else if (v <= 999999ULL)
    std::snprintf(text, 24, "%llu,%03llu", v / 1000, v % 1000);
  else if (v <= 999999999ULL)
    std::snprintf(text, 24, "%llu,%03llu,%03llu", v / 1000000, (v / 1000) % 1000, v % 1000);
  else
    std::snprintf(text, 24, "%llu,%03llu,%03llu,%03llu", v / 1000000000, (v / 1000000) % 1000,
                  (v / 1000) % 1000, v % 1000);
  return text;
}

namespace {
// One row per unit; a value never has more than five digits. The last row of
// each table goes past 99,999 TiB / TB so that every 64-bit size keeps a
// true number and a label (at most 16,383 PiB and 18,446 PB).
struct ScaleRow {
  uint64_t max;
  uint64_t div;
  const char *label;
};
constexpr ScaleRow kBinRows[] = {
    {99999ULL, 1, "  B"},
    {99999ULL << 10, 1ULL << 10, "KiB"},
    {99999ULL << 20, 1ULL << 20, "MiB"},
    {99999ULL << 30, 1ULL << 30, "GiB"},
    {99999ULL << 40, 1ULL << 40, "TiB"},
    {UINT64_MAX, 1ULL << 50, "PiB"},
};
constexpr ScaleRow kDecRows[] = {
    {99999ULL, 1, " B"},
    {99999000ULL, 1000ULL, "KB"},
    {99999000000ULL, 1000000ULL, "MB"},
    {99999000000000ULL, 1000000000ULL, "GB"},
    {99999000000000000ULL, 1000000000000ULL, "TB"},
    {UINT64_MAX, 1000000000000000ULL, "PB"},
};

template <size_t N>
const ScaleRow &Row(const ScaleRow (&rows)[N], uint64_t x) {
  for (const ScaleRow &r : rows)
    if (x <= r.max) return r;
  return rows[N - 1];
}
}  // namespace

int32_t GiB(uint64_t x) {
  const ScaleRow &r = Row(kBinRows, x);
  return static_cast<int32_t>(x / r.div);
}
const char *GiB_u(uint64_t x) { return Row(kBinRows, x).label; }
int32_t GB(uint64_t x) {
  const ScaleRow &r = Row(kDecRows, x);
  return static_cast<int32_t>(x / r.div);
}
const char *GB_u(uint64_t x) { return Row(kDecRows, x).label; }

namespace {
// A scaled value goes to FmtComma sign-extended to 64 bits.
uint64_t Widen(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

void SizeLine(FILE *out, const char *title, uint64_t blocks, const uint8_t *bits) {
  char n[24], b[24], d[24];
  const uint64_t bytes = blocks * kBlockSize;
  std::fprintf(out, "%s: %16s 4K blocks  %7s %3s  %7s %2s", title, FmtComma(blocks, n),
               FmtComma(Widen(GiB(bytes)), b), GiB_u(bytes), FmtComma(Widen(GB(bytes)), d),
               GB_u(bytes));
  if (bits != nullptr)
    std::fprintf(out, "   %d/%d/%d/%d", bits[0], bits[1], bits[2], bits[3]);
  std::fputc('\n', out);
}
}  // namespace

void PrintFormatReport(FILE *out, uint64_t devSize, uint64_t wtBlkSz, uint32_t wtSegSz,
                       const std::string &opts, const DEV_HDR_20 &h) {
  char a[24], b[24];
  std::fprintf(out, "\nFormattting: Dev = %s %s / %s %s   Opts = %s\n\n",
               FmtComma(Widen(GiB(devSize)), a), GiB_u(devSize), FmtComma(Widen(GB(devSize)), b),
               GB_u(devSize), opts.c_str());
  std::fprintf(out, "             WtBlkSz = %11s KB\n", FmtComma(wtBlkSz / 1024, a));
  std::fprintf(out, "             WtSegSz = %11s KB\n\n", FmtComma(wtSegSz, a));
  SizeLine(out, "   Phy Size", h.PhysicalBlocks.get(), h.BitSizes);
  SizeLine(out, "   Log Size", h.LogicalBlocks.get(), nullptr);
  SizeLine(out, "vm Phy Size", h.vm_PhysicalBlocks.get(), h.vm_BitSizes);
  SizeLine(out, "vm Log Size", h.vm_LogicalBlocks.get(), nullptr);
  std::fputc('\n', out);
}
