// Helpers shared by the unit tests: run a command line in-process and catch
// the failure path, capture a printer's output, scratch files off tmpfs.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fatal.h"
#include "xtl.h"

struct RunResult {
  int status = 0;
  std::string out;  // the fatal message, when it went to stdout
  std::string err;  // the fatal message, when it went to stderr
};

// Scans and dispatches a command line as main() would, without exiting.
inline RunResult RunLine(std::vector<std::string> words) {
  words.insert(words.begin(), "xtl-maint");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  RunResult r;
  try {
    r.status = RunMaint(static_cast<int>(words.size()), argv.data());
  } catch (const FatalError &e) {
    r.status = e.status;
    (e.to_stderr ? r.err : r.out) = e.text;
  }
  return r;
}

// Captures what a printer writes to its FILE*.
template <typename F>
std::string Capture(F &&print) {
  char *data = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&data, &size);
  print(f);
  std::fclose(f);
  std::string s(data, size);
  std::free(data);
  return s;
}

// A scratch directory below /var/tmp (not tmpfs; or $XTL_TEST_TMPDIR, which CI
// sets to a directory of its run), removed with its files.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    const char *base = std::getenv("XTL_TEST_TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/var/tmp") + "/xtl-unit-XXXXXX";
    path = mkdtemp(tmpl.data());
  }
  ~ScratchDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string File(const std::string &name) const { return path + "/" + name; }
};

// Writes bytes at an offset of a file, creating it at the given size first.
inline void WriteAt(const std::string &path, uint64_t size, uint64_t off, const void *data,
                    size_t len) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) return;
  if (size != 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) std::perror("ftruncate");
  if (len != 0 && pwrite(fd, data, len, static_cast<off_t>(off)) != static_cast<ssize_t>(len))
    std::perror("pwrite");
  close(fd);
}

inline const char *UsageText() {
  return "usage: xtl-maint ...\n"
         "\n"
         "   format device {--wtblksz=nn} {--offset0=nn} {--devsz=nn} {--free=nn} {-q/--quick}\n"
         "   convert device existingsize {--wtblksz=nn} {--offset0=nn} {--devsz=nn} {--free=nn} "
         "{-q/--quick}\n"
         "   status device\n"
         "\n"
         "   log copy log_device {--tmpdir=dir}\n"
         "   log scan\n"
         "   log disp\n"
         "   log post device\n"
         "   log clear log_device\n"
         "\n";
}

// Builds a version 2.0 header with the tag set and everything else zero.
inline DevHdrBuf MakeV20() {
  DevHdrBuf h{};
  std::snprintf(h.h_20x.Str, sizeof h.h_20x.Str, "XTL:2.0");
  return h;
}
