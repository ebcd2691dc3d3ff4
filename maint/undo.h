// SPDX-License-Identifier: Apache-2.0
// Undo files (--undo=FILE on format, log post and log clear) and the undo
// command that writes their old contents back.
//
// An undo file is written ahead: before a command overwrites a range of its
// target, the range's old contents are appended to the file and the file is
// flushed; only then is the range written. At every moment the file holds
// the old contents of everything already overwritten, and a command killed at
// any point leaves a valid prefix of records.
//
// Layout, little-endian: UNDO_HDR, the command line (CmdLen bytes, no NUL),
// then records, each an UNDO_REC followed by Length old bytes unless the old
// contents were all zero or the record amends an earlier one. Hashes are
// UndoHash: the first 64-bit word of the header hash (mm3.h), seed 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "xtl.h"

inline constexpr char kUndoMagic[16] = "XTL-MAINT-UNDO";  // 14 characters, NUL-padded
inline constexpr uint32_t kUndoVersion = 1;
inline constexpr uint32_t kUndoHeadBytes = 4096;  // bytes of the target's start the header hashes
inline constexpr uint32_t kUndoCmdMax = 65536;    // bytes of the command line kept
inline constexpr uint64_t kUndoRecMax = uint64_t{64} << 20;  // bytes one record may cover

enum UndoDevKind : uint32_t { kUndoBlk = 1, kUndoReg = 2 };

struct UNDO_HDR {
  char Magic[16];  // 0x00 kUndoMagic
  Le32 Version;    // 0x10 kUndoVersion
  Le32 CmdLen;     // 0x14 bytes of the command line that follows the header
  Le64 DevSize;    // 0x18 bytes of the target
  Le32 DevKind;    // 0x20 UndoDevKind
  Le32 pad0;       // 0x24
  Le64 DevRdev;    // 0x28 device number of a block device (st_rdev), 0 for a file
  Le64 DevDev;     // 0x30 a regular file's file system (st_dev), 0 for a device
  Le64 DevIno;     // 0x38 a regular file's inode, 0 for a device
  Le64 HeadHash;   // 0x40 UndoHash of the first min(4096, DevSize) bytes, before the command
  Le64 HdrHash;    // 0x48 UndoHash of this header (HdrHash 0) and the command line
};
XTL_RECORD(UNDO_HDR, 80);
XTL_FIELD(UNDO_HDR, Magic, 0, 16);
XTL_FIELD(UNDO_HDR, Version, 16, 4);
XTL_FIELD(UNDO_HDR, CmdLen, 20, 4);
XTL_FIELD(UNDO_HDR, DevSize, 24, 8);
XTL_FIELD(UNDO_HDR, DevKind, 32, 4);
XTL_FIELD(UNDO_HDR, pad0, 36, 4);
XTL_FIELD(UNDO_HDR, DevRdev, 40, 8);
XTL_FIELD(UNDO_HDR, DevDev, 48, 8);
XTL_FIELD(UNDO_HDR, DevIno, 56, 8);
XTL_FIELD(UNDO_HDR, HeadHash, 64, 8);
XTL_FIELD(UNDO_HDR, HdrHash, 72, 8);

// UNDO_REC.Flags
inline constexpr uint32_t kUndoOldZero = 1;  // the old contents were all zero: no bytes follow
inline constexpr uint32_t kUndoNewZero = 2;  // the new contents are all zero (NewHash 0)
// No old bytes: the range lies within one saved range. A range that is
// exactly a saved range adds NewHash to what it may hold (the command wrote
// there again); any other splits that saved range, the amended part taking
// NewHash, the parts beside it holding anything until amended in turn.
inline constexpr uint32_t kUndoAmend = 4;
inline constexpr uint32_t kUndoFlags = kUndoOldZero | kUndoNewZero | kUndoAmend;

