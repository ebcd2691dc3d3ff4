// SPDX-License-Identifier: Apache-2.0
// The parameters of one format: the settings the command line left, read
// once by the driver (format.cpp) with the defaults of its path applied, and
// handed down. The paths below the driver read no setting and change none.
#pragma once

#include <cstdint>

#include "xtl.h"

// ---------------------------------------------------------------------------
// Numbers shared by the format paths

inline constexpr uint32_t kKiB = 1024;              // bytes
inline constexpr uint32_t kFreeDefault = 90;        // --free= percent when 0 or out of range
inline constexpr uint32_t kFreeMin = 10;            // --free= percents kept as given: 10..95
inline constexpr uint32_t kFreeMax = 95;
inline constexpr uint32_t kWtBlkKiBDefault = 1024;  // --wtblksz= 0 on a single volume: 1 MiB
inline constexpr uint32_t kPercent = 100;           // ratios and shares are in percent

// One field a format option, named as the setting without its "v_".
struct FormatParams {
  uint32_t Ver = 0;              // 0x201; 11 selects the volume path
  bool AutoVm = false;           // the de-dupe and compression path
  bool QuickFlg = false;
  uint64_t DevSz = 0;            // MiB; 0: the whole device
  uint64_t Offset0 = 0;          // bytes: where the data area starts
  uint32_t WtBlkSz = 0;          // KiB
  uint32_t WtBlkStripeCnt = 0;   // write blocks per stripe set
  uint32_t WtSegSz = 0;          // KiB
  uint32_t Free = 0;             // percent of the physical blocks offered
  bool VmFlg = false;
  bool Vm2Flg = false;
  bool Vm2CompFlg = false;
  uint32_t DeDupe = 0;           // percent; 0: no de-duplication
  uint32_t Comp = 0;             // percent; 0: no compression
  uint32_t CompBytes = 0;
  uint32_t CompMax = 0;
  uint32_t MetaDupeCnt = 0;
  bool EccRaid5 = false;
  bool EccRaid6 = false;
  uint32_t EccWidth = 0;         // --eccstripe=
  uint32_t EccDepth = 0;         // --eccwidths=
  uint32_t SvWbCnt = 0;
  uint32_t SvScCnt = 0;
  uint32_t HashTp = 0;
  bool HashFlg = false;
  bool SummaryMeta = false;
  bool Migrate_Flg = false;
  uint64_t Migrate_LinOff0 = 0;
  uint64_t Migrate_LinOff1 = 0;
  uint64_t Migrate_LinBlks = 0;
  uint64_t HdrOff = 0;           // sector of the header block

  uint64_t WtBlkBytes() const { return uint64_t{WtBlkSz} * kKiB; }
  // Bytes of one stripe set; a product beyond 64 bits saturates.
  uint64_t StripeBytes() const {
    uint64_t n;
    return __builtin_mul_overflow(WtBlkBytes(), uint64_t{WtBlkStripeCnt}, &n) ? UINT64_MAX : n;
  }
};

// --free= as a volume takes it: 10..95 as given, anything else 90.
inline uint32_t VolumeFree(uint32_t free) {
  return free < kFreeMin || free > kFreeMax ? kFreeDefault : free;
}
