// SPDX-License-Identifier: Apache-2.0
// The check over an in-memory device: the input is the device image from
// byte 0 (header block first). Byte 510 picks the range (bits 0-1: none,
// first, first and count, from bytes 508 and 509) and, with bit 7, puts a
// true checksum into the header so that mutated headers still reach the
// walk. Those bytes lie in the header's padding, which no field check looks
// at. The check must never ask for a block outside the device, and the walk
// with many write blocks waiting at once (bits 4-6 of byte 510 pick the
// depth) must report what the one-at-a-time walk reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check_report.h"
#include "fatal.h"
#include "mem_image.h"
#include "readq.h"
#include "xtl.h"

namespace {

// The image as a read queue whose reads end last queued, first ended.
struct MemQueue : BlockQueue {
  const MemImage &m;
  unsigned depth;
  std::vector<uint8_t> bufs;
  std::vector<std::pair<unsigned, uint64_t>> queued;
  MemQueue(const MemImage &image, unsigned d) : m(image), depth(d), bufs(size_t{d} * kBlockSize) {}
  unsigned Depth() const override { return depth; }
  const uint8_t *Buf(unsigned tag) const override { return bufs.data() + size_t{tag} * kBlockSize; }
  void Queue(unsigned tag, uint64_t off) override { queued.emplace_back(tag, off); }
  void Reap(std::vector<BlockDone> &done) override {
    for (; !queued.empty(); queued.pop_back()) {
      const auto [tag, off] = queued.back();
      std::memcpy(bufs.data() + size_t{tag} * kBlockSize, ReadMemImage(off, const_cast<MemImage *>(&m)), kBlockSize);
      done.push_back({tag, true, 0});
    }
  }
};

// The report as text, or the message that ended the check.
std::string Report(const CheckDev &dev, const CheckRange &range) {
  try {
    const CheckReport r = CheckDevice(dev, range);
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    PrintCheck(f, r);
    PrintCheckJson(f, r, "fuzz");
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
  } catch (const FatalError &e) {
    return e.text;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHdrSize) return 0;
  DevHdrBuf hdr;
  std::memcpy(hdr.raw, data, kHdrSize);
  const uint8_t ctl = data[510];
  if ((ctl & 0x80) != 0) hdr.h_20x.mm3_64.set(HdrChecksum(hdr));
  CheckRange range;
  range.first_given = (ctl & 3) >= 1;
  range.first = data[508];
  range.count_given = (ctl & 3) >= 2;
  range.count = data[509];
  MemImage m{data, size, true};
  CheckDev dev{std::span<const uint8_t, kHdrSize>(hdr.raw, kHdrSize), size, 0, ReadMemImage, &m};
  const std::string one = Report(dev, range);
  MemQueue q(m, 1u + ((ctl >> 4) & 7u) * 5u);
  dev.queue = &q;
  if (Report(dev, range) != one) __builtin_trap();
  return 0;
}
