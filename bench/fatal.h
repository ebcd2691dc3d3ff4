// SPDX-License-Identifier: Apache-2.0
// The single failure path of vexbench: every failure formats one message and
// throws BenchFatal; only main() catches it, prints it and returns status 1.
// Forked workers catch it themselves and end with _exit().
#pragma once

#include <cstdio>
#include <exception>
#include <string>

class BenchFatal : public std::exception {
 public:
  BenchFatal(std::string text, FILE *stream) : text_(std::move(text)), stream_(stream) {}
  const char *what() const noexcept override { return text_.c_str(); }
  const std::string &Text() const { return text_; }
  FILE *Stream() const { return stream_; }
  // Writes the message (possibly empty) to its stream and flushes it.
  void Print() const;

 private:
  std::string text_;
  FILE *stream_;
};

// Formats the message for standard output and throws BenchFatal.
[[noreturn]] void Fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Status 1 without a message (the reason was printed already, or there is none).
[[noreturn]] void FatalQuiet();
// Throws BenchFatal carrying a ready-made text for standard output.
[[noreturn]] void FatalText(const std::string &text);
