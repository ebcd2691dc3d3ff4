// SPDX-License-Identifier: Apache-2.0
#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr int64_t kProgressTickNs = 250'000'000;  // at most four drawings a second
// Every drawing covers at least this many columns, so it hides a whole
// `log post` entry line (48 columns) when standard output shares the terminal.
constexpr size_t kMinColumns = 64;
constexpr size_t kMaxColumns = 200;  // fits the drawing buffers below

int64_t NsSince(const timespec &from, const timespec &to) {
  return (static_cast<int64_t>(to.tv_sec) - static_cast<int64_t>(from.tv_sec)) * 1'000'000'000 +
         (static_cast<int64_t>(to.tv_nsec) - static_cast<int64_t>(from.tv_nsec));
}

// 512 B, 12.0 MiB, ...
void HumanBytes(char *out, size_t size, double v) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  size_t u = 0;
  while (v >= 1024.0 && u + 1 < std::size(kUnits)) {
    v /= 1024.0;
    u++;
  }
  if (u == 0)
    std::snprintf(out, size, "%.0f B", v);
  else
    std::snprintf(out, size, "%.1f %s", v, kUnits[u]);
}

}  // namespace

Progress::Progress(const char *what, ProgressUnit unit, uint64_t total)
    : what_(what), unit_(unit), total_(total) {
  active_ = isatty(STDERR_FILENO) == 1;
  if (!active_) return;
  stdout_tty_ = isatty(STDOUT_FILENO) == 1;
  winsize ws{};
  width_ = 79;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
    width_ = std::min<size_t>(ws.ws_col - 1u, kMaxColumns);
  clock_gettime(CLOCK_MONOTONIC, &start_);
  last_ = start_;
  Draw();
}

void Progress::Update(uint64_t done) {
  if (!active_) return;
  done_ = done;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (NsSince(last_, now) < kProgressTickNs) return;
  last_ = now;
  Draw();
}

void Progress::Finish(uint64_t done) {
  if (!active_) return;
  done_ = done;
  clock_gettime(CLOCK_MONOTONIC, &last_);
  Draw();
}

void Progress::Draw() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double secs = static_cast<double>(NsSince(start_, now)) / 1e9;
  const double done = static_cast<double>(done_);
  const double rate = secs > 0 ? done / secs : 0;
  const int pct =
      total_ == 0 || done_ >= total_ ? 100 : static_cast<int>(done * 100.0 / static_cast<double>(total_));
  char line[256];
  if (unit_ == ProgressUnit::WtBlks) {
    std::snprintf(line, sizeof line, "%s: %llu of %llu write blocks (%d%%), %.0f/s", what_,
                  static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
                  pct, rate);
  } else if (unit_ == ProgressUnit::Entries) {
    std::snprintf(line, sizeof line, "%s: %llu of %llu entries (%d%%), %.0f entries/s", what_,
                  static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
                  pct, rate);
  } else {
    char d[32], t[32], r[32];
    HumanBytes(d, sizeof d, done);
    HumanBytes(t, sizeof t, static_cast<double>(total_));
    HumanBytes(r, sizeof r, rate);
    if (total_ == 0)
      std::snprintf(line, sizeof line, "%s: %s, %s/s", what_, d, r);
    else
      std::snprintf(line, sizeof line, "%s: %s of %s (%d%%), %s/s", what_, d, t, pct, r);
  }
  // One write: '\r', the text cut to the terminal's width, and blanks over
  // whatever the previous drawing (or an entry line) left further right.
  const size_t len = std::min(std::strlen(line), width_);
  const size_t cols = std::min(std::max({len, shown_, kMinColumns}), width_);
  char text[kMaxColumns + 2];
  text[0] = '\r';
  std::copy_n(line, len, text + 1);
  std::fill(text + 1 + len, text + 1 + cols, ' ');
  std::fwrite(text, 1, cols + 1, stderr);
  std::fflush(stderr);
  shown_ = cols;
}

void Progress::Erase() {
  if (shown_ == 0) return;
  char text[kMaxColumns + 2];
  text[0] = '\r';
  std::fill(text + 1, text + 1 + shown_, ' ');
  text[shown_ + 1] = '\r';
  std::fwrite(text, 1, shown_ + 2, stderr);
  std::fflush(stderr);
  shown_ = 0;
}
