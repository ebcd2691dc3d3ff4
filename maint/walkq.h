// SPDX-License-Identifier: Apache-2.0
// The write-block walk over many write blocks at once: up to the queue's
// depth of them wait for a read each (readq.h), every write block's reads in
// its own order. What a write block found is handed on once it and every
// write block before it have ended, so a queued walk tells its user what a
// walk one write block after the other tells it, in the same order.
#pragma once

#include <cstdint>

#include "readq.h"
#include "wtblk.h"

// One write block's visitor in a queued walk.
class QueuedVisitor : public WtBlkVisitor {
 public:
  // The byte offset of the block at `at`; false when it is not to be read
  // (the walk ends: Unread).
  virtual bool Locate(const WtBlkAt &at, uint64_t *byte) = 0;
  // A block as read, before the walk looks at it.
  virtual void Got(uint64_t, const uint8_t *) {}
  // A queued walk hands blocks over itself.
  const uint8_t *Read(const WtBlkAt &) override { return nullptr; }
};

class QueuedWalkUser {
 public:
  virtual ~QueuedWalkUser() = default;
  // The visitor of slot s (0 to Depth() - 1), made ready for write block t.
  virtual QueuedVisitor &Begin(unsigned s, uint64_t t) = 0;
  // The write block of slot s, the n-th of the walk, has ended, and every
  // one before it has: called in write-block order.
  virtual void Done(unsigned s, uint64_t n) = 0;
};

// Walks write blocks first to first + count - 1 of the volume of header h.
// A read that failed ends the walk when its write block's turn comes, with
// "Error reading block - %d\n" and its errno, as a failed read of the walk
// one block at a time ends it.
void QueuedWalk(const DEV_HDR_20 &h, uint64_t first, uint64_t count, BlockQueue &q,
                QueuedWalkUser &user);
