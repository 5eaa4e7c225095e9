#include "base/adler32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ulmora {

namespace {

constexpr uint32_t kBase = 65521;
// Largest n with 255 n (n + 1) / 2 + (n + 1) (kBase - 1) < 2^32: the sums
// may run this many bytes between reductions without overflowing.
constexpr size_t kNmax = 5552;

// Unreduced sums over at most kNmax bytes.
inline void scalar_block(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n) {
  while (n >= 8) {
    a += p[0]; b += a; a += p[1]; b += a; a += p[2]; b += a; a += p[3]; b += a;
    a += p[4]; b += a; a += p[5]; b += a; a += p[6]; b += a; a += p[7]; b += a;
    p += 8;
    n -= 8;
  }
  while (n--) { a += *p++; b += a; }
}

#if defined(__SSE2__)
inline uint32_t hsum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// 16 bytes x0..x15 entering with sums (a, b) leave a + sum(x) and
// b + 16 a + sum((16 - i) x_i). Over k chunks the a-terms add up to
// 16 * (k a + sum of the byte sums before each chunk), kept in `prefix`.
// n is a multiple of 16 and at most kNmax.
inline void sse2_block(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i w_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i w_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  __m128i sum = zero, prefix = zero, weighted = zero;
  for (size_t i = 0; i < n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    prefix = _mm_add_epi32(prefix, sum);
    sum = _mm_add_epi32(sum, _mm_sad_epu8(x, zero));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), w_lo));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), w_hi));
  }
  const uint64_t b64 = uint64_t{b} + uint64_t{a} * n + 16 * uint64_t{hsum(prefix)} + hsum(weighted);
  a += hsum(sum);
  b = static_cast<uint32_t>(b64 % kBase);
}
#endif

}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len) {
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (len > 0) {
    size_t n = len < kNmax ? len : kNmax;
#if defined(__SSE2__)
    const size_t vec = n & ~size_t{15};
    sse2_block(a, b, data, vec);
    scalar_block(a, b, data + vec, n - vec);
#else
    scalar_block(a, b, data, n);
#endif
    a %= kBase;
    b %= kBase;
    data += n;
    len -= n;
  }
  return (b << 16) | a;
}

}  // namespace ulmora
