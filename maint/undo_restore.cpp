// SPDX-License-Identifier: Apache-2.0
// The undo command: reads an undo file, checks that the device is the one it
// was made on and that every saved range holds what the command wrote or
// what was there before, then writes the old contents back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fatal.h"
#include "undo.h"

namespace {

// An undo file as read: its header and its saved ranges. Records cut short
// at the end (a command killed while saving) are left out: their ranges were
// never overwritten.
struct UndoFile {
  std::string path;
  UniqueFd fd;
  UNDO_HDR hdr{};
  UndoMap map;
  uint64_t records = 0;
  uint64_t cut = 0;  // bytes of an unfinished last record
};

[[noreturn]] void NotUndo(const std::string &path) {
  FatalErr("Error: %s is not an undo file of xtl-maint\n", path.c_str());
}

[[noreturn]] void Damaged(const std::string &path, uint64_t at) {
  FatalErr("Error: undo file %s is damaged at byte %llu; nothing restored\n", path.c_str(),
           static_cast<unsigned long long>(at));
}

uint64_t ReadUndoHeader(UndoFile &f, const std::string &path) {
  if (PreadFull(f.fd.fh, &f.hdr, sizeof f.hdr, 0) != static_cast<ssize_t>(sizeof f.hdr) ||
      std::memcmp(f.hdr.Magic, kUndoMagic, sizeof f.hdr.Magic) != 0 ||
      f.hdr.Version.get() != kUndoVersion || f.hdr.CmdLen.get() > kUndoCmdMax)
    NotUndo(path);
  std::vector<uint8_t> h(sizeof f.hdr + f.hdr.CmdLen.get());
  if (PreadFull(f.fd.fh, h.data(), h.size(), 0) != static_cast<ssize_t>(h.size())) NotUndo(path);
  UNDO_HDR zeroed = f.hdr;
  zeroed.HdrHash.set(0);
  std::memcpy(h.data(), &zeroed, sizeof zeroed);
  if (UndoHash(h.data(), h.size()) != f.hdr.HdrHash.get()) NotUndo(path);
  return h.size();
}

// Reads the record at pos; returns the byte after it, or 0 at the end of the
// file (a record cut short included).
uint64_t ReadUndoRecord(UndoFile &f, const std::string &path, uint64_t pos,
                        std::vector<uint8_t> &buf) {
  UNDO_REC r{};
  const ssize_t n = PreadFull(f.fd.fh, &r, sizeof r, pos);
  if (n < 0) FatalErr("Error reading undo file %s %d\n", path.c_str(), errno);
  if (n < static_cast<ssize_t>(sizeof r)) {
    f.cut = static_cast<uint64_t>(n);
    return 0;
  }
  if (UndoHash(&r, offsetof(UNDO_REC, RecHash)) != r.RecHash.get()) Damaged(path, pos);
  const uint64_t len = r.Length.get();
  const bool bytes = (r.Flags.get() & (kUndoOldZero | kUndoAmend)) == 0;
  if (len > kUndoRecMax || r.Offset.get() > f.hdr.DevSize.get() ||
      len > f.hdr.DevSize.get() - r.Offset.get())
    Damaged(path, pos);
  if (bytes) {
    buf.resize(len);
    const ssize_t m = PreadFull(f.fd.fh, buf.data(), len, pos + sizeof r);
    if (m < 0) FatalErr("Error reading undo file %s %d\n", path.c_str(), errno);
    if (static_cast<uint64_t>(m) < len) {
      f.cut = sizeof r + static_cast<uint64_t>(m);
      return 0;
    }
    if (UndoHash(buf.data(), len) != r.OldHash.get()) Damaged(path, pos);
  }
  if (!f.map.Apply(r, static_cast<int64_t>(pos + sizeof r))) Damaged(path, pos);
  f.records++;
  return pos + sizeof r + (bytes ? len : 0);
}

UndoFile LoadUndo(const std::string &path) {
  UndoFile f;
  f.path = path;
  f.fd = UniqueFd(open(path.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK));
  if (f.fd.fh < 0) FatalErr("Error opening undo file %s %d\n", path.c_str(), errno);
  struct stat st {};
  if (fstat(f.fd.fh, &st) != 0 || !S_ISREG(st.st_mode)) NotUndo(path);
  std::vector<uint8_t> buf;
  for (uint64_t pos = ReadUndoHeader(f, path); pos != 0;) pos = ReadUndoRecord(f, path, pos, buf);
  if (f.cut > 0)
    std::fprintf(stderr,
                 "undo: %s ends %llu bytes into a record that was never finished (the command "
                 "stopped while saving it); the %llu records before it are restored\n",
                 path.c_str(), static_cast<unsigned long long>(f.cut),
                 static_cast<unsigned long long>(f.records));
  return f;
}

void CheckUndoDevice(const UndoFile &f, const Device &dev, const std::string &path) {
  const UNDO_HDR &h = f.hdr;
  if (dev.DevSize != h.DevSize.get())
    FatalErr("Error: %s holds %llu bytes; undo file %s was made on %llu bytes; nothing restored\n",
             v_DevName.c_str(), static_cast<unsigned long long>(dev.DevSize), path.c_str(),
             static_cast<unsigned long long>(h.DevSize.get()));
  struct stat st {};
  if (fstat(dev.fh, &st) != 0) FatalErr("Error: cannot stat %s %d\n", v_DevName.c_str(), errno);
  const bool same = S_ISBLK(st.st_mode)
                        ? h.DevKind.get() == kUndoBlk && h.DevRdev.get() == st.st_rdev
                        : h.DevKind.get() == kUndoReg && h.DevDev.get() == st.st_dev &&
                              h.DevIno.get() == st.st_ino;
  if (!same && v_Force == 0)
    FatalErr("Error: %s is not the device undo file %s was made on (another device number or "
             "inode); nothing restored (--force restores anyway)\n",
             v_DevName.c_str(), path.c_str());
}

// The old bytes of a saved range, from the undo file or zeros.
const uint8_t *OldBytes(const UndoFile &f, const UndoPiece &p, std::vector<uint8_t> &buf) {
  buf.assign(p.len, 0);
  if (p.old_pos < 0) return buf.data();
  if (PreadFull(f.fd.fh, buf.data(), p.len, static_cast<uint64_t>(p.old_pos)) !=
      static_cast<ssize_t>(p.len))
    FatalErr("Error reading undo file %s %d\n", f.path.c_str(), errno);
  return buf.data();
}

// What each saved range holds now.
struct UndoPlan {
  std::vector<uint64_t> restore;  // offsets of the ranges to write back
  uint64_t restore_bytes = 0;
  uint64_t already_bytes = 0;  // ranges that hold their old contents
  uint64_t changed_bytes = 0;  // ranges that hold neither
  uint64_t first_changed = 0;
};

UndoPlan PlanUndo(const UndoFile &f, const Device &dev) {
  UndoPlan plan;
  std::vector<uint8_t> cur, old;
  for (const auto &[start, p] : f.map.Pieces()) {
    cur.resize(p.len);
    errno = 0;
    if (PreadFull(dev.fh, cur.data(), p.len, start) != static_cast<ssize_t>(p.len))
      FatalErr("Error reading %s at byte %llu %d\n", v_DevName.c_str(),
               static_cast<unsigned long long>(start), errno);
    if (std::memcmp(cur.data(), OldBytes(f, p, old), p.len) == 0) {
      plan.already_bytes += p.len;
      continue;
    }
    const bool zero = IsAllZero(cur.data(), p.len);
    const uint64_t hash = zero ? 0 : UndoHash(cur.data(), p.len);
    bool is_new = p.any;
    for (const UndoNew &n : p.news) is_new = is_new || (n.zero ? zero : n.hash == hash);
    if (!is_new && plan.changed_bytes++ == 0) plan.first_changed = start;
    if (!is_new) plan.changed_bytes += p.len - 1;
    plan.restore.push_back(start);
    plan.restore_bytes += p.len;
  }
  return plan;
}

// The start of the device as it will be after the undo, against the hash
// the undo file took of it before the command.
bool HeadMatches(const UndoFile &f, const Device &dev) {
  const uint64_t n = std::min<uint64_t>(dev.DevSize, kUndoHeadBytes);
  std::vector<uint8_t> head(n), old;
  if (PreadFull(dev.fh, head.data(), n, 0) != static_cast<ssize_t>(n))
    FatalErr("Error reading %s at byte 0 %d\n", v_DevName.c_str(), errno);
  for (const auto &[start, p] : f.map.Pieces()) {
    if (start >= n) break;
    const uint8_t *o = OldBytes(f, p, old);
    std::memcpy(head.data() + start, o, std::min<uint64_t>(p.len, n - start));
  }
  return UndoHash(head.data(), n) == f.hdr.HeadHash.get();
}

void WriteBack(const UndoFile &f, const Device &dev, const UndoPlan &plan) {
  std::vector<uint8_t> old;
  const auto &pieces = f.map.Pieces();
  for (uint64_t start : plan.restore) {
    const UndoPiece &p = pieces.at(start);
    errno = 0;
    if (PwriteFull(dev.fh, OldBytes(f, p, old), p.len, start) != static_cast<ssize_t>(p.len))
      FatalErr("Error writing %s at byte %llu %d\n", v_DevName.c_str(),
               static_cast<unsigned long long>(start), errno);
  }
  if (fsync(dev.fh) != 0) FatalErr("Error flushing %s %d\n", v_DevName.c_str(), errno);
}

}  // namespace

