// SPDX-License-Identifier: Apache-2.0
// Builders of log device images for the log tool tests: segments of data
// sectors closed by a control sector, the record at sector 0 after a wrap,
// and stamped data sectors whose owner can be told from their bytes.
// Usable from the whole-program tests too (include by relative path).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xtl.h"

namespace logimg {

struct Ent {
  uint64_t target;
  uint32_t cnt;
  uint32_t tp = 0;
};

// A data sector's content: 512 bytes naming the segment's seq, the entry and
// the sector within the entry, so a test can tell whose data landed where.
inline std::vector<uint8_t> Stamp(uint64_t seq, uint32_t entry, uint32_t k) {
  std::vector<uint8_t> s(kSectorSize);
  for (size_t i = 0; i < s.size(); i += 16) {
    const uint64_t a = seq * 1000003 + entry;
    const uint64_t b = (uint64_t{k} << 32) | (i / 16);
    std::memcpy(&s[i], &a, 8);
    std::memcpy(&s[i + 8], &b, 8);
  }
  return s;
}

// A valid control sector for the given entries (NumEntries, NumSectors, Str).
inline LOG_TAIL MakeTail(uint64_t seq, const std::vector<Ent> &ents) {
  LOG_TAIL lt{};
  uint32_t sum = 0;
  for (size_t j = 0; j < ents.size(); j++) {
    lt.le[j].Set(ents[j].target, ents[j].cnt, ents[j].tp);
    sum += ents[j].cnt;
  }
  lt.NumEntries.set(static_cast<uint32_t>(ents.size()));
  lt.NumSectors.set(sum);
  lt.seq.set(seq);
  std::memcpy(lt.Str, kLogId, sizeof kLogId);
  return lt;
}

inline uint32_t SumCnt(const std::vector<Ent> &ents) {
  uint32_t s = 0;
  for (const Ent &e : ents) s += e.cnt;
  return s;
}

class LogImage {
 public:
  explicit LogImage(int64_t sectors) : bytes(static_cast<size_t>(sectors) * kSectorSize) {}

  std::vector<uint8_t> bytes;

  int64_t Sectors() const { return static_cast<int64_t>(bytes.size() / kSectorSize); }

  void PutSector(int64_t sector, const void *data512) {
    std::memcpy(&bytes[static_cast<size_t>(sector) * kSectorSize], data512, kSectorSize);
  }
  void PutTail(int64_t sector, const LOG_TAIL &lt) { PutSector(sector, &lt); }
  LOG_TAIL GetTail(int64_t sector) const {
    LOG_TAIL lt;
    std::memcpy(&lt, &bytes[static_cast<size_t>(sector) * kSectorSize], sizeof lt);
    return lt;
  }

  // A segment closed by the control sector ctl: its data sectors lie directly
  // below, the type-0 entries' stamped data one after another from the first.
  // Returns the first data sector.
  int64_t Segment(int64_t ctl, uint64_t seq, const std::vector<Ent> &ents) {
    const int64_t first = ctl - SumCnt(ents);
    int64_t d = first;
    for (size_t j = 0; j < ents.size(); j++) {
      if (ents[j].tp != 0) continue;
      for (uint32_t k = 0; k < ents[j].cnt; k++, d++)
        if (d >= 0) PutSector(d, Stamp(seq, static_cast<uint32_t>(j), k).data());
    }
    PutTail(ctl, MakeTail(seq, ents));
    return first;
  }

  // The record at sector 0 after a wrap: only its seq is read.
  void WrapMark(uint64_t seq) {
    LOG_TAIL lt{};
    lt.seq.set(seq);
    PutTail(0, lt);
  }

  bool WriteFile(const std::string &path) const {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && ok;
  }
};

// The wrapped log of a 64-sector device: the first pass wrote seq 1 to 6 with
// control sectors 10, 20, ..., 60 (9 data sectors each); after the wrap sector
// 0 holds seq 6 and the second pass wrote seq 7 (control 10) and 8 (control 20).
// Every segment has entries of 4 and 5 sectors of type 0 aimed at target
// sectors 1000 + 100 * (seq % 3) and 1000 + 100 * (seq % 3) + 4, so later
// segments overwrite earlier ones. What `log disp` lists for it after the
// summary: tests/support/data/log-disp-wrapped64.txt.
inline std::vector<Ent> WrapEntries(uint64_t seq) {
  const uint64_t base = 1000 + 100 * (seq % 3);
  return {{base, 4, 0}, {base + 4, 5, 0}};
}

inline LogImage Wrapped64() {
  LogImage img(64);
  for (uint64_t seq = 1; seq <= 6; seq++) img.Segment(static_cast<int64_t>(seq) * 10, seq, WrapEntries(seq));
  img.WrapMark(6);
  img.Segment(10, 7, WrapEntries(7));
  img.Segment(20, 8, WrapEntries(8));
  return img;
}

}  // namespace logimg
