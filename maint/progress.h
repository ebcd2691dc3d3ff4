// SPDX-License-Identifier: Apache-2.0
// The progress line of long work (log copy, log clear, log post, check): shown
// on standard error only while standard error is a terminal, so a pipe or a
// file sees nothing of it. Drawn when the work starts, redrawn in place with
// '\r' at most every kProgressTick, and erased with blanks when the work ends
// or fails (the destructor), so the next message starts on a clean line.
//
//   log copy: 12.0 MiB of 64.0 MiB (18%), 230.5 MiB/s
//   log copy: 12.0 MiB, 230.5 MiB/s          (a source of unknown size)
//   log post: 300 of 812 entries (36%), 1500 entries/s
//   check: 40 of 63 write blocks (63%), 8243/s
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>

enum class ProgressUnit { Bytes, Entries, WtBlks };

class Progress {
 public:
  // what: the command ("log copy"); total: bytes, entries or write blocks, 0
  // when unknown.
  Progress(const char *what, ProgressUnit unit, uint64_t total);
  ~Progress() { Erase(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // Records done; redraws when a tick has passed since the last drawing. Only
  // a clock read between ticks, and nothing at all when inactive.
  void Update(uint64_t done);
  // Records done and draws at once, tick or not: the last count is shown.
  void Finish(uint64_t done);
  // Blanks out the line; the next tick draws it again.
  void Erase();
  // Call before printing on standard output: when that is a terminal too, the
  // text would land in the line, so the line is erased first.
  void BeforeStdout() {
    if (stdout_tty_) Erase();
  }

 private:
  void Draw();

  const char *what_;
  ProgressUnit unit_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool active_ = false;
  bool stdout_tty_ = false;
  size_t shown_ = 0;  // columns of the line on the terminal now; 0 when erased
  size_t width_ = 0;  // longest line that fits the terminal without wrapping
  timespec start_{};
  timespec last_{};
};

// The write blocks of a walk done so far, in line: the line is made on the
// first call, once the count is known, and the last count is always shown.
inline void StepWtBlks(std::optional<Progress> &line, const char *what, uint64_t done,
                       uint64_t total) {
  if (!line) line.emplace(what, ProgressUnit::WtBlks, total);
  if (done == total)
    line->Finish(done);
  else
    line->Update(done);
}
