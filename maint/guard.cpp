// SPDX-License-Identifier: Apache-2.0
// Wrong-device guards: what a device holds before a command overwrites it.
#include "guard.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fatal.h"
#include "probe.h"
#include "xtl.h"

namespace {

// What a guard found: the words after "DEV holds " or "DEV contains ".
struct Found {
  std::string what;
  bool xtl = false;  // an XTL header ("holds"), else a foreign signature ("contains")
  explicit operator bool() const { return !what.empty(); }
};

[[noreturn]] void CannotLook(const std::string &path, int err) {
  FatalSys(true, err, "Error: cannot read %s to see what it holds %d (--force skips the check)\n",
           path.c_str(), err);
}

// What fd holds. A guard that cannot read the device refuses: a device it
// could not look at is not taken for an empty one.
Found Look(int fd, const std::string &path, bool xtl_too) {
  Found f;
  if (xtl_too) {
    uint8_t hdr[kHdrSize];
    if (ReadHdrAt(fd, v_HdrOff, hdr) < 0) CannotLook(path, errno);
    f.what = DescribeXtlHdr(hdr);
  }
  f.xtl = !f.what.empty();
  if (f.xtl) return f;
  ProbeResult p = ProbeDevice(fd);
  if (p.err != 0) CannotLook(path, p.err);
  f.what = std::move(p.what);
  return f;
}

// A handle for reading the file behind fd, which the log commands open for
// writing only (and post with O_DIRECT, which libblkid cannot read through).
// Reopened through /proc, it is the very file that fd names, whatever has
// become of the path since.
int ReopenForReading(int fd, const std::string &path) {
  char name[40];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
  const int rfd = open(name, O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK);
  if (rfd < 0) CannotLook(path, errno);
  return rfd;
}

Found LookForWriter(int fd, const std::string &path, bool xtl_too) {
  const int rfd = ReopenForReading(fd, path);
  const UniqueFd hold(rfd);
  return Look(rfd, path, xtl_too);
}

}  // namespace

std::string DescribeXtlHdr(const uint8_t *hdr512) {
  DevHdrBuf h{};
  std::memcpy(h.raw, hdr512, kHdrSize);
  unsigned long long blocks = 0;
  const char *ver = nullptr;
  switch (GetHdrVersion(h.raw)) {
    case HdrVersion::V20:
      if (h.h_20x.mm3_64.get() != HdrChecksum(h)) return {};
      ver = "2.0";
      blocks = h.h_20x.PhysicalBlocks.get();
      break;
    case HdrVersion::V11:
      ver = "1.1";
      blocks = static_cast<uint32_t>(h.h_11.PhysicalBlocks.get());
      break;
    case HdrVersion::Unknown:
      return {};
  }
  char text[80];
  std::snprintf(text, sizeof text, "an XTL %s header (PhysicalBlocks %llu)", ver, blocks);
  return text;
}

int ReadHdrAt(int fd, uint64_t sector, uint8_t *hdr512) {
  std::memset(hdr512, 0, kHdrSize);
  if (sector > static_cast<uint64_t>(INT64_MAX) / kSectorSize) return 0;
  const ssize_t n = PreadFull(fd, hdr512, kHdrSize, sector * kSectorSize);
  if (n == static_cast<ssize_t>(kHdrSize)) return 1;
  if (n < 0) return -1;
  std::memset(hdr512, 0, kHdrSize);  // the device ends within them
  return 0;
}

bool AnswerIsYes(const std::string &line) {
  size_t b = 0, e = line.size();
  while (b < e && std::isspace(static_cast<unsigned char>(line[b])) != 0) b++;
  while (e > b && std::isspace(static_cast<unsigned char>(line[e - 1])) != 0) e--;
  const std::string word = line.substr(b, e - b);
  return strcasecmp(word.c_str(), "y") == 0 || strcasecmp(word.c_str(), "yes") == 0;
}

void GuardLogClear(int fd, const std::string &path) {
  if (v_Force != 0) return;
  if (const Found f = LookForWriter(fd, path, true))
    FatalErr("Error: %s %s %s, not a log device; nothing cleared (--force clears it anyway)\n",
             path.c_str(), f.xtl ? "holds" : "contains", f.what.c_str());
}

void GuardLogPost(int fd, const std::string &path) {
  if (v_Force != 0) return;
  if (const Found f = LookForWriter(fd, path, false))
    FatalErr("Error: %s contains %s, not an XTL device; nothing posted (--force posts anyway)\n",
             path.c_str(), f.what.c_str());
}

void GuardFormat(int fd, const std::string &path, FILE *in, FILE *err) {
  if (v_Force != 0) return;
  const Found f = Look(fd, path, true);
  if (!f) return;
  std::fflush(stdout);
  std::fprintf(err, "%s %s %s\n", path.c_str(), f.xtl ? "already holds" : "contains",
               f.what.c_str());
  if (isatty(fileno(in)) != 1) {
    std::fflush(err);
    return;  // a script: the format goes on as it always has
  }
  std::fputs("Proceed anyway? (y,N) ", err);
  std::fflush(err);
  char *line = nullptr;
  size_t cap = 0;
  const bool answered = getline(&line, &cap, in) > 0;
  const bool yes = answered && AnswerIsYes(line);
  std::free(line);
  // At the end of input the cursor still stands after the question.
  if (!yes) FatalErr("%sformat: cancelled; nothing written to %s\n", answered ? "" : "\n", path.c_str());
}
