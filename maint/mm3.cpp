// SPDX-License-Identifier: Apache-2.0
#include "mm3.h"

#include <cstring>

namespace {

inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t LoadLe64(const uint8_t *p, int n) {
  uint64_t v = 0;
  for (int i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

inline uint64_t fmix(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

struct State {
  uint64_t h1, h2, c1, c2;

  void bmix(uint64_t k1, uint64_t k2) {
    k1 *= c1;
    k1 = rotl64(k1, 23);
    k1 *= c2;
    h1 ^= k1;
    h1 += h2;

    h2 = rotl64(h2, 41);

    k2 *= c2;
    k2 = rotl64(k2, 23);
    k2 *= c1;
    h2 ^= k2;
    h2 += h1;

    h1 = h1 * 3 + 0x52dce729;
    h2 = h2 * 3 + 0x38495ab5;

    c1 = c1 * 5 + 0x7b7d159c;
    c2 = c2 * 5 + 0x6bce6396;
  }
};

}  // namespace

void MurmurHash3_x64_128(const void *key, int len, uint32_t seed, void *out) {
  const auto *data = static_cast<const uint8_t *>(key);
  const int nblocks = len / 16;
  State s{0x9368e53c2f6af274ULL ^ seed, 0x586dcd208f7cd3fdULL ^ seed, 0x87c37b91114253d5ULL,
          0x4cf5ad432745937fULL};

  for (int i = 0; i < nblocks; i++) {
    const uint8_t *b = data + i * 16;
    s.bmix(LoadLe64(b, 8), LoadLe64(b + 8, 8));
  }

  const int rest = len & 15;
  if (rest != 0) {
    const uint8_t *tail = data + nblocks * 16;
    uint64_t k1 = LoadLe64(tail, rest < 8 ? rest : 8);
    uint64_t k2 = rest > 8 ? LoadLe64(tail + 8, rest - 8) : 0;
    s.bmix(k1, k2);
  }

  s.h2 ^= static_cast<uint64_t>(static_cast<int64_t>(len));
  s.h1 += s.h2;
  s.h2 += s.h1;
  s.h1 = fmix(s.h1);
  s.h2 = fmix(s.h2);
  s.h1 += s.h2;
  s.h2 += s.h1;

  uint8_t bytes[16];
  for (int i = 0; i < 8; i++) {
    bytes[i] = static_cast<uint8_t>(s.h1 >> (8 * i));
    bytes[8 + i] = static_cast<uint8_t>(s.h2 >> (8 * i));
  }
  std::memcpy(out, bytes, sizeof bytes);
}
