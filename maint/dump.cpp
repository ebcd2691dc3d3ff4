// The dump command: the write-block headers of one write block, segment by
// segment, as the driver laid them down.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "fatal.h"
#include "xtl.h"

namespace {

// Blocks of data of a segment: DataBlockSz chunks, v_ChunkCnt to a block,
// rounded up without overflowing near 2^32.
uint32_t DataBlocks(const BLK_HDR_H_20x &h, uint32_t v_ChunkCnt) {
  const uint32_t sz = h.DataBlockSz.get();
  return sz / v_ChunkCnt + (sz % v_ChunkCnt != 0 ? 1 : 0);
}

// Str as text: up to its first NUL, at most 32 characters.
std::string StrText(const char (&str)[32]) {
  return std::string(str, static_cast<size_t>(std::find(str, str + 32, '\0') - str));
}

std::string Hex32(const void *bytes) {
  static const char kDigits[] = "0123456789abcdef";
  const auto *p = static_cast<const uint8_t *>(bytes);
  std::string s;
  for (int i = 0; i < 32; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

const uint8_t *ReadDevBlk(uint64_t pba, void *ctx) {
  Device &dev = *static_cast<Device *>(ctx);
  ReadBlk(dev, pba);
  return dev.buf;
}

}  // namespace

void DumpHdr(FILE *out, const Device &device, const BLK_HDR_H_20x &h, int Meta1Cnt,
             int Off0) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  const uint32_t data = DataBlocks(h, device.v_ChunkCnt);
  const uint32_t per_meta = static_cast<uint32_t>(Meta1Cnt);
  const uint32_t nr_data = h.NrDataBlocks.get();
  const uint32_t meta = std::max<uint32_t>(1, nr_data / per_meta + (nr_data % per_meta != 0 ? 1 : 0));
  const uint32_t next = static_cast<uint32_t>(Off0) + meta * dev.MetaDupeCnt + data +
                        h.NrPadBlocks.get() + h.NrEccParityBlocks.get();

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

void DumpWtBlk(FILE *out, const Device &device, uint64_t track, BlockSource read_blk,
               void *ctx) {
  const DEV_HDR_20 &dev = device.DevHdr.h_20x;
  if (GetHdrVersion(device.DevHdr.raw) != HdrVersion::V20) Fatal("Header / version not supported.\n");
  if (dev.MetaVersion.get() != 0x201) Fatal("v 2.0 header not MetaVersion 0x201.\n");

  const int MetaBits = dev.BitSizes[0] + dev.BitSizes[1] + dev.BitSizes[2];
  const uint32_t cluster = dev.ClusterSize.get();
  // Neither a zero entry size nor a zero write block can be walked.
  if (MetaBits == 0) Fatal("v 2.0 header has no metadata entry size (BitSizes 0/0/0).\n");
  if (cluster == 0) Fatal("v 2.0 header has no write-block size (ClusterSize 0).\n");
  const int Meta1Cnt = static_cast<int>(kMetaBytes) / ((MetaBits + 7) / 8);

  std::fprintf(out, "sizeof hdr = %d\n", static_cast<int>(sizeof(BLK_HDR_H_20x)));
  std::fprintf(out, "off NrDataBlocks = %d\n", static_cast<int>(offsetof(BLK_HDR_H_20x, NrDataBlocks)));
  std::fprintf(out, "MetaBytes = %d\n", static_cast<int>(kMetaBytes));
  std::fprintf(out, "MetaBits  = %d\n", MetaBits);
  std::fprintf(out, "Meta1Cnt  = %d\n", Meta1Cnt);
  std::fprintf(out, "WtBlk: %d K (%d blocks)\n", static_cast<int>(cluster * kBlockSize / 1024),
               static_cast<int>(cluster));
  std::fprintf(out, "\n     Str      Pba      R#  sN  sI "
                    "     seq  Data  Zero  Size --ECC  Pad  Meta Sum             hash Next\n");

  const uint64_t base = uint64_t{cluster} * track;
  uint32_t Off0 = 0;
  for (;;) {
    std::fprintf(out, "\n");
    BLK_HDR_H_20x h0;
    std::memcpy(&h0, read_blk(base + Off0, ctx), sizeof h0);
    if (std::memcmp(h0.Str, dev.Str, sizeof dev.Str) != 0) {
      std::fprintf(out, "Off0 = %d  ! hdr match\n", static_cast<int>(Off0));
      std::fprintf(out, "  blk hdr = %s\n", Hex32(h0.Str).c_str());
      std::fprintf(out, "  dev hdr = %s\n", Hex32(dev.Str).c_str());
      return;
    }
    DumpHdr(out, device, h0, Meta1Cnt, static_cast<int>(Off0));

    // The data, padding and parity lie between the first metadata block and
    // the rest of the metadata and summary blocks.
    const uint64_t body = uint64_t{DataBlocks(h0, device.v_ChunkCnt)} + h0.NrEccPadBlocks.get() +
                          h0.NrEccParityBlocks.get() + h0.NrPadBlocks.get();
    const uint32_t metas = h0.NrMetaBlocks.get() * h0.NrMetaBlocksRepl + h0.NrSummaryBlocks.get();
    for (uint32_t i = 1; i < metas; i++) {
      const uint64_t pba = base + Off0 + i + body;
      BLK_HDR_H_20x h;
      std::memcpy(&h, read_blk(pba, ctx), sizeof h);
      if (std::memcmp(h.Str, dev.Str, sizeof dev.Str) != 0) {
        std::fprintf(out, "! hdr match  pba = %lld |%s|\n", static_cast<long long>(pba),
                     StrText(h.Str).c_str());
        std::fprintf(out,
                     "i = %d  pba = %lld  NrMetaBlocks = %d  NrMetaBlocksRepl = %d  "
                     "NrSummaryBlocks = %d\n",
                     static_cast<int>(i), static_cast<long long>(pba),
                     static_cast<int>(h0.NrMetaBlocks.get()), h0.NrMetaBlocksRepl,
                     static_cast<int>(h0.NrSummaryBlocks.get()));
        return;
      }
      DumpHdr(out, device, h, Meta1Cnt, static_cast<int>(Off0));
    }

    // The segment's size is summed wide, so a corrupt count can neither wrap
    // the walk back to an earlier segment nor leave it standing still.
    const uint64_t seg = body + uint64_t{h0.NrMetaBlocks.get()} * h0.NrMetaBlocksRepl +
                         h0.NrSummaryBlocks.get();
    if (seg == 0) {
      std::fprintf(out, "Off0 = %d  ! empty segment, walk ends\n", static_cast<int>(Off0));
      return;
    }
    if (Off0 + seg >= cluster) return;
    Off0 = static_cast<uint32_t>(Off0 + seg);
  }
}

void DoDump() {
  Device dev = OpenDev(O_RDWR | O_LARGEFILE, static_cast<int>(kBlockSize));
  ReadHdr(dev);
  DumpWtBlk(stdout, dev, v_TrackN, ReadDevBlk, &dev);
}
