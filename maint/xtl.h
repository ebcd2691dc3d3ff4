// SPDX-License-Identifier: Apache-2.0
// xtl-maint: on-disk records, size constants, process-wide settings and state.
//
// Every on-disk record is little-endian and packed. Multi-byte fields are
// byte-array wrappers (alignment 1) with get()/set(), so a record is packed by
// construction, never makes an unaligned access, and a raw field cannot slip
// into host arithmetic without a conversion call. Every offset and size is
// checked at compile time right under its record.
#pragma once

#include <fcntl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Sizes

inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint32_t kBlockSize = 4096;          // one block = 8 sectors
inline constexpr uint32_t kSectorsPerBlock = kBlockSize / kSectorSize;
inline constexpr uint32_t kHdrSize = 512;             // device header read size
inline constexpr uint32_t kHdrBlockSize = kBlockSize;  // header block written by format
inline constexpr uint32_t kBlkHdrSize = 128;           // write-block header
inline constexpr uint32_t kMetaBytes = kBlockSize - kBlkHdrSize;  // entries per metadata block
inline constexpr size_t kTextMax = 256;     // characters of a text setting
inline constexpr size_t kTmpDirMax = 120;   // "%s/xtl.log" must fit 128 characters
inline constexpr size_t kDevListMax = 256;  // dev-rd / dev-wt paths
// The flag itself, not its x86 number: elsewhere 16384 is another flag
// (O_DIRECTORY on arm64).
inline constexpr int o_direct = O_DIRECT;
inline constexpr uint64_t kMaxPba = uint64_t{1} << 51;  // first block at byte 2^63

// ---------------------------------------------------------------------------
// Little-endian field wrappers

template <typename T, size_t N = sizeof(T)>
struct LeInt {
  static_assert(std::is_integral_v<T> && N <= sizeof(T));
  uint8_t b[N];
  constexpr T get() const {
    std::make_unsigned_t<T> v = 0;
    for (size_t i = N; i-- > 0;) v = static_cast<std::make_unsigned_t<T>>((v << 8) | b[i]);
    return static_cast<T>(v);
  }
  constexpr void set(T value) {
    auto v = static_cast<std::make_unsigned_t<T>>(value);
    for (size_t i = 0; i < N; i++) {
      b[i] = static_cast<uint8_t>(v & 0xff);
      v = static_cast<std::make_unsigned_t<T>>(v >> 8);
    }
  }
};
using Le16 = LeInt<uint16_t>;
using Le24 = LeInt<uint32_t, 3>;
using Le32 = LeInt<uint32_t>;
using Le64 = LeInt<uint64_t>;
using LeS32 = LeInt<int32_t>;
using LeS64 = LeInt<int64_t>;

