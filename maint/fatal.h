// SPDX-License-Identifier: Apache-2.0
// The single failure path of xtl-maint. A failure formats its one message
// exactly as the user sees it and throws; only main() catches, prints it on
// the chosen stream and ends with status 1. Tests catch FatalError and check
// the text; fuzz targets catch it and go on.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

struct FatalError : std::exception {
  std::string text;
  bool to_stderr = false;
  int status = 1;
  int sys_errno = -1;  // the system error number the message reports; -1: none
  FatalError(std::string t, bool err, int st = 1) : text(std::move(t)), to_stderr(err), status(st) {}
  const char *what() const noexcept override { return text.c_str(); }
  // Writes the message to its stream (after anything already printed there).
  void Print() const;
};

// Message on standard output, status 1.
[[noreturn]] void Fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Message on standard error, status 1.
[[noreturn]] void FatalErr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The failure of a system call, whose message reports err: as Fatal
// (to_stderr false) or FatalErr, with err kept for a JSON report.
[[noreturn]] void FatalSys(bool to_stderr, int err, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
