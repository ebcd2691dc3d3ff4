// SPDX-License-Identifier: Apache-2.0
// status --json: the device header as one document, each field named and
// valued as the status text shows it.
#include <fcntl.h>

#include <cstring>

#include "jsondoc.h"
#include "xtl.h"

namespace {

void V11Json(JsonWriter &w, const DEV_HDR_11 &h, const char *str) {
  w.MemberString("Str", str);
  w.MemberInt("Version", 11);
  w.MemberInt("BlkSize", h.BlockSize.get());
  w.MemberInt("Block0Off", h.Block0Off.get() / static_cast<int32_t>(kSectorSize));  // sectors
  w.MemberInt("PhysicalBlocks", h.PhysicalBlocks.get());
  w.MemberInt("LogicalBlocks", h.LogicalBlocks.get());
  w.MemberInt("ClusterSize", h.ClusterSize.get());
}

// The feature names in parentheses after FeatureBits, HASH_META first.
void FeaturesJson(JsonWriter &w, uint32_t feat) {
  static const struct {
    uint32_t bit;
    const char *name;
  } kNames[] = {{kFeatQuickFmt, "QUICK_FMT"}, {kFeatVm, "VM"},     {kFeatDedupe, "DEDUPE"},
                {kFeatEcc, "ECC"},            {kFeatEcc6, "ECC6"}, {kFeatCompress, "COMPRESS"}};
  w.Key("Features");
  w.BeginArray(true);
  w.String("HASH_META");
  for (const auto &n : kNames)
    if ((feat & n.bit) != 0) w.String(n.name);
  w.EndArray();
}

// The 64-bit fields as signed numbers and ClusterSize as a signed 32-bit
// one, as the text prints them.
void V20Json(JsonWriter &w, const DEV_HDR_20 &h, const char *str) {
  const uint32_t feat = h.FeatureBits.get();
  const auto logical = static_cast<int64_t>(h.LogicalBlocks.get());
  w.MemberString("Str", str);
  w.MemberInt("Version", 513);
  w.MemberInt("BlkSize", static_cast<int64_t>(h.BlockSize.get()));
  w.MemberInt("Block0Off", static_cast<int64_t>(h.Block0Off.get() / kSectorSize));  // sectors
  w.MemberInt("PhysicalBlocks", static_cast<int64_t>(h.PhysicalBlocks.get()));
  w.MemberInt("LogicalBlocks", logical);
  w.MemberInt("LogicalDataSz", static_cast<int64_t>(h.LogicalBlocks.get() * 4 / 1024));  // MiB
  w.MemberInt("ClusterSize", static_cast<int32_t>(h.ClusterSize.get()));
  w.MemberUint("FeatureBits", feat);
  FeaturesJson(w, feat);
  w.MemberInt("MetaDupe", h.MetaDupeCnt);
  w.Key("BitSizes");
  w.BeginArray(true);
  for (int i = 0; i < 3; i++) w.Int(h.BitSizes[i]);
  w.EndArray();
  if ((feat & (kFeatEcc | kFeatEcc6)) != 0) {
    w.MemberInt("ECC_width", h.EccWidth);
    w.MemberInt("ECC_depth", h.EccDepth);
  }
}

}  // namespace

void StatusJson() {
  RunJsonDoc("status", kStatusJsonSchema, [](JsonWriter &w) {
    Device dev = OpenDev(O_RDWR | O_LARGEFILE, static_cast<int>(kHdrSize));
    ReadHdr(dev);
    const DevHdrBuf &hdr = dev.DevHdr;
    char str[sizeof hdr.h_20x.Str + 1] = {};
    std::memcpy(str, hdr.raw, sizeof hdr.h_20x.Str);
    w.MemberString("device", v_DevName);
    w.MemberUint("device_bytes", dev.DevSize);
    w.MemberUint("header_sector", v_HdrOff);
    w.Key("header");  // null where the text shows nothing: no known tag
    const HdrVersion v = GetHdrVersion(hdr.raw);
    if (v == HdrVersion::Unknown) return w.Null();
    w.BeginObject();
    if (v == HdrVersion::V11)
      V11Json(w, hdr.h_11, str);
    else
      V20Json(w, hdr.h_20x, str);
    w.EndObject();
  });
}
