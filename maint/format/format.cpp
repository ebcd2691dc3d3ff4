// SPDX-License-Identifier: Apache-2.0
// The format command's driver: reads the parameters, opens the device, trims
// its size and hands over to one of the three format paths.
#include "format/format.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "format/ddc.h"
#include "fatal.h"
#include "guard.h"
#include "format/hdr20.h"
#include "format/layout.h"
#include "undo.h"
#include "format/volume.h"

uint64_t DevSzBytes(uint64_t mib) { return mib > (UINT64_MAX >> 20) ? UINT64_MAX : mib << 20; }

FormatParams ReadFormatParams() {
  // In the order of the fields (the compiler holds it to that).
  return {.Ver = v_Ver, .AutoVm = v_AutoVm != 0, .QuickFlg = v_QuickFlg != 0, .DevSz = v_DevSz,
          .Offset0 = v_Offset0, .WtBlkSz = v_WtBlkSz, .WtBlkStripeCnt = v_WtBlkStripeCnt,
          .WtSegSz = v_WtSegSz, .Free = v_Free, .VmFlg = v_VmFlg != 0, .Vm2Flg = v_Vm2Flg != 0,
          .Vm2CompFlg = v_Vm2CompFlg != 0, .DeDupe = v_DeDupe, .Comp = v_Comp,
          .CompBytes = v_CompBytes, .CompMax = v_CompMax, .MetaDupeCnt = v_MetaDupeCnt,
          .EccRaid5 = v_EccRaid5 != 0, .EccRaid6 = v_EccRaid6 != 0, .EccWidth = v_EccWidth,
          .EccDepth = v_EccDepth, .SvWbCnt = v_SvWbCnt, .SvScCnt = v_SvScCnt, .HashTp = v_HashTp,
          .HashFlg = v_HashFlg != 0, .SummaryMeta = v_SummaryMeta != 0,
          .Migrate_Flg = v_Migrate_Flg != 0, .Migrate_LinOff0 = v_Migrate_LinOff0,
          .Migrate_LinOff1 = v_Migrate_LinOff1, .Migrate_LinBlks = v_Migrate_LinBlks,
          .HdrOff = v_HdrOff};
}

FormatParams PlainFormatParams(const FormatParams &given) {
  FormatParams p = given;
  if (p.WtBlkSz == 0) p.WtBlkSz = kWtBlkKiBDefault;
  if (p.Offset0 == 0) p.Offset0 = p.StripeBytes();
  p.Free = VolumeFree(p.Free);
  return p;
}

DefaultCounts GetDefaultCounts(uint64_t devSize, uint32_t free) {
  DefaultCounts c;
  c.PhysicalBlocks = devSize / kBlockSize;
  c.LogicalBlocks = c.PhysicalBlocks * free / kPercent;
  return c;
}

void CheckHdrBlockFits(const Device &dev) {
  // A write past the end of a block device fails by itself; a regular file
  // would grow to take the header block.
  struct stat st {};
  if (fstat(dev.fh, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (v_HdrOff > size / kSectorSize || size - v_HdrOff * kSectorSize < kHdrBlockSize)
    Fatal("format: header offset %llu sectors leaves no room for the %u-byte header block in "
          "%s (%llu bytes).\n",
          static_cast<unsigned long long>(v_HdrOff), kHdrBlockSize, v_DevName.c_str(),
          static_cast<unsigned long long>(size));
}

Device OpenFormatDev() {
  // Exclusive: a device that the system holds (mounted, or held by the
  // driver) fails the open instead of losing its header.
  Device dev = OpenDev(O_RDWR | O_LARGEFILE | O_EXCL);
  CheckHdrBlockFits(dev);
  // Before the guard asks: an existing undo file is refused first.
  if (!v_Undo.empty()) dev.undo = UndoLog::Create(v_Undo, dev.fh, v_DevName);
  GuardFormat(dev.fh, v_DevName);
  return dev;
}

void DoFormat() {
  Device dev;
  DoFormat(stdout, dev);
}

void DoFormat(FILE *out, Device &dev) {
  const FormatParams given = ReadFormatParams();
  if (given.AutoVm && (given.DeDupe == 0 || given.Comp == 0))
    Fatal("AutoVm mode only valid with de-dupe and compressed mode.\n");
  CheckWtBlkSettings(given);

  dev = OpenFormatDev();
  RunFormatPath(out, dev, given);
  if (dev.undo) dev.undo->Finish();
}

void RunFormatPath(FILE *out, Device &dev, const FormatParams &given) {
  if (given.AutoVm) {
    // A --devsz= bound is taken as it is, even beyond the real size.
    DoFormatDDC(out, dev, given, given.DevSz != 0 ? DevSzBytes(given.DevSz) : dev.DevSize);
    return;
  }
  if (given.DevSz != 0) {
    const uint64_t bound = DevSzBytes(given.DevSz);
    if (bound < dev.DevSize) dev.DevSize = bound;
  }

  const FormatParams p = PlainFormatParams(given);
  if (p.Ver == 11) {
    DoFormatN(out, dev, p, 0, dev.DevSize, GetDefaultCounts(dev.DevSize, p.Free).LogicalBlocks);
    return;
  }
  SetupDevHdr_v2(out, dev, p);
  WriteDevHdr(dev, p.HdrOff, 0);
}
