// SPDX-License-Identifier: Apache-2.0
// The undo file: its hash, its map of saved ranges, and its writer.
#include "undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fatal.h"
#include "mm3.h"

uint64_t UndoHash(const void *data, size_t len) {
  // Longer inputs are hashed in pieces, each seeded with the last digest.
  constexpr size_t kPiece = size_t{1} << 30;
  const auto *p = static_cast<const uint8_t *>(data);
  uint64_t out[2] = {};
  uint32_t seed = 0;
  do {
    const size_t n = std::min(len, kPiece);
    MurmurHash3_x64_128(p, static_cast<int>(n), seed, out);
    seed = static_cast<uint32_t>(out[0]);
    p += n;
    len -= n;
  } while (len > 0);
  return out[0];
}

bool IsAllZero(const uint8_t *p, size_t len) {
  return len == 0 || (p[0] == 0 && std::memcmp(p, p + 1, len - 1) == 0);
}

bool UndoMap::Apply(const UNDO_REC &r, int64_t old_pos) {
  const uint64_t off = r.Offset.get(), len = r.Length.get();
  const uint32_t flags = r.Flags.get();
  if (len == 0 || len > kUndoRecMax || off > UINT64_MAX - len || (flags & ~kUndoFlags) != 0)
    return false;
  if ((flags & kUndoAmend) != 0) return Amend(r, off, len);
  auto it = m_.lower_bound(off);
  if (it != m_.end() && it->first < off + len) return false;
  if (it != m_.begin() && std::prev(it)->first + std::prev(it)->second.len > off) return false;
  UndoPiece p;
  p.len = len;
  p.old_pos = (flags & kUndoOldZero) != 0 ? -1 : old_pos;
  p.news.push_back({(flags & kUndoNewZero) != 0, r.NewHash.get()});
  m_.emplace(off, std::move(p));
  return true;
}

bool UndoMap::Amend(const UNDO_REC &r, uint64_t off, uint64_t len) {
  auto it = m_.upper_bound(off);
  if (it == m_.begin()) return false;
  --it;
  const uint64_t start = it->first;
  const UndoNew state{(r.Flags.get() & kUndoNewZero) != 0, r.NewHash.get()};
  if (start == off && it->second.len == len) {  // written again
    if (it->second.any) it->second.news.clear();
    it->second.any = false;
    it->second.news.push_back(state);
    return true;
  }
  const UndoPiece whole = it->second;
  if (off + len > start + whole.len) return false;
  // The parts of the saved range beside the amended one keep their old
  // bytes; what is written there is no longer known as a whole.
  auto part = [&](uint64_t s, uint64_t n) {
    UndoPiece p;
    p.len = n;
    p.old_pos = whole.old_pos < 0 ? -1 : whole.old_pos + static_cast<int64_t>(s - start);
    p.any = true;
    return p;
  };
  m_.erase(it);
  if (off > start) {
    m_.emplace(start, part(start, off - start));
  }
  UndoPiece mid = part(off, len);
  mid.any = false;
  mid.news.push_back(state);
  m_.emplace(off, std::move(mid));
  if (off + len < start + whole.len)
    m_.emplace(off + len, part(off + len, start + whole.len - off - len));
  return true;
}

namespace {

UNDO_HDR TargetIdentity(int fd, const std::string &target) {
  struct stat st {};
  if (fstat(fd, &st) != 0) FatalErr("Error: cannot stat %s %d\n", target.c_str(), errno);
  UNDO_HDR h{};
  std::memcpy(h.Magic, kUndoMagic, sizeof h.Magic);
  h.Version.set(kUndoVersion);
  h.DevSize.set(GetDevSize(fd, target));
  if (S_ISBLK(st.st_mode)) {
    h.DevKind.set(kUndoBlk);
    h.DevRdev.set(st.st_rdev);
  } else {
    h.DevKind.set(kUndoReg);
    h.DevDev.set(st.st_dev);
    h.DevIno.set(st.st_ino);
  }
  return h;
}

}  // namespace

std::shared_ptr<UndoLog> UndoLog::Create(const std::string &path, int target_fd,
                                         const std::string &target) {
  UNDO_HDR id = TargetIdentity(target_fd, target);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_LARGEFILE,
                      0600);
  if (fd < 0 && errno == EEXIST)
    FatalErr("Error: undo file %s already exists; nothing written\n", path.c_str());
  if (fd < 0) FatalErr("Error creating undo file %s %d\n", path.c_str(), errno);
  std::shared_ptr<UndoLog> u(new UndoLog(path, target));
  u->fd_ = UniqueFd(fd);  // from here a failure removes the file
  struct stat us {};
  if (fstat(fd, &us) != 0) FatalErr("Error creating undo file %s %d\n", path.c_str(), errno);
  const bool on_target = id.DevKind.get() == kUndoBlk
                             ? us.st_dev == id.DevRdev.get()
                             : us.st_dev == id.DevDev.get() && us.st_ino == id.DevIno.get();
  if (on_target)
    FatalErr("Error: undo file %s is on %s itself; nothing written\n", path.c_str(), target.c_str());
  // The target is open for writing only (log post and clear): read it
  // through a handle of its own on the same file.
  char name[40];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", target_fd);
  u->rfd_ = UniqueFd(open(name, O_RDONLY | O_LARGEFILE | O_CLOEXEC));
  if (u->rfd_.fh < 0) FatalErr("Error: cannot read %s for the undo file %d\n", target.c_str(), errno);
  u->WriteHeader(id.DevSize.get(), id);
  return u;
}