void DoUndo() { DoUndo(stdout); }

void DoUndo(FILE *out) {
  const std::string &path = v_UndoFile;
  const UndoFile f = LoadUndo(path);
  // Exclusive: a device the system holds is not written behind its back.
  Device dev = OpenDevAt(v_DevName, O_RDWR | O_LARGEFILE | O_EXCL, OpenFailMsg::File);
  CheckUndoDevice(f, dev, path);
  const UndoPlan plan = PlanUndo(f, dev);
  if (plan.changed_bytes > 0 && v_Force == 0)
    FatalErr("Error: %llu saved bytes of %s (the first at byte %llu) hold neither what the command "
             "wrote nor what was there before; something wrote there since; nothing restored "
             "(--force restores anyway)\n",
             static_cast<unsigned long long>(plan.changed_bytes), v_DevName.c_str(),
             static_cast<unsigned long long>(plan.first_changed));
  if (v_Force == 0 && !HeadMatches(f, dev))
    FatalErr("Error: %s is not the device undo file %s was made on (its first %u bytes differ); "
             "nothing restored (--force restores anyway)\n",
             v_DevName.c_str(), path.c_str(), kUndoHeadBytes);
  if (plan.restore.empty()) {
    std::fprintf(out, "undo: %s already holds the old contents of the %llu bytes saved in %s; "
                      "nothing written\n",
                 v_DevName.c_str(), static_cast<unsigned long long>(plan.already_bytes),
                 path.c_str());
    return;
  }
  WriteBack(f, dev, plan);
  if (CloseDev(dev) != 0) FatalErr("Error closing %s %d\n", v_DevName.c_str(), errno);
  std::fprintf(out, "undo: restored %llu bytes of %s from %s\n",
               static_cast<unsigned long long>(plan.restore_bytes), v_DevName.c_str(),
               path.c_str());
}
