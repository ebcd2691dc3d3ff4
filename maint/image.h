// SPDX-License-Identifier: Apache-2.0
// The image command: a sparse file the size of the device that holds, at
// their own offsets, the device's header block and every block the
// write-block walk reads (each write block's headers and metadata blocks),
// and nothing else. status, dump and check read it as they read the device.
// It reads the device as check does (read-only, through the same open and
// the same block reads) and walks it with the same walk (wtblk.h).
#pragma once

#include <cstdint>

#include "xtl.h"

class BlockQueue;

// Where the image's blocks go: len bytes at byte off of the image.
using BlockSink = void (*)(uint64_t off, const uint8_t *bytes, size_t len, void *ctx);
// Called after each write block of the walk.
using ImageProgress = void (*)(uint64_t done, uint64_t total, void *ctx);

struct ImageSource {
  const DevHdrBuf *hdr = nullptr;  // the header read at --hdroff=
  uint64_t size = 0;               // device bytes
  BlockSource read = nullptr;      // asked only for blocks wholly inside the device
  void *ctx = nullptr;
  BlockQueue *queue = nullptr;  // many write blocks at once through it; read is not asked
};

struct ImageCounts {
  uint64_t wtblks = 0;  // write blocks walked
  uint64_t blocks = 0;  // 4096-byte blocks copied by the walk
};

// The write blocks the image walks: every one of the header's (PhysicalBlocks
// / ClusterSize), but none past the device's end, when the header is one dump
// can walk (XTL:2.0, MetaVersion 0x201, BitSizes and ClusterSize not 0);
// else 0. For a header check finds sound these are the write blocks check
// walks.
uint64_t ImageWtBlks(const DevHdrBuf &hdr, uint64_t size);

// Walks those write blocks, handing every block read to sink at its offset.
// The walk reads what check's walk reads, and also the further blocks dump
// shows of a segment that runs past its write block, so that dump reads the
// same from the image.
ImageCounts ImageWalk(const ImageSource &src, BlockSink sink, void *sink_ctx,
                      ImageProgress progress = nullptr, void *progress_ctx = nullptr);

// The command: image v_DevName into v_ImageFile (and the log device
// v_ImageLog into v_ImageFile + ".log").
void DoImage();