void UndoLog::WriteHeader(uint64_t size, const UNDO_HDR &id) {
  UNDO_HDR h = id;
  size_ = size;
  const uint64_t head = std::min<uint64_t>(size, kUndoHeadBytes);
  h.HeadHash.set(UndoHash(ReadTarget(0, head, cur_), head));
  const std::string cmd = v_CmdLine.substr(0, kUndoCmdMax);
  h.CmdLen.set(static_cast<uint32_t>(cmd.size()));
  out_.assign(reinterpret_cast<const uint8_t *>(&h), reinterpret_cast<const uint8_t *>(&h) + sizeof h);
  out_.insert(out_.end(), cmd.begin(), cmd.end());
  h.HdrHash.set(UndoHash(out_.data(), out_.size()));
  std::memcpy(out_.data(), &h, sizeof h);
  WriteOut();
}

const uint8_t *UndoLog::ReadTarget(uint64_t off, uint64_t len, std::vector<uint8_t> &into) {
  into.resize(len);
  errno = 0;
  if (PreadFull(rfd_.fh, into.data(), len, off) != static_cast<ssize_t>(len))
    FatalErr("Error reading %s at byte %llu for the undo file %d\n", target_.c_str(),
             static_cast<unsigned long long>(off), errno);
  return into.data();
}

// One record into out_: data the len new bytes (nullptr: what the target
// holds now), old the len old bytes (nullptr: none follow).
void UndoLog::Emit(uint64_t off, uint64_t len, const uint8_t *data, uint32_t flags,
                   const uint8_t *old) {
  if (data == nullptr) data = ReadTarget(off, len, cur_);
  UNDO_REC r{};
  r.Offset.set(off);
  r.Length.set(len);
  if (IsAllZero(data, len))
    flags |= kUndoNewZero;
  else
    r.NewHash.set(UndoHash(data, len));
  const bool bytes = old != nullptr && (flags & kUndoOldZero) == 0;
  if (bytes) r.OldHash.set(UndoHash(old, len));
  r.Flags.set(flags);
  r.RecHash.set(UndoHash(&r, offsetof(UNDO_REC, RecHash)));
  const auto *rb = reinterpret_cast<const uint8_t *>(&r);
  out_.insert(out_.end(), rb, rb + sizeof r);
  const int64_t old_pos = static_cast<int64_t>(end_ + out_.size());
  if (bytes) out_.insert(out_.end(), old, old + len);
  map_.Apply(r, old_pos);  // the writer's records always fit
}

// A range saved for the first time: its old bytes, in runs of whole 4096-byte
// blocks that are all zero (stored without bytes) or not.
void UndoLog::SaveGap(uint64_t off, uint64_t len, const uint8_t *data) {
  const uint8_t *old = ReadTarget(off, len, old_);
  uint64_t run = 0;
  bool run_zero = false;
  for (uint64_t at = 0; at < len;) {
    const uint64_t n = std::min<uint64_t>(kBlockSize, len - at);
    const bool zero = IsAllZero(old + at, n);
    if (at > run && zero != run_zero) {
      Emit(off + run, at - run, data + run, run_zero ? kUndoOldZero : 0, old + run);
      run = at;
    }
    run_zero = zero;
    at += n;
  }
  Emit(off + run, len - run, data + run, run_zero ? kUndoOldZero : 0, old + run);
}

void UndoLog::AmendFromTarget(uint64_t off, uint64_t len) {
  Emit(off, len, nullptr, kUndoAmend, nullptr);
}

void UndoLog::Save(uint64_t off, const uint8_t *data, size_t len) {
  // Nothing lies past the target's end to be lost: a write there fails (a
  // log post entry reports it and the replay goes on, as without --undo=).
  if (off >= size_) return;
  len = static_cast<size_t>(std::min<uint64_t>(len, size_ - off));
  if (len == 0) return;
  const uint64_t end = off + len;
  // The saved ranges this write meets: their old bytes are saved already.
  std::vector<std::pair<uint64_t, uint64_t>> met;
  const auto &pieces = map_.Pieces();
  auto it = pieces.upper_bound(off);
  if (it != pieces.begin() && std::prev(it)->first + std::prev(it)->second.len > off) --it;
  for (; it != pieces.end() && it->first < end; ++it) met.emplace_back(it->first, it->second.len);
  out_.clear();
  uint64_t pos = off;
  for (const auto &[start, n] : met) {
    if (start > pos) SaveGap(pos, start - pos, data + (pos - off));
    const uint64_t from = std::max(start, off), to = std::min(start + n, end);
    if (from != start || to != start + n) {
      // Split first by what the target holds now, which a kill before this
      // write leaves there; then the part written takes the new contents too.
      if (start < off) AmendFromTarget(start, off - start);
      AmendFromTarget(from, to - from);
      if (start + n > end) AmendFromTarget(end, start + n - end);
    }
    Emit(from, to - from, data + (from - off), kUndoAmend, nullptr);
    pos = to;
  }
  if (pos < end) SaveGap(pos, end - pos, data + (pos - off));
  WriteOut();
  saved_ = true;
}

void UndoLog::WriteOut() {
  for (size_t done = 0; done < out_.size();) {
    errno = 0;
    const ssize_t w = write(fd_.fh, out_.data() + done, out_.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) FatalErr("Error writing undo file %s %d\n", path_.c_str(), errno);
    done += static_cast<size_t>(w);
  }
  // Write-ahead: on stable storage before the range is overwritten.
  if (fsync(fd_.fh) != 0) FatalErr("Error flushing undo file %s %d\n", path_.c_str(), errno);
  end_ += out_.size();
  out_.clear();
}

void UndoLog::Finish() {
  done_ = true;
  if (fd_.Close() != 0) FatalErr("Error closing undo file %s %d\n", path_.c_str(), errno);
}

UndoLog::~UndoLog() {
  // A command that failed before it saved anything leaves no undo file.
  if (!done_ && !saved_ && fd_.fh >= 0) unlink(path_.c_str());
}
