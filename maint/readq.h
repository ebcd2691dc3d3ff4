// SPDX-License-Identifier: Apache-2.0
// Reads of 4096-byte blocks many at a time: the check walks many write
// blocks at once and waits for their reads together. The device's queue is
// an io_uring ring; tests put an in-memory one in its place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// One read that ended: ok, or failed with err (an errno; 0 when the device
// ended before the block did, as a short read reports today).
struct BlockDone {
  unsigned tag = 0;
  bool ok = false;
  int err = 0;
};

class BlockQueue {
 public:
  virtual ~BlockQueue() = default;
  // Reads that may wait at once; tags are 0 to Depth() - 1.
  virtual unsigned Depth() const = 0;
  // The 4096 bytes that the read of tag fills.
  virtual const uint8_t *Buf(unsigned tag) const = 0;
  // Queues the read of the block at byte off for tag, which has none waiting.
  virtual void Queue(unsigned tag, uint64_t off) = 0;
  // Submits what is queued, waits for at least one read to end and appends
  // every read that ended to done. A short read is carried on to the end of
  // its block first. Called only while a read waits.
  virtual void Reap(std::vector<BlockDone> &done) = 0;
};

// An io_uring queue of depth reads on fd (fd stays the caller's); nullptr
// when this kernel offers none (no io_uring, not permitted, no memory).
std::unique_ptr<BlockQueue> OpenUringQueue(int fd, unsigned depth);

constexpr unsigned kMaxCheckDepth = 256;