struct UNDO_REC {
  Le64 Offset;   // 0x00 bytes from the target's start
  Le64 Length;   // 0x08 bytes, 1 to kUndoRecMax
  Le64 NewHash;  // 0x10 UndoHash of the new contents
  Le64 OldHash;  // 0x18 UndoHash of the old bytes that follow, 0 when none follow
  Le32 Flags;    // 0x20 kUndo* above
  Le32 pad;      // 0x24
  Le64 RecHash;  // 0x28 UndoHash of bytes 0x00..0x27
};
XTL_RECORD(UNDO_REC, 48);
XTL_FIELD(UNDO_REC, Offset, 0, 8);
XTL_FIELD(UNDO_REC, Length, 8, 8);
XTL_FIELD(UNDO_REC, NewHash, 16, 8);
XTL_FIELD(UNDO_REC, OldHash, 24, 8);
XTL_FIELD(UNDO_REC, Flags, 32, 4);
XTL_FIELD(UNDO_REC, pad, 36, 4);
XTL_FIELD(UNDO_REC, RecHash, 40, 8);

uint64_t UndoHash(const void *data, size_t len);
bool IsAllZero(const uint8_t *p, size_t len);

// What a command wrote over a range: all zero, or bytes of this hash.
struct UndoNew {
  bool zero = false;
  uint64_t hash = 0;
};

// One saved range of the target: where its old bytes are and what the
// command may have left there.
struct UndoPiece {
  uint64_t len = 0;
  int64_t old_pos = -1;  // byte of the undo file where the old bytes start; -1 all zero
  bool any = false;      // what the command left is not known
  std::vector<UndoNew> news;
};

// The saved ranges of an undo file, disjoint, by offset. The writer and the
// undo build it with the same Apply, record by record.
class UndoMap {
 public:
  // Applies record r, whose old bytes (if any) start at byte old_pos of the
  // file. False when r does not fit: a saved range over another, an
  // amendment that is not within one saved range.
  bool Apply(const UNDO_REC &r, int64_t old_pos);
  const std::map<uint64_t, UndoPiece> &Pieces() const { return m_; }

 private:
  bool Amend(const UNDO_REC &r, uint64_t off, uint64_t len);
  std::map<uint64_t, UndoPiece> m_;
};

// The writer of one command's undo file.
class UndoLog {
 public:
  // Creates path (O_EXCL, O_NOFOLLOW, mode 0600) for the target open at
  // target_fd, refusing an existing path or one on the target itself, and
  // writes the header. Fatal on any failure, before the target is written.
  static std::shared_ptr<UndoLog> Create(const std::string &path, int target_fd,
                                         const std::string &target);
  // Saves what [off, off + len) of the target holds before data (len
  // bytes) is written there, and flushes the file. Fatal on any failure.
  void Save(uint64_t off, const uint8_t *data, size_t len);
  // Closes the file at the command's end. Fatal when the close fails.
  void Finish();
  // A file that never received a record is removed unless finished.
  ~UndoLog();
  UndoLog(const UndoLog &) = delete;
  UndoLog &operator=(const UndoLog &) = delete;

 private:
  UndoLog(std::string path, std::string target) : path_(std::move(path)), target_(std::move(target)) {}
  void WriteHeader(uint64_t size, const UNDO_HDR &id);
  void Emit(uint64_t off, uint64_t len, const uint8_t *data, uint32_t flags, const uint8_t *old);
  void SaveGap(uint64_t off, uint64_t len, const uint8_t *data);
  void AmendFromTarget(uint64_t off, uint64_t len);
  const uint8_t *ReadTarget(uint64_t off, uint64_t len, std::vector<uint8_t> &into);
  void WriteOut();

  std::string path_, target_;
  UniqueFd fd_, rfd_;  // the undo file; the target, for reading
  UndoMap map_;
  uint64_t size_ = 0;     // bytes of the target
  uint64_t end_ = 0;      // bytes in the file
  bool saved_ = false;  // a range was saved: the file is kept whatever follows
  bool done_ = false;
  std::vector<uint8_t> out_, old_, cur_;  // one Save's records; old and current bytes
};

// The undo command: v_UndoFile onto v_DevName (--force restores over changed
// ranges and another device).
void DoUndo();
void DoUndo(FILE *out);
