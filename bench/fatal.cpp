// SPDX-License-Identifier: Apache-2.0
#include "fatal.h"

#include <cstdarg>
#include <vector>

void BenchFatal::Print() const {
  if (!text_.empty()) std::fputs(text_.c_str(), stream_);
  std::fflush(stream_);
}

void Fatal(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string text;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
    text.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  throw BenchFatal(std::move(text), stdout);
}

void FatalQuiet() { throw BenchFatal(std::string(), stdout); }

void FatalText(const std::string &text) { throw BenchFatal(text, stdout); }
