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
  FatalError(std::string t, bool err, int st = 1) : text(std::move(t)), to_stderr(err), status(st) {}
  const char *what() const noexcept override { return text.c_str(); }
  // Writes the message to its stream (after anything already printed there).
  void Print() const;
};

// Message on standard output, status 1.
[[noreturn]] void Fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Message on standard error, status 1.
[[noreturn]] void FatalErr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
