// SPDX-License-Identifier: Apache-2.0
#include "probe.h"

#include <blkid/blkid.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

// libblkid leaves some read errors unreported: several of its probers take a
// block they could not read for "not mine" and clear errno. So that a guard
// never takes a device it could not read for an empty one, the reads made of
// the probed handle are watched: this program's read and pread64 stand in
// front of the C library's (libblkid's calls resolve to the program's own
// first) and keep the first error on that handle while a probe runs.
namespace {
int watch_fd = -1;
int watch_err = 0;

template <typename F>
F Next(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

ssize_t Watched(int fd, ssize_t r) {
  if (r < 0 && fd == watch_fd && watch_err == 0 && errno != EINTR) watch_err = errno;
  return r;
}
}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t len) {
  static const auto next = Next<ssize_t (*)(int, void *, size_t)>("read");
  return Watched(fd, next != nullptr ? next(fd, buf, len) : syscall(SYS_read, fd, buf, len));
}

extern "C" ssize_t pread64(int fd, void *buf, size_t len, off64_t off) {
  static const auto next = Next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
  return Watched(fd, next != nullptr ? next(fd, buf, len, off)
                                     : syscall(SYS_pread64, fd, buf, len, off));
}

namespace {
struct FreeProbe {
  void operator()(blkid_probe pr) const { blkid_free_probe(pr); }
};

std::string Value(blkid_probe pr, const char *name) {
  const char *v = nullptr;
  if (blkid_probe_lookup_value(pr, name, &v, nullptr) != 0 || v == nullptr) return {};
  return v;
}

std::string Article(const std::string &word) {
  const char c = word.empty() ? 'x' : word[0];
  const bool vowel = c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'A' ||
                     c == 'E' || c == 'I' || c == 'O' || c == 'U';
  return vowel ? "an " : "a ";
}

// errno after a libblkid call that failed; EIO where it left none.
int ProbeErr(int rc) {
  if (rc < -1) return -rc;  // libblkid passes a read's error on as -errno
  return errno != 0 ? errno : EIO;
}

// What libblkid finds on fd; a read error on fd is the probe's error even
// where libblkid went on past it.
ProbeResult Probe(int fd);
}  // namespace

std::string ProbeSignature(int fd) { return ProbeDevice(fd).what; }

ProbeResult ProbeDevice(int fd) {
  watch_fd = fd;
  watch_err = 0;
  ProbeResult r = Probe(fd);
  watch_fd = -1;
  if (r.err == 0 && watch_err != 0) r = {{}, watch_err};
  return r;
}

namespace {
ProbeResult Probe(int fd) {
  errno = 0;
  std::unique_ptr<blkid_struct_probe, FreeProbe> pr(blkid_new_probe());
  if (!pr) return {{}, ProbeErr(-1)};
  if (const int rc = blkid_probe_set_device(pr.get(), fd, 0, 0); rc != 0) return {{}, ProbeErr(rc)};
  blkid_probe_enable_superblocks(pr.get(), 1);
  blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
  blkid_probe_enable_partitions(pr.get(), 1);
  blkid_probe_set_partitions_flags(pr.get(), BLKID_PARTS_ENTRY_DETAILS);
  // The first signature found; an ambiguous device (two signatures) is
  // reported by its first one all the same.
  errno = 0;
  const int rc = blkid_do_probe(pr.get());
  if (rc < 0) return {{}, ProbeErr(rc)};
  if (rc != 0) return {};  // nothing found
  const std::string type = Value(pr.get(), "TYPE");
  const std::string usage = Value(pr.get(), "USAGE");
  const std::string pttype = Value(pr.get(), "PTTYPE");
  if (type.empty() && !pttype.empty()) return {Article(pttype) + pttype + " partition table"};
  if (type.empty()) return {};
  if (type == "swap") return {"a swap area"};
  if (usage == "filesystem") return {Article(type) + type + " file system"};
  if (usage == "raid") return {Article(type) + type + " RAID or LVM member"};
  if (usage == "crypto") return {Article(type) + type + " encrypted volume"};
  return {Article(type) + type + " signature"};
}
}  // namespace
