// SPDX-License-Identifier: Apache-2.0
// Log tools that move data: the cores of copy, post and clear that take open
// handles (so tests can drive them without a device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "xtl.h"

class Progress;
class UndoLog;

inline constexpr size_t kCopyBufSize = size_t{1} << 20;  // log copy piece, bytes
inline constexpr size_t kXferBufSize = size_t{4} << 20;  // post / clear buffer, bytes

// Where a post reads the entries' data: the temp file the list was scanned from.
struct PostSource {
  int fd = -1;
  std::string path;  // for the messages
};

// Where a post writes. Nothing is written at or past byte end (a regular
// file's size): such an entry fails as it would at a block device's end.
struct PostTarget {
  int fd = -1;
  std::string path;  // for the messages
  uint64_t end = UINT64_MAX;
  UndoLog *undo = nullptr;  // --undo=: saves each range before it is written
};

// Replays the segment list log from src onto dst through buf (kXferBufSize
// bytes, 4096-aligned): progress and per-entry errors go to out. Returns the
// number of entries that failed to read or write. prog, when given, counts
// the entries and is erased before each entry line.
int64_t PostEntries(FILE *out, const LogList &log, const PostSource &src, const PostTarget &dst,
                    uint8_t *buf, Progress *prog = nullptr);
// Zeroes bytes [0, size) of fd in kXferBufSize pieces, each flushed with
// fsync; buf holds kXferBufSize zero bytes. Fatal on any failure. prog, when
// given, counts the bytes; undo, when given, saves each piece first.
void ClearFd(int fd, uint64_t size, const std::string &path, const uint8_t *buf,
             Progress *prog = nullptr, UndoLog *undo = nullptr);

// The copy of log copy: the open source src (ss its fstat) into the new file
// part creates in the directory dir, flushed and then given its name; path
// names the file in the messages. The image's --log= makes the same copy.
class PartialCopy;
void CopyLogInto(int src, const struct stat &ss, int dir, PartialCopy &part,
                 const std::string &path);

// The kXferBufSize buffer of post and clear, zeroed, or fatal.
AlignedBuf AllocXferBuf();
