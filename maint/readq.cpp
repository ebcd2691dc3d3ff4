// SPDX-License-Identifier: Apache-2.0
// The io_uring read queue: one ring per check, each tag with a registered
// buffer of its own, the device a registered file.
#include "readq.h"

#include <liburing.h>
#include <sys/uio.h>

#include <cerrno>

#include "fatal.h"
#include "xtl.h"

namespace {

class UringQueue : public BlockQueue {
 public:
  UringQueue(unsigned depth, AlignedBuf bufs) : depth_(depth), bufs_(std::move(bufs)) {}
  UringQueue(const UringQueue &) = delete;
  UringQueue &operator=(const UringQueue &) = delete;
  ~UringQueue() override {
    if (ring_up_) io_uring_queue_exit(&ring_);
  }
  // The ring, the buffers and the file; false when the kernel refuses any.
  bool Open(int fd);

  unsigned Depth() const override { return depth_; }
  const uint8_t *Buf(unsigned tag) const override { return bufs_.p + size_t{tag} * kBlockSize; }
  void Queue(unsigned tag, uint64_t off) override {
    off_[tag] = off;
    got_[tag] = 0;
    Prep(tag);
  }
  void Reap(std::vector<BlockDone> &done) override;

 private:
  void Prep(unsigned tag);
  void Ended(unsigned tag, int res, std::vector<BlockDone> &done);

  unsigned depth_;
  AlignedBuf bufs_;
  io_uring ring_{};
  bool ring_up_ = false;
  uint64_t off_[kMaxCheckDepth] = {};
  uint32_t got_[kMaxCheckDepth] = {};  // bytes of the block read so far
};

bool UringQueue::Open(int fd) {
  // The cheapest completion mode the kernel offers, then the plain one.
  static constexpr unsigned kFlags[] = {
      IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN, IORING_SETUP_COOP_TASKRUN, 0};
  int r = -EINVAL;
  for (unsigned f : kFlags)
    if ((r = io_uring_queue_init(depth_, &ring_, f)) != -EINVAL) break;
  if (r < 0) return false;
  ring_up_ = true;
  std::vector<iovec> iov(depth_);
  for (unsigned t = 0; t < depth_; t++) iov[t] = {bufs_.p + size_t{t} * kBlockSize, kBlockSize};
  return io_uring_register_buffers(&ring_, iov.data(), depth_) == 0 &&
         io_uring_register_files(&ring_, &fd, 1) == 0;
}

void UringQueue::Prep(unsigned tag) {
  // One entry a tag, so there always is one; should there be none, what is
  // queued is submitted first.
  io_uring_sqe *sqe;
  while ((sqe = io_uring_get_sqe(&ring_)) == nullptr) io_uring_submit(&ring_);
  uint8_t *at = bufs_.p + size_t{tag} * kBlockSize + got_[tag];
  io_uring_prep_read_fixed(sqe, 0, at, static_cast<unsigned>(kBlockSize - got_[tag]),
                           off_[tag] + got_[tag], static_cast<int>(tag));
  sqe->flags |= IOSQE_FIXED_FILE;
  io_uring_sqe_set_data64(sqe, tag);
}

void UringQueue::Ended(unsigned tag, int res, std::vector<BlockDone> &done) {
  if (res == -EINTR || res == -EAGAIN) return Prep(tag);  // asked again, as pread is
  if (res < 0) return done.push_back({tag, false, -res});
  if (res == 0) return done.push_back({tag, false, 0});  // the device ended first
  got_[tag] += static_cast<uint32_t>(res);
  if (got_[tag] < kBlockSize) return Prep(tag);
  done.push_back({tag, true, 0});
}

void UringQueue::Reap(std::vector<BlockDone> &done) {
  const size_t before = done.size();
  while (done.size() == before) {
    const int r = io_uring_submit_and_wait(&ring_, 1);
    if (r < 0 && r != -EINTR && r != -EAGAIN)
      FatalSys(false, -r, "Error reading block - %d\n", -r);
    unsigned head, seen = 0;
    io_uring_cqe *cqe;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      seen++;
      Ended(static_cast<unsigned>(cqe->user_data), cqe->res, done);
    }
    io_uring_cq_advance(&ring_, seen);
  }
}

}  // namespace

std::unique_ptr<BlockQueue> OpenUringQueue(int fd, unsigned depth) {
  if (depth < 1 || depth > kMaxCheckDepth) return nullptr;
  AlignedBuf bufs = AllocAligned(size_t{depth} * kBlockSize);
  if (bufs.p == nullptr) return nullptr;
  auto q = std::make_unique<UringQueue>(depth, std::move(bufs));
  if (!q->Open(fd)) return nullptr;
  return q;
}
