#include "base/hash.h"

#include <bit>

namespace ulmora {

uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1) {
  uint64_t v0 = 0x736f6d6570736575ull ^ k0, v1 = 0x646f72616e646f6dull ^ k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ k0, v3 = 0x7465646279746573ull ^ k1;
  auto round = [&] {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  };
  auto word_at = [&](size_t off, size_t n) {
    uint64_t m = 0;
    for (size_t i = 0; i < n; ++i) m |= uint64_t{data[off + i]} << (8 * i);
    return m;
  };
  size_t full = len & ~size_t{7};
  for (size_t off = 0; off < full; off += 8) {
    uint64_t m = word_at(off, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t b = (uint64_t{len} << 56) | word_at(full, len - full);
  v3 ^= b;
  round();
  v0 ^= b;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace ulmora
