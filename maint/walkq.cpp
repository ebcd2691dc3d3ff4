// SPDX-License-Identifier: Apache-2.0
#include "walkq.h"

#include <optional>
#include <vector>

#include "fatal.h"

namespace {

class Walks {
 public:
  Walks(const DEV_HDR_20 &h, uint64_t first, uint64_t count, BlockQueue &q, QueuedWalkUser &u)
      : h_(h), first_(first), count_(count), q_(q), user_(u), slots_(q.Depth()) {}
  void Run();

 private:
  struct Slot {
    QueuedVisitor *v = nullptr;
    std::optional<WtBlkWalk> walk;
    bool waiting = false;  // a read of it is queued
    uint64_t byte = 0;     // where that read is
    int err = -1;          // the errno of its failed read; -1 none
  };
  unsigned Tag(uint64_t n) const { return static_cast<unsigned>(n % slots_.size()); }
  // The write block in flight whose slot is tag: a write block keeps its
  // slot until it has been handed on.
  uint64_t Of(unsigned tag) const {
    return fold_ + (tag + slots_.size() - fold_ % slots_.size()) % slots_.size();
  }
  void Start(uint64_t n);
  void Advance(uint64_t n);
  void Fold();

  const DEV_HDR_20 &h_;
  const uint64_t first_, count_;
  BlockQueue &q_;
  QueuedWalkUser &user_;
  std::vector<Slot> slots_;
  uint64_t next_ = 0;  // the next write block to start, counted from first_
  uint64_t fold_ = 0;  // the next write block to hand on
};

void Walks::Start(uint64_t n) {
  Slot &s = slots_[Tag(n)];
  s.err = -1;
  s.walk.reset();
  s.v = &user_.Begin(Tag(n), first_ + n);
  s.walk.emplace(h_, first_ + n, *s.v);
  Advance(n);
}

// Carries write block n's walk on to its next read, queued, or to its end.
void Walks::Advance(uint64_t n) {
  Slot &s = slots_[Tag(n)];
  s.waiting = false;
  while (const WtBlkAt *at = s.walk->Need()) {
    uint64_t byte = 0;
    if (!s.v->Locate(*at, &byte)) {
      s.walk->Feed(nullptr);
      continue;
    }
    q_.Queue(Tag(n), byte);
    s.byte = byte;
    s.waiting = true;
    return;
  }
}

void Walks::Fold() {
  for (; fold_ < next_ && !slots_[Tag(fold_)].waiting; fold_++) {
    const Slot &s = slots_[Tag(fold_)];
    if (s.err >= 0) FatalSys(false, s.err, "Error reading block - %d\n", s.err);
    user_.Done(Tag(fold_), fold_);
    if (next_ < count_) Start(next_++);
  }
}

void Walks::Run() {
  for (; next_ < count_ && next_ < slots_.size(); next_++) Start(next_);
  Fold();
  std::vector<BlockDone> done;
  while (fold_ < count_) {
    done.clear();
    q_.Reap(done);
    for (const BlockDone &d : done) {
      Slot &s = slots_[d.tag];
      if (!d.ok) {
        s.err = d.err;
        s.waiting = false;
        continue;
      }
      s.v->Got(s.byte, q_.Buf(d.tag));
      s.walk->Feed(q_.Buf(d.tag));
      Advance(Of(d.tag));
    }
    Fold();
  }
}

}  // namespace

void QueuedWalk(const DEV_HDR_20 &h, uint64_t first, uint64_t count, BlockQueue &q,
                QueuedWalkUser &user) {
  Walks(h, first, count, q, user).Run();
}
