// SPDX-License-Identifier: Apache-2.0
// The status command: read the device header and show it.
#include <fcntl.h>

#include <cstring>
#include <string>

#include "jsondoc.h"
#include "xtl.h"

void DoStatus() {
  if (v_Json != 0) return StatusJson();
  Device dev = OpenDev(O_RDWR | O_LARGEFILE, static_cast<int>(kHdrSize));
  ReadHdr(dev);
  DispHdr(stdout, dev.DevHdr);
}

void DispHdr(FILE *out, const DevHdrBuf &hdr) {
  // Str is shown as a C string: the tag, up to its NUL.
  char str[sizeof hdr.h_20x.Str + 1] = {};
  std::memcpy(str, hdr.raw, sizeof hdr.h_20x.Str);

  switch (GetHdrVersion(hdr.raw)) {
    case HdrVersion::V11: {
      const DEV_HDR_11 &h = hdr.h_11;
      std::fprintf(out,
                   "Str            = %s\nVersion        = %10d\nBlkSize        = %d\n"
                   "Block0Off      = %d\nPhysicalBlocks = %d\nLogicalBlocks  = %d\n"
                   "ClusterSize    = %d\n",
                   str, 11, h.BlockSize.get(), h.Block0Off.get() / static_cast<int32_t>(kSectorSize),
                   h.PhysicalBlocks.get(), h.LogicalBlocks.get(), h.ClusterSize.get());
      break;
    }
    case HdrVersion::V20: {
      const DEV_HDR_20 &h = hdr.h_20x;
      const uint32_t feat = h.FeatureBits.get();
      std::string msg1 = "HASH_META";
      static const struct {
        uint32_t bit;
        const char *name;
      } kNames[] = {{kFeatQuickFmt, " QUICK_FMT"}, {kFeatVm, " VM"},     {kFeatDedupe, " DEDUPE"},
                    {kFeatEcc, " ECC"},            {kFeatEcc6, " ECC6"}, {kFeatCompress, " COMPRESS"}};
      for (const auto &n : kNames)
        if ((feat & n.bit) != 0) msg1 += n.name;
      char msg2[32];
      std::snprintf(msg2, sizeof msg2, "%d/%d/%d", h.BitSizes[0], h.BitSizes[1], h.BitSizes[2]);
      char msg3[64] = "";
      if ((feat & (kFeatEcc | kFeatEcc6)) != 0)
        std::snprintf(msg3, sizeof msg3, "            ECC width/depth = %d/%d\n", h.EccWidth,
                      h.EccDepth);
      const uint64_t logical = h.LogicalBlocks.get();
      std::fprintf(out,
                   "Str            = %10s\nVersion        = %10d\nBlkSize        = %10lld\n"
                   "Block0Off      = %10lld sectors\nPhysicalBlocks = %10lld\n"
                   "LogicalBlocks  = %10lld\nLogicalDataSz  = %10lld M\nClusterSize    = %10d\n"
                   "FeatureBits    =     0x%04X (%s)\nMetaDupe       = %10d\nBitSizes       = %10s\n%s",
                   str, 513, static_cast<long long>(h.BlockSize.get()),
                   static_cast<long long>(h.Block0Off.get() / kSectorSize),
                   static_cast<long long>(h.PhysicalBlocks.get()), static_cast<long long>(logical),
                   static_cast<long long>(logical * 4 / 1024), static_cast<int>(h.ClusterSize.get()),
                   feat, msg1.c_str(), h.MetaDupeCnt, msg2, msg3);
      break;
    }
    case HdrVersion::Unknown:
      break;
  }
}
