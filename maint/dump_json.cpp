// SPDX-License-Identifier: Apache-2.0
// dump --json: the preamble, the header lines segment by segment and the
// way the walk ended, as one document, valued as the dump's text shows them.
#include <fcntl.h>

#include "check_hdr.h"
#include "dump.h"
#include "jsondoc.h"
#include "wtblk.h"
#include "xtl.h"

namespace {

// Two numbers the text shows with a slash between them.
void Pair(JsonWriter &w, const char *key, int64_t a, int64_t b) {
  w.Key(key);
  w.BeginArray(true);
  w.Int(a);
  w.Int(b);
  w.EndArray();
}

class DumpDoc : public WtBlkVisitor {
 public:
  DumpDoc(JsonWriter &w, const Device &dev, int meta1) : w_(w), dev_(dev), meta1_(meta1) {}

  const uint8_t *Read(const WtBlkAt &at) override {
    return DumpRead(dev_, at, ReadDevBlock, const_cast<Device *>(&dev_));
  }
  void Head(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *, const SegShape &) override {
    CloseSegment();
    h0_ = h;
    w_.BeginObject();
    w_.MemberUint("Off0", at.off0);
    w_.Key("headers");
    w_.BeginArray();
    open_ = true;
    Line(h, at.off0);
  }
  void Meta(const WtBlkAt &at, const BLK_HDR_H_20x &h, const uint8_t *) override { Line(h, at.off0); }
  uint64_t OverrunMetas(const SegShape &s) override { return static_cast<uint32_t>(s.metas); }
  void End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &) override;

 private:
  void CloseSegment() {
    if (!open_) return;
    w_.EndArray();
    w_.EndObject();
    open_ = false;
  }
  void Line(const BLK_HDR_H_20x &h, uint32_t off0);
  void Next(const BLK_HDR_H_20x &h, uint32_t off0);

  JsonWriter &w_;
  const Device &dev_;
  int meta1_;
  bool open_ = false;
  BLK_HDR_H_20x h0_{};
};

void DumpDoc::Next(const BLK_HDR_H_20x &h, uint32_t off0) {
  w_.Key("Next");  // shown on the first line of a segment's first copy only
  if (h.ReplN != 1 || h.SegI.get() != 1) return w_.Null();
  const uint32_t next = DumpNextOff(dev_, h, meta1_, static_cast<int>(off0));
  const uint32_t seg = dev_.DevHdr.h_20x.WriteSegmentSize.get();
  w_.BeginArray(true);
  w_.Int(static_cast<int>(next));
  if (seg != 0) {
    w_.Int(static_cast<int>(next / seg));
    w_.Int(static_cast<int>(next % seg));
  }
  w_.EndArray();
}

void DumpDoc::Line(const BLK_HDR_H_20x &h, uint32_t off0) {
  const uint64_t pba = h.pba.get();
  w_.BeginObject();
  w_.MemberString("Str", StrText(h.Str));
  Pair(w_, "Pba", static_cast<int64_t>(pba),
       static_cast<int64_t>(pba % dev_.DevHdr.h_20x.ClusterSize.get()));
  w_.MemberInt("R#", h.ReplN);
  w_.MemberInt("sN", h.SegN.get());
  w_.MemberInt("sI", h.SegI.get());
  w_.MemberInt("seq", h.seq.get());
  w_.MemberInt("Data", static_cast<int>(h.NrDataBlocks.get()));
  w_.MemberInt("Zero", static_cast<int>(h.NrZeroBlocks.get()));
  w_.MemberInt("Size", static_cast<int>(ShapeOf(h, dev_.v_ChunkCnt).data));
  Pair(w_, "ECC", static_cast<int>(h.NrEccPadBlocks.get()), static_cast<int>(h.NrEccParityBlocks.get()));
  w_.MemberInt("Pad", static_cast<int>(h.NrPadBlocks.get()));
  Pair(w_, "Meta", static_cast<int>(h.NrMetaBlocks.get()), h.NrMetaBlocksRepl);
  w_.MemberInt("Sum", static_cast<int>(h.NrSummaryBlocks.get()));
  w_.MemberString("hash", HexNum(h.mm3_64.get()));
  Next(h, off0);
  w_.EndObject();
}

void DumpDoc::End(WalkEnd why, const WtBlkAt &at, const BLK_HDR_H_20x &h, const SegShape &) {
  CloseSegment();
  w_.EndArray();
  w_.Key("end");
  w_.BeginObject();
  if (why == WalkEnd::HeadMismatch) {
    w_.MemberString("why", "hdr match");
    w_.MemberInt("Off0", static_cast<int>(at.off0));
    w_.MemberString("blk_hdr", HexBytes(h.Str, 32));
    w_.MemberString("dev_hdr", HexBytes(dev_.DevHdr.h_20x.Str, 32));
  } else if (why == WalkEnd::MetaMismatch) {
    w_.MemberString("why", "hdr match");
    w_.MemberInt("pba", static_cast<int64_t>(at.pba));
    w_.MemberString("Str", StrText(h.Str));
    w_.MemberInt("i", static_cast<int>(at.i));
    w_.MemberInt("NrMetaBlocks", static_cast<int>(h0_.NrMetaBlocks.get()));
    w_.MemberInt("NrMetaBlocksRepl", h0_.NrMetaBlocksRepl);
    w_.MemberInt("NrSummaryBlocks", static_cast<int>(h0_.NrSummaryBlocks.get()));
  } else if (why == WalkEnd::Empty) {
    w_.MemberString("why", "empty segment");
    w_.MemberInt("Off0", static_cast<int>(at.off0));
  } else {
    w_.MemberString("why", why == WalkEnd::Overrun ? "overrun" : "full");
  }
  w_.EndObject();
}

}  // namespace

void DumpJson() {
  RunJsonDoc("dump", kDumpJsonSchema, [](JsonWriter &w) {
    Device dev = OpenDev(O_RDWR | O_LARGEFILE, static_cast<int>(kBlockSize));
    ReadHdr(dev);
    const int meta1 = DumpMeta1Cnt(dev);
    const DEV_HDR_20 &h = dev.DevHdr.h_20x;
    const uint32_t cluster = h.ClusterSize.get();
    w.MemberString("device", v_DevName);
    w.MemberUint("write_block", v_TrackN);
    w.MemberInt("sizeof_hdr", static_cast<int>(sizeof(BLK_HDR_H_20x)));
    w.MemberInt("off_NrDataBlocks", static_cast<int>(offsetof(BLK_HDR_H_20x, NrDataBlocks)));
    w.MemberInt("MetaBytes", static_cast<int>(kMetaBytes));
    w.MemberInt("MetaBits", h.BitSizes[0] + h.BitSizes[1] + h.BitSizes[2]);
    w.MemberInt("Meta1Cnt", meta1);
    Pair(w, "WtBlk", static_cast<int>(cluster * kBlockSize / 1024), static_cast<int>(cluster));
    w.Key("segments");
    w.BeginArray();
    DumpDoc doc(w, dev, meta1);
    WalkWtBlk(h, v_TrackN, doc);  // End closes the list and adds "end"
  });
}
