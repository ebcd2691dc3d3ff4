// SPDX-License-Identifier: Apache-2.0
// The dump command: the write-block headers of one write block, segment by
// segment, as the driver laid them down. A printing visitor of the
// write-block walk.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "dump.h"
#include "jsondoc.h"
#include "fatal.h"
#include "wtblk.h"
#include "xtl.h"

std::string StrText(const char (&str)[32]) {
  return std::string(str, static_cast<size_t>(std::find(str, str + 32, '\0') - str));
}

namespace {

class DumpPrinter : public WtBlkVisitor {
 public:
  DumpPrinter(FILE *out, const Device &dev, int meta1, BlockSource read, void *ctx)
      : out_(out), dev_(dev), meta1_(meta1), read_(read), ctx_(ctx) {}

  const uint8_t *Read(const WtBlkAt &at) override {
    if (at.i == 0) std::fprintf(out_, "\n");
    return DumpRead(dev_, at, read_, ctx_);
  }
  void Head(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *,
            const SegShape &) override {
    h0_ = h;
    DumpHdr(out_, dev_, h, meta1_, static_cast<int>(at.off0));
  }
  void Meta(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *) override {
    DumpHdr(out_, dev_, h, meta1_, static_cast<int>(at.off0));
  }
  // The further blocks of an oversized segment are shown before the walk
  // ends, counted in 32 bits as the dump has always counted them.
  uint64_t OverrunMetas(const SegShape &s) override { return static_cast<uint32_t>(s.metas); }
  void End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &) override;

 private:
  FILE *out_;
  const Device &dev_;
  int meta1_;
  BlockSource read_;
  void *ctx_;
  BLK_HDR_H_20x h0_{};
};

void DumpPrinter::End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &) {
  const int off0 = static_cast<int>(at.off0);
  if (why == WalkEnd::HeadMismatch) {
    std::fprintf(out_, "Off0 = %d  ! hdr match\n", off0);
    std::fprintf(out_, "  blk hdr = %s\n", HexBytes(h.Str, 32).c_str());
    std::fprintf(out_, "  dev hdr = %s\n", HexBytes(dev_.DevHdr.h_20x.Str, 32).c_str());
  } else if (why == WalkEnd::MetaMismatch) {
    std::fprintf(out_, "! hdr match  pba = %lld |%s|\n", static_cast<long long>(at.pba),
                 StrText(h.Str).c_str());
    std::fprintf(out_,
                 "i = %d  pba = %lld  NrMetaBlocks = %d  NrMetaBlocksRepl = %d  "
                 "NrSummaryBlocks = %d\n",
                 static_cast<int>(at.i), static_cast<long long>(at.pba),
                 static_cast<int>(h0_.NrMetaBlocks.get()), h0_.NrMetaBlocksRepl,
                 static_cast<int>(h0_.NrSummaryBlocks.get()));
  } else if (why == WalkEnd::Empty) {
    std::fprintf(out_, "Off0 = %d  ! empty segment, walk ends\n", off0);
  }
}

void PrintPreamble(FILE *out, int MetaBits, int Meta1Cnt, uint32_t cluster) {
  std::fprintf(out, "sizeof hdr = %d\n", static_cast<int>(sizeof(BLK_HDR_H_20x)));
  std::fprintf(out, "off NrDataBlocks = %d\n", static_cast<int>(offsetof(BLK_HDR_H_20x, NrDataBlocks)));
  std::fprintf(out, "MetaBytes = %d\n", static_cast<int>(kMetaBytes));
  std::fprintf(out, "MetaBits  = %d\n", MetaBits);
  std::fprintf(out, "Meta1Cnt  = %d\n", Meta1Cnt);
  std::fprintf(out, "WtBlk: %d K (%d blocks)\n", static_cast<int>(cluster * kBlockSize / 1024),
               static_cast<int>(cluster));
  std::fprintf(out, "\n     Str      Pba      R#  sN  sI "
                    "     seq  Data  Zero  Size --ECC  Pad  Meta Sum             hash Next\n");
}

}  // namespace

const uint8_t *DumpRead(const Device &dev, const WtBlkAt &at, BlockSource read, void *ctx) {
  // No device reaches byte 2^63: such addresses are refused before any
  // arithmetic could wrap back into the device.
  if (at.pba >= kMaxPba) Fatal("Error reading block - %d\n", EINVAL);
  uint64_t byte = 0;
  if (!WtBlkByte(dev.DevHdr.h_20x, at.pba, &byte)) Fatal("Error reading block - %d\n", 0);
  return read(byte, ctx);
}

