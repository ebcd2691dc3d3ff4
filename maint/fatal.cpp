// SPDX-License-Identifier: Apache-2.0
#include "fatal.h"

#include <cstdarg>
#include <vector>

namespace {
__attribute__((format(printf, 1, 0))) std::string VFormat(const char *fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::vector<char> text(static_cast<size_t>(n) + 1);
  std::vsnprintf(text.data(), text.size(), fmt, ap);
  return std::string(text.data(), static_cast<size_t>(n));
}
}  // namespace

void FatalError::Print() const {
  FILE *out = to_stderr ? stderr : stdout;
  std::fflush(stdout);
  std::fputs(text.c_str(), out);
  std::fflush(out);
}

void Fatal(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  throw FatalError(std::move(text), false);
}

void FatalErr(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  throw FatalError(std::move(text), true);
}

void FatalSys(bool to_stderr, int err, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  FatalError e(VFormat(fmt, ap), to_stderr);
  va_end(ap);
  e.sys_errno = err;
  throw e;
}
