// The dump's walk over an in-memory device: the input is the device image
// from byte 0 (header block first); the walk finds each block by the
// header's mapping, and a block past the end fails the read.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fatal.h"
#include "xtl.h"

namespace {
struct Image {
  const uint8_t *data;
  size_t size;
};

const uint8_t *ReadMem(uint64_t off, void *ctx) {
  const auto *img = static_cast<const Image *>(ctx);
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
  Image img{data, size};
  try {
    DumpWtBlk(sink, dev, v_TrackN, ReadMem, &img);
  } catch (const FatalError &) {
  }
  return 0;
}