uint32_t DumpNextOff(const Device &device, const BLK_HDR_H_20x &h, int Meta1Cnt, int Off0) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  const auto data = static_cast<uint32_t>(ShapeOf(h, device.v_ChunkCnt).data);
  const uint32_t per_meta = static_cast<uint32_t>(Meta1Cnt);
  const uint32_t nr_data = h.NrDataBlocks.get();
  const uint32_t meta = std::max<uint32_t>(1, nr_data / per_meta + (nr_data % per_meta != 0 ? 1 : 0));
  return static_cast<uint32_t>(Off0) + meta * dev.MetaDupeCnt + data + h.NrPadBlocks.get() +
         h.NrEccParityBlocks.get();
}

int DumpMeta1Cnt(const Device &device) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  if (GetHdrVersion(device.DevHdr.raw) != HdrVersion::V20) Fatal("Header / version not supported.\n");
  if (dev.MetaVersion.get() != 0x201) Fatal("v 2.0 header not MetaVersion 0x201.\n");
  const int MetaBits = dev.BitSizes[0] + dev.BitSizes[1] + dev.BitSizes[2];
  // Neither a zero entry size nor a zero write block can be walked.
  if (MetaBits == 0) Fatal("v 2.0 header has no metadata entry size (BitSizes 0/0/0).\n");
  if (dev.ClusterSize.get() == 0) Fatal("v 2.0 header has no write-block size (ClusterSize 0).\n");
  return static_cast<int>(kMetaBytes) / ((MetaBits + 7) / 8);
}

void DumpHdr(FILE *out, const Device &device, const BLK_HDR_H_20x &h, int Meta1Cnt,
             int Off0) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  const auto data = static_cast<uint32_t>(ShapeOf(h, device.v_ChunkCnt).data);
  const uint32_t nr_data = h.NrDataBlocks.get();
  const uint32_t next = DumpNextOff(device, h, Meta1Cnt, Off0);

  char s1[48] = "";
  if (h.ReplN == 1 && h.SegI.get() == 1) {
    const uint32_t seg = dev.WriteSegmentSize.get();
    if (seg == 0)
      std::snprintf(s1, sizeof s1, "%d", static_cast<int>(next));
    else
      std::snprintf(s1, sizeof s1, "%d %d/%d", static_cast<int>(next), static_cast<int>(next / seg),
                    static_cast<int>(next % seg));
  }

  const uint64_t pba = h.pba.get();
  std::fprintf(out,
               "%8s %8lld/%4lld %2d  %2d %3d %8lld %5d %5d %5d %2d/%2d %4d %3d/%1d %3d %16llx %3d %s\n",
               StrText(h.Str).c_str(), static_cast<long long>(pba),
               static_cast<long long>(pba % dev.ClusterSize.get()), h.ReplN,
               h.SegN.get(), h.SegI.get(), static_cast<long long>(h.seq.get()),
               static_cast<int>(nr_data), static_cast<int>(h.NrZeroBlocks.get()),
               static_cast<int>(data), static_cast<int>(h.NrEccPadBlocks.get()),
               static_cast<int>(h.NrEccParityBlocks.get()), static_cast<int>(h.NrPadBlocks.get()),
               static_cast<int>(h.NrMetaBlocks.get()), h.NrMetaBlocksRepl,
               static_cast<int>(h.NrSummaryBlocks.get()),
               static_cast<unsigned long long>(h.mm3_64.get()), static_cast<int>(data), s1);
}

void DumpWtBlk(FILE *out, const Device &device, uint64_t track, BlockSource read, void *ctx) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  const int Meta1Cnt = DumpMeta1Cnt(device);
  const int MetaBits = dev.BitSizes[0] + dev.BitSizes[1] + dev.BitSizes[2];
  PrintPreamble(out, MetaBits, Meta1Cnt, dev.ClusterSize.get());
  DumpPrinter printer(out, device, Meta1Cnt, read, ctx);
  WalkWtBlk(dev, track, printer);
}

void DoDump() {
  if (v_Json != 0) return DumpJson();
  Device dev = OpenDev(O_RDWR | O_LARGEFILE, static_cast<int>(kBlockSize));
  ReadHdr(dev);
  DumpWtBlk(stdout, dev, v_TrackN, ReadDevBlock, &dev);
}
