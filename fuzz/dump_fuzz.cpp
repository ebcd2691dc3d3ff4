// The write-block walk over an in-memory device: the input is the device
// image from byte 0 (header block first); blocks are found by the same
// address mapping the dump uses, and a block past the end fails the read.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fatal.h"
#include "xtl.h"

namespace {
struct Image {
  const uint8_t *data;
  size_t size;
  const Device *dev;
};

const uint8_t *ReadMem(uint64_t pba, void *ctx) {
  const auto *img = static_cast<const Image *>(ctx);
  if (pba >= kMaxPba) Fatal("Error reading block - %d\n", EINVAL);
  const uint64_t off =
      static_cast<uint64_t>(PbaToSector(img->dev->DevHdr, static_cast<int64_t>(pba))) * kSectorSize;
  if (off > img->size || img->size - off < kBlockSize) Fatal("Error reading block - %d\n", 0);
  return img->data + off;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = std::fopen("/dev/null", "w");
  if (size < kHdrSize) return 0;
  ResetSettings();
  Device dev;
  LoadHdr(dev, data);
  v_TrackN = data[kHdrSize - 1] & 3;  // a padding byte the walk never reads
  Image img{data, size, &dev};
  try {
    DumpWtBlk(sink, dev, v_TrackN, ReadMem, &img);
  } catch (const FatalError &) {
  }
  return 0;
}
