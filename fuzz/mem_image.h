// SPDX-License-Identifier: Apache-2.0
// The fuzz input as a device image from byte 0, read 4096 bytes at a time
// by byte offset. A read past the end fails as a device read fails, or, for
// a target that must never ask for one, stops the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fatal.h"
#include "xtl.h"

struct MemImage {
  const uint8_t *data;
  size_t size;
  bool never_past_end = false;  // a read past the end is a finding
};

inline const uint8_t *ReadMemImage(uint64_t off, void *ctx) {
  const auto *m = static_cast<const MemImage *>(ctx);
  if (off > m->size || m->size - off < kBlockSize) {
    if (m->never_past_end) __builtin_trap();
    Fatal("Error reading block - %d\n", 0);
  }
  return m->data + off;
}
