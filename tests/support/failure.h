// SPDX-License-Identifier: Apache-2.0
// Failures a test expects: the exception a call ends with, as a value.
#pragma once

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace support {

// What f threw as E; nullopt when it returned.
template <class E, class F>
std::optional<E> Caught(F &&f) {
  try {
    f();
  } catch (const E &e) {
    return e;
  }
  return std::nullopt;
}

// What f threw as E. When f returns instead, the test fails with "no failure"
// and what, and the result is nullopt; use it as
//   if (auto e = support::Thrown<FatalError>([&] { Call(); }, "no seek error")) {
//     EXPECT_EQ(e->text, "...");
//   }
template <class E, class F>
std::optional<E> Thrown(F &&f, const std::string &what = "") {
  std::optional<E> e = Caught<E>(f);
  if (!e) ADD_FAILURE() << "no failure" << (what.empty() ? "" : ": ") << what;
  return e;
}

}  // namespace support