#define XTL_FIELD(T, f, off, len) \
  static_assert(offsetof(T, f) == (off) && sizeof(T::f) == (len), #T "." #f)
#define XTL_RECORD(T, size)                                                      \
  static_assert(sizeof(T) == (size) && alignof(T) == 1, #T " size");            \
  static_assert(std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>, \
                #T " layout")

// ---------------------------------------------------------------------------
// Device header, version 1.1 (52 bytes used of the 512)

struct DEV_HDR_11 {
  char Str[32];          // 0x00 signature, tag "XTL:1.1"
  LeS32 BlockSize;       // 0x20 bytes: 4096
  LeS32 Block0Off;       // 0x24 bytes from device start to physical block 0
  LeS32 PhysicalBlocks;  // 0x28 4096-byte blocks in the data area
  LeS32 LogicalBlocks;   // 0x2c 4096-byte blocks offered to users
  LeS32 ClusterSize;     // 0x30 write-block size in 4096-byte blocks
};
XTL_RECORD(DEV_HDR_11, 52);
XTL_FIELD(DEV_HDR_11, Str, 0, 32);
XTL_FIELD(DEV_HDR_11, BlockSize, 32, 4);
XTL_FIELD(DEV_HDR_11, Block0Off, 36, 4);
XTL_FIELD(DEV_HDR_11, PhysicalBlocks, 40, 4);
XTL_FIELD(DEV_HDR_11, LogicalBlocks, 44, 4);
XTL_FIELD(DEV_HDR_11, ClusterSize, 48, 4);

// Device header, version 1.2 layout (192 bytes). The driver's; xtl-maint neither
// writes nor interprets it.
struct XTL_LAYOUT {
  Le64 sector;
  Le64 offset;
};
XTL_RECORD(XTL_LAYOUT, 16);

struct DEV_HDR_12 {
  char Str[32];                   // 0x00
  Le32 MetaVersion;               // 0x20
  Le32 BlockSize;                 // 0x24
  Le32 Block0Offset;              // 0x28
  Le32 pad0;                      // 0x2c
  Le64 PhyBlocks;                 // 0x30
  Le64 LogBlocks;                 // 0x38
  Le32 WriteBlockSize;            // 0x40
  Le32 WriteSegmentSize;          // 0x44
  Le32 pad_RaidSegmentSize;       // 0x48
  Le32 pad1;                      // 0x4c
  XTL_LAYOUT layout[4];           // 0x50
  Le32 CleanMountBlock;           // 0x90
  Le32 pad2;                      // 0x94
  Le32 CleanMountVersion;         // 0x98
  Le32 CleanMountSequenceNumber;  // 0x9c
  Le32 OptionParms[8];            // 0xa0
};
XTL_RECORD(DEV_HDR_12, 192);
XTL_FIELD(DEV_HDR_12, Str, 0, 32);
XTL_FIELD(DEV_HDR_12, MetaVersion, 32, 4);
XTL_FIELD(DEV_HDR_12, BlockSize, 36, 4);
XTL_FIELD(DEV_HDR_12, Block0Offset, 40, 4);
XTL_FIELD(DEV_HDR_12, pad0, 44, 4);
XTL_FIELD(DEV_HDR_12, PhyBlocks, 48, 8);
XTL_FIELD(DEV_HDR_12, LogBlocks, 56, 8);
XTL_FIELD(DEV_HDR_12, WriteBlockSize, 64, 4);
XTL_FIELD(DEV_HDR_12, WriteSegmentSize, 68, 4);
XTL_FIELD(DEV_HDR_12, pad_RaidSegmentSize, 72, 4);
XTL_FIELD(DEV_HDR_12, pad1, 76, 4);
XTL_FIELD(DEV_HDR_12, layout, 80, 64);
XTL_FIELD(DEV_HDR_12, CleanMountBlock, 144, 4);
XTL_FIELD(DEV_HDR_12, pad2, 148, 4);
XTL_FIELD(DEV_HDR_12, CleanMountVersion, 152, 4);
XTL_FIELD(DEV_HDR_12, CleanMountSequenceNumber, 156, 4);
XTL_FIELD(DEV_HDR_12, OptionParms, 160, 32);

// Device header, version 2.0 (512 bytes)
struct DEV_HDR_20 {
  char Str[32];                  // 0x00 signature, tag "XTL:2.0"
  Le64 mm3_64;                   // 0x20 header hash, see HdrChecksum()
  Le32 MetaVersion;              // 0x28 --ver= at format time, 0x201
  Le32 FeatureBits;              // 0x2c kFeat* below
  uint8_t BitSizes[8];           // 0x30 metadata entry field widths, bytes 0..3 used
  Le64 BlockSize;                // 0x38 bytes: 4096
  Le64 Block0Off;                // 0x40 bytes from device start to physical block 0
  Le64 PhysicalBlocks;           // 0x48 4096-byte blocks in the data area
  Le64 LogicalBlocks;            // 0x50 4096-byte blocks offered to users
  Le32 ClusterSize;              // 0x58 write-block size in 4096-byte blocks
  Le32 WriteSegmentSize;         // 0x5c write-segment size in 4096-byte blocks
  Le32 ShiftVolWbCnt;            // 0x60 write blocks per placement shift, 0 none
  Le32 ShiftVolSkipSectors;      // 0x64 sectors skipped per shift
  Le32 pad_RaidSegmentSize;      // 0x68
  uint8_t EccWidth;              // 0x6c
  uint8_t EccDepth;              // 0x6d
  uint8_t EccLevel;              // 0x6e 1 single parity, 2 double, 0 none
  uint8_t MetaDupeCnt;           // 0x6f copies of each segment's metadata
  uint8_t MetaHashTp;            // 0x70
  uint8_t DataHashTp;            // 0x71
  uint8_t unused1;               // 0x72
  uint8_t unused2;               // 0x73
  Le32 WtBlkStripe;              // 0x74 write blocks per stripe set
  Le64 Migrate_LinOff0;          // 0x78
  Le64 Migrate_LinOff1;          // 0x80
  Le64 Migrate_LinBlks;          // 0x88
  Le16 CompBytes;                // 0x90 compression unit, bytes
  Le16 CompMax;                  // 0x92
  Le32 OptionParms[27];          // 0x94
  Le64 RaidSig;                  // 0x100
  Le64 RaidId;                   // 0x108
  Le32 RaidLevel;                // 0x110
  Le32 RaidDevices;              // 0x114
  Le32 RaidChunkSize1;           // 0x118
  Le32 RaidChunkSize2;           // 0x11c
  Le32 RaidMemberNum;            // 0x120
  Le32 vm_status;                // 0x124 1 when a second volume is laid out
  Le64 vm_LogicalBlocks;         // 0x128 second volume, 4096-byte blocks
  Le64 vm_PhysicalBlocks;        // 0x130 second volume, 4096-byte blocks
  Le64 vm_Block0Off;             // 0x138 second volume, bytes
  uint8_t vm_BitSizes[8];        // 0x140 second volume field widths, bytes 0..2 used
  Le32 pad2[46];                 // 0x148
};
XTL_RECORD(DEV_HDR_20, 512);
XTL_FIELD(DEV_HDR_20, Str, 0, 32);
XTL_FIELD(DEV_HDR_20, mm3_64, 32, 8);
XTL_FIELD(DEV_HDR_20, MetaVersion, 40, 4);
XTL_FIELD(DEV_HDR_20, FeatureBits, 44, 4);
XTL_FIELD(DEV_HDR_20, BitSizes, 48, 8);
XTL_FIELD(DEV_HDR_20, BlockSize, 56, 8);
XTL_FIELD(DEV_HDR_20, Block0Off, 64, 8);
XTL_FIELD(DEV_HDR_20, PhysicalBlocks, 72, 8);
XTL_FIELD(DEV_HDR_20, LogicalBlocks, 80, 8);
XTL_FIELD(DEV_HDR_20, ClusterSize, 88, 4);
XTL_FIELD(DEV_HDR_20, WriteSegmentSize, 92, 4);
XTL_FIELD(DEV_HDR_20, ShiftVolWbCnt, 96, 4);
XTL_FIELD(DEV_HDR_20, ShiftVolSkipSectors, 100, 4);
XTL_FIELD(DEV_HDR_20, pad_RaidSegmentSize, 104, 4);
XTL_FIELD(DEV_HDR_20, EccWidth, 108, 1);
XTL_FIELD(DEV_HDR_20, EccDepth, 109, 1);
XTL_FIELD(DEV_HDR_20, EccLevel, 110, 1);
XTL_FIELD(DEV_HDR_20, MetaDupeCnt, 111, 1);
XTL_FIELD(DEV_HDR_20, MetaHashTp, 112, 1);
XTL_FIELD(DEV_HDR_20, DataHashTp, 113, 1);
XTL_FIELD(DEV_HDR_20, unused1, 114, 1);
XTL_FIELD(DEV_HDR_20, unused2, 115, 1);
XTL_FIELD(DEV_HDR_20, WtBlkStripe, 116, 4);
XTL_FIELD(DEV_HDR_20, Migrate_LinOff0, 120, 8);
XTL_FIELD(DEV_HDR_20, Migrate_LinOff1, 128, 8);
XTL_FIELD(DEV_HDR_20, Migrate_LinBlks, 136, 8);
XTL_FIELD(DEV_HDR_20, CompBytes, 144, 2);
XTL_FIELD(DEV_HDR_20, CompMax, 146, 2);
XTL_FIELD(DEV_HDR_20, OptionParms, 148, 108);
XTL_FIELD(DEV_HDR_20, RaidSig, 256, 8);
XTL_FIELD(DEV_HDR_20, RaidId, 264, 8);
XTL_FIELD(DEV_HDR_20, RaidLevel, 272, 4);
XTL_FIELD(DEV_HDR_20, RaidDevices, 276, 4);
XTL_FIELD(DEV_HDR_20, RaidChunkSize1, 280, 4);
XTL_FIELD(DEV_HDR_20, RaidChunkSize2, 284, 4);
XTL_FIELD(DEV_HDR_20, RaidMemberNum, 288, 4);
XTL_FIELD(DEV_HDR_20, vm_status, 292, 4);
XTL_FIELD(DEV_HDR_20, vm_LogicalBlocks, 296, 8);
XTL_FIELD(DEV_HDR_20, vm_PhysicalBlocks, 304, 8);
XTL_FIELD(DEV_HDR_20, vm_Block0Off, 312, 8);
XTL_FIELD(DEV_HDR_20, vm_BitSizes, 320, 8);
XTL_FIELD(DEV_HDR_20, pad2, 328, 184);

// FeatureBits of a version 2.0 header
inline constexpr uint32_t kFeatAlways = 0x0001;
inline constexpr uint32_t kFeatQuickFmt = 0x0008;
inline constexpr uint32_t kFeatVm = 0x0010;
inline constexpr uint32_t kFeatDedupe = 0x0020;
inline constexpr uint32_t kFeatEcc = 0x0040;
inline constexpr uint32_t kFeatEcc6 = 0x0080;
inline constexpr uint32_t kFeatSummaryMeta = 0x0100;
inline constexpr uint32_t kFeatMigrate = 0x0200;
inline constexpr uint32_t kFeatCompress = 0x0400;
inline constexpr uint32_t kFeatV20Layout = 0x2000;

// The 512-byte header buffer, seen through each version's record.
union DevHdrBuf {
  DEV_HDR_11 h_11;
  DEV_HDR_12 h_12;
  DEV_HDR_20 h_20x;
  uint8_t raw[kHdrSize];
};
static_assert(sizeof(DevHdrBuf) == kHdrSize);

enum class HdrVersion { Unknown, V11, V20 };
// Tells the versions apart by the tag and its NUL (the first 8 bytes).
HdrVersion GetHdrVersion(const uint8_t *hdr512);

// Write-block header: the first 128 bytes of each 4096-byte metadata block.
struct BLK_HDR_H_20x {
  char Str[32];             // 0x00 the device header's Str, all 32 bytes
  Le64 mm3_64;              // 0x20 hash of the whole 4096-byte block
  LeS64 seq;                // 0x28 write sequence number
  Le64 pba;                 // 0x30 this block, 4096-byte blocks from Block0Off
  uint8_t ReplN;            // 0x38 metadata copy number, from 1
  uint8_t pad1;             // 0x39
  Le16 SegN;                // 0x3a segment number
  Le16 SegI;                // 0x3c metadata block within its copy, from 1
  Le16 pad2;                // 0x3e
  Le32 WtCnt;               // 0x40 the driver's
  Le32 NrDataBlocks;        // 0x44 data entries
  Le32 NrZeroBlocks;        // 0x48 all-zero entries (no block)
  Le32 NrEccPadBlocks;      // 0x4c blocks
  Le32 NrEccParityBlocks;   // 0x50 blocks
  Le32 NrPadBlocks;         // 0x54 blocks
  Le24 NrMetaBlocks;        // 0x58 metadata blocks per copy (bits 0..23 of the word)
  uint8_t NrMetaBlocksRepl; // 0x5b copies (bits 24..31 of the word)
  Le32 NrSummaryBlocks;     // 0x5c blocks
  Le32 DataBlockSz;         // 0x60 data size in chunks (v_ChunkCnt per block)
  Le32 pad3[7];             // 0x64
};
XTL_RECORD(BLK_HDR_H_20x, 128);
XTL_FIELD(BLK_HDR_H_20x, Str, 0, 32);
XTL_FIELD(BLK_HDR_H_20x, mm3_64, 32, 8);
XTL_FIELD(BLK_HDR_H_20x, seq, 40, 8);
XTL_FIELD(BLK_HDR_H_20x, pba, 48, 8);
XTL_FIELD(BLK_HDR_H_20x, ReplN, 56, 1);
XTL_FIELD(BLK_HDR_H_20x, pad1, 57, 1);
XTL_FIELD(BLK_HDR_H_20x, SegN, 58, 2);
XTL_FIELD(BLK_HDR_H_20x, SegI, 60, 2);
XTL_FIELD(BLK_HDR_H_20x, pad2, 62, 2);
XTL_FIELD(BLK_HDR_H_20x, WtCnt, 64, 4);
XTL_FIELD(BLK_HDR_H_20x, NrDataBlocks, 68, 4);
XTL_FIELD(BLK_HDR_H_20x, NrZeroBlocks, 72, 4);
XTL_FIELD(BLK_HDR_H_20x, NrEccPadBlocks, 76, 4);
XTL_FIELD(BLK_HDR_H_20x, NrEccParityBlocks, 80, 4);
XTL_FIELD(BLK_HDR_H_20x, NrPadBlocks, 84, 4);
XTL_FIELD(BLK_HDR_H_20x, NrMetaBlocks, 88, 3);
XTL_FIELD(BLK_HDR_H_20x, NrMetaBlocksRepl, 91, 1);
XTL_FIELD(BLK_HDR_H_20x, NrSummaryBlocks, 92, 4);
XTL_FIELD(BLK_HDR_H_20x, DataBlockSz, 96, 4);
XTL_FIELD(BLK_HDR_H_20x, pad3, 100, 28);

// Header hashes. Both build the covered 4096-byte image with the hash field
// zeroed and return the first word of MurmurHash3_x64_128, seed 0.
uint64_t HdrChecksum(const DevHdrBuf &hdr);      // 512-byte header + 3584 zero bytes
uint64_t BlkHdrChecksum(const uint8_t *block4096);  // a whole metadata block

// ---------------------------------------------------------------------------
// Log device records (control sector and entries) live below this line.

// One log entry, a little-endian 64-bit word of bit fields:
//   bits 0..47  TargetSector  sector of the XTL device the data belongs to
//   bits 48..59 SectorCnt     512-byte sectors covered, 0..4095
//   bits 60..63 EntryTp       0 data in the segment, 1 all 0x00, 2 all 0xFF
struct LOG_ENT {
  Le64 v;  // 0x00
  constexpr int64_t TargetSector() const {
    return static_cast<int64_t>(v.get() & ((uint64_t{1} << 48) - 1));
  }
  constexpr uint32_t SectorCnt() const { return static_cast<uint32_t>((v.get() >> 48) & 0xfff); }
  constexpr uint32_t EntryTp() const { return static_cast<uint32_t>(v.get() >> 60); }
  constexpr void Set(uint64_t target, uint32_t cnt, uint32_t tp) {
    v.set((target & ((uint64_t{1} << 48) - 1)) | (uint64_t{cnt & 0xfffu} << 48) |
          (uint64_t{tp & 0xfu} << 60));
  }
};
XTL_RECORD(LOG_ENT, 8);
XTL_FIELD(LOG_ENT, v, 0, 8);

inline constexpr int kLogEntMax = 56;  // entries of one control sector
inline constexpr char kLogId[12] = "XTL-LOG 1.0";  // 11 characters and the NUL

// The control sector that closes each segment of the log device. The segment's
// NumSectors data sectors lie directly below it.
struct LOG_TAIL {
  LOG_ENT le[kLogEntMax];  // 0x000 entries in use end at the first all-zero one
  Le32 pad[4];             // 0x1c0 reserved
  Le32 NumEntries;         // 0x1d0 entries in use
  Le32 NumSectors;         // 0x1d4 sectors: sum of SectorCnt, the data below
  Le64 seq;                // 0x1d8 one more than the previous segment's
  char Str[32];            // 0x1e0 "XTL-LOG 1.0" and a NUL, then 20 ignored bytes
};
XTL_RECORD(LOG_TAIL, 512);
XTL_FIELD(LOG_TAIL, le, 0, 448);
XTL_FIELD(LOG_TAIL, pad, 448, 16);
XTL_FIELD(LOG_TAIL, NumEntries, 464, 4);
XTL_FIELD(LOG_TAIL, NumSectors, 468, 4);
XTL_FIELD(LOG_TAIL, seq, 472, 8);
XTL_FIELD(LOG_TAIL, Str, 480, 32);

struct LogTmpFile;

// The segment list a log scan returns, oldest segment first; the summary, the
// listing and the post take it. Counts are 64-bit so no log size can wrap them.
struct LogList {
  std::vector<LOG_TAIL> LtLst;  // control sectors: first chain, then second
  std::vector<int64_t> LtSec;   // first data sector of each segment
  int64_t log_segments = 0;     // log_cnt + log_cnt2
  int64_t log_cnt = 0;          // segments of the first chain
  int64_t log_cnt2 = 0;         // segments of the second chain, 0 when none
  int64_t log_blocks = 0;       // entries in use over the list
  int64_t log_sectors = 0;      // data sectors over the list
  int64_t tail_sector = -1;     // newest control sector of the first chain
  int64_t head_sector = -1;     // oldest control sector of the first chain
  int64_t tail2_sector = -1;    // newest control sector of the second chain
  // The open temp file the list was read from (none for an image in memory).
  std::shared_ptr<const LogTmpFile> source;
};

// ---------------------------------------------------------------------------
// Settings: one per option or positional argument, defined here once;
// defaults come from the option table in cmdline.cpp (ResetSettings).

inline uint32_t v_QuickFlg;
inline uint64_t v_Offset0;          // bytes
inline uint32_t v_WtBlkSz;          // KiB
inline uint32_t v_WtBlkStripeCnt;   // write blocks per stripe set
inline uint32_t v_WtSegSz;          // KiB
inline uint64_t v_DevSz;            // MiB
inline uint32_t v_Free;             // percent
inline uint32_t v_Ver;              // 0x201 by default; 11 selects the 1.1 mapping
inline uint32_t v_BigFlg;          // --big=: the option table stores it; nothing reads it
inline uint32_t v_VmFlg;
inline uint32_t v_Vm2CompFlg;
inline uint32_t v_Vm2Flg;
inline uint32_t v_DeDupe;
inline uint32_t v_Comp;             // percent
inline uint32_t v_CompBytes;
inline uint32_t v_CompMax;
inline uint32_t v_Bits;            // --bits=: the option table stores it; nothing reads it
inline uint32_t v_MetaDupeCnt;
inline uint32_t v_EccRaid5;
inline uint32_t v_EccRaid6;
inline uint32_t v_EccWidth;         // --eccstripe=
inline uint32_t v_EccDepth;         // --eccwidths=
inline std::string v_TmpDir;        // at most kTmpDirMax characters
inline uint32_t v_SvWbCnt;
inline uint32_t v_SvScCnt;
inline uint32_t v_HashTp;
inline uint32_t v_HashFlg;
inline uint32_t v_SummaryMeta;
inline uint32_t v_Migrate_Flg;
inline uint64_t v_Migrate_LinOff0;
inline uint64_t v_Migrate_LinOff1;
inline uint64_t v_Migrate_LinBlks;
inline uint64_t v_HdrOff;           // sector of the header block
inline uint32_t v_AutoVm;

// Positional settings
inline std::string v_DevName;
// v_ConvSz (convert's size), v_HdrN (status's header number) and v_DevCnt
// are filled by the argument scan as the command line defines them; no
// command reads them.
inline uint64_t v_ConvSz;
inline int v_HdrN;
inline uint64_t v_TrackN;           // write block to dump
inline std::string v_LogSource;
inline std::string v_LogTarget;
inline std::vector<std::string> v_DevList;  // dev-rd / dev-wt, at most kDevListMax
inline int v_DevCnt;
// check: device [first [count]] and --json
inline uint64_t v_CheckFirst;       // first write block to check
inline uint64_t v_CheckCount;       // write blocks to check
inline int v_CheckArgs;             // how many of first and count were given
inline uint32_t v_Json;             // --json: check, status, dump, log scan, log disp: one JSON document
inline uint32_t v_CheckQd;          // --qd=: check's reads in flight at once (1: one at a time)
inline uint32_t v_Force;            // --force: format, log post and log clear skip their guards
// image device file [--log=log_device]
inline std::string v_ImageFile;     // the image to create
inline std::string v_ImageLog;      // --log=: the log device to copy beside it, or empty
// --undo=FILE: format, log post and log clear save what they overwrite there first
inline std::string v_Undo;
inline std::string v_UndoFile;      // undo FILE DEV: the file (DEV is v_DevName)
inline std::string v_CmdLine;       // the words of the command line, for an undo file

enum Cmd : int {
  kCmdNone = 0,
  kCmdFormat,
  kCmdConvert,
  kCmdStatus,
  kCmdDump,
  kCmdDevRd,
  kCmdDevWt,
  kCmdLog,
  kCmdLogCopy,
  kCmdLogScan,
  kCmdLogDisp,
  kCmdLogPost,
  kCmdLogClear,
  kCmdCheck,
  kCmdImage,
  kCmdUndo,
};
inline int v_cmd;

// Zeroes every setting and applies the option table's defaults.
void ResetSettings();

// ---------------------------------------------------------------------------
// Handles and buffers (devio.cpp) that every tool holds the same way.

// An open file descriptor, closed when the value goes out of scope (a fatal
// error unwinds); -1 when none.
struct UniqueFd {
  int fh = -1;
  UniqueFd() = default;
  explicit UniqueFd(int f) : fh(f) {}
  UniqueFd(UniqueFd &&other) noexcept : fh(std::exchange(other.fh, -1)) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept;
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd();
  // Closes now and reports close()'s result (0, or -1 with errno).
  int Close();
  // Gives the handle up to the caller, who closes it.
  int Release() { return std::exchange(fh, -1); }
};

// A buffer of zero bytes whose start p is aligned to 4096 (direct transfers):
// calloc'd with 4095 spare bytes, so pages never touched stay unmapped.
struct AlignedBuf {
  struct Free {
    void operator()(uint8_t *block) const;  // std::free
  };
  std::unique_ptr<uint8_t, Free> mem;
  uint8_t *p = nullptr;

  AlignedBuf() = default;
  AlignedBuf(AlignedBuf &&other) noexcept
      : mem(std::move(other.mem)), p(std::exchange(other.p, nullptr)) {}
  AlignedBuf &operator=(AlignedBuf &&other) noexcept {
    mem = std::move(other.mem);
    p = std::exchange(other.p, nullptr);
    return *this;
  }
};
// size bytes; p is nullptr when there is no memory: the caller reports it
// with its own message.
AlignedBuf AllocAligned(size_t size);

class UndoLog;

// The open device: built by OpenDev, handed to the operations that read or
// write it. The handle (fh) is closed when the value goes out of scope.
struct Device : UniqueFd {
  uint64_t DevSize = 0;       // bytes
  DevHdrBuf DevHdr{};         // the header last read or built
  uint32_t v_ChunkCnt = 1;    // data chunks per block: 64 with compression, else 1
  uint8_t *buf = nullptr;     // the I/O buffer: AllocatedBuf.p
  AlignedBuf AllocatedBuf;
  std::shared_ptr<UndoLog> undo;  // --undo=: saves each range before it is written

  Device() = default;
  Device(Device &&other) noexcept { *this = std::move(other); }
  Device &operator=(Device &&other) noexcept;
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;
  ~Device() = default;
};

// ---------------------------------------------------------------------------
// Operations

int RunMaint(int argc, char **argv);  // scan, dispatch; returns the exit status
void ScanArgs(int argc, char **argv); // fills the settings; refuses bad words
void PrintUsage(FILE *out);
uint64_t ConvertNum(const char *text, int bits);  // 32- or 64-bit option number
// The long name of row i of the option table ("quick", "offset0=", ...), or
// nullptr past the last row.
const char *OptionName(size_t i);

// The message of a failed open: "Error opening file - %s = %d\n" (File) or
// "Error opening XTL raw device %s %d\n" (XtlRaw), both on standard error.
enum class OpenFailMsg { File, XtlRaw };
// Opens path with flags without waiting on it, refuses anything that is
// neither a block device nor a regular file ("Error: %s is neither a block
// device nor a regular file\n"), and takes its size. An I/O buffer of bufSize
// bytes, when asked for, is allocated first.
Device OpenDevAt(const std::string &path, int flags, OpenFailMsg msg, int bufSize = 0);
// The same for the command's device, v_DevName.
Device OpenDev(int flags, int bufSize = 0);
// Closes the handle now; returns close()'s result (0, or -1 with errno).
int CloseDev(Device &dev);
uint8_t *InitBuf(Device &dev, int sz);
void ReadHdr(Device &dev);
void LoadHdr(Device &dev, const uint8_t *hdr512);  // into DevHdr, setting v_ChunkCnt
int64_t PbaToSector(const DevHdrBuf &hdr, int64_t pba);
void ReadBlk(Device &dev, uint64_t pba);
int GetBits(uint64_t val);  // smallest n >= 0 with 2^n >= val
// 2^bits for bits >= 2 (0 from 64 on). For 0 and 1 bits (a table of one
// entry) it prints "bits = %d" to trace, nothing for nullptr, and gives 1.
uint64_t Pwr(int bits, FILE *trace = stdout);
// Size of an open handle: BLKGETSIZE64 for a block device, st_size for a
// regular file; anything else is refused.
uint64_t GetDevSize(int fd, const std::string &path);
// Opens path with flags and O_NONBLOCK, so that a FIFO cannot hold the open,
// then keeps it only when it is a block device or a regular file, with
// O_NONBLOCK cleared again. Returns the handle, or -1: with not_blk_reg set
// when the path is of another kind, else with errno from the open.
int OpenBlkOrReg(const std::string &path, int flags, bool &not_blk_reg);
// The refusal of such a path: "Error: %s is neither a block device nor a regular file\n".
[[noreturn]] void NotBlkOrReg(const std::string &path);
// Reads or writes exactly len bytes at off, retrying short transfers; returns
// the byte count moved (less than len only at end of file or on error).
ssize_t PreadFull(int fd, void *dst, size_t len, uint64_t off);
ssize_t PwriteFull(int fd, const void *src, size_t len, uint64_t off);

void DoStatus();
void DispHdr(FILE *out, const DevHdrBuf &hdr);

void DoFormat();
void DoDump();
// Returns the 4096 bytes at byte offset `off` of a device, or fails through
// Fatal ("Error reading block - %d\n").
using BlockSource = const uint8_t *(*)(uint64_t off, void *ctx);
// The source of an open device: ctx is the Device, the bytes land in its buf.
const uint8_t *ReadDevBlock(uint64_t off, void *ctx);
// Walks write block `track` of the device whose header is in dev.DevHdr,
// reading blocks through `read` at the offsets the header's mapping gives.
void DumpWtBlk(FILE *out, const Device &dev, uint64_t track, BlockSource read, void *ctx);
void DumpHdr(FILE *out, const Device &dev, const BLK_HDR_H_20x &h, int Meta1Cnt, int Off0);
void CopyLog();
// Scans the temp file and prints the summary; returns the list.
LogList ScanLog();
void DispLog(const LogList &log);
void PostLog(const LogList &log);
void ClearLog();
