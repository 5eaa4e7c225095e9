// AVX-512 VNNI code kernels. This file is compiled with the AVX-512 F/BW/VL
// and VNNI flags and must only run after the dispatcher has seen them. The
// float kernels of its table are the AVX2+FMA ones, so float scores do not
// change with the choice between the two tables.
//
// Exactness: vpdpbusd and vpdpwssd multiply without saturation and add into
// 32-bit lanes with wrap-around, so every lane sum is the reference's sum of
// the same terms modulo 2^32. Tails use masked loads (masked-out bytes are
// not read and load as zero, adding nothing), so nothing is read past n.
#include "vector/kernels/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace ulmora::kernels {
namespace {

// Halves of a 512-bit vector. (GCC 12's plain cast and extract fill an
// unused operand from an uninitialised variable and warn; the zero-masked
// extract has no such operand.)
inline __m256i lo256(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xFF, v, 0); }
inline __m256i hi256(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xFF, v, 1); }

inline __mmask64 mask64(size_t left) { return left >= 64 ? ~__mmask64{0} : (__mmask64{1} << left) - 1; }
inline __mmask32 mask32(size_t left) { return left >= 32 ? ~__mmask32{0} : (__mmask32{1} << left) - 1; }

// Lane sum in wrapping vector adds (the library reduction ends in a signed
// scalar add, which must not overflow).
inline uint32_t hsum(__m512i v) {
  __m256i h = _mm256_add_epi32(lo256(v), hi256(v));
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

// Four lane sums at once: out[j] = lanes of sj summed (mod 2^32).
inline void hsum4(__m512i s0, __m512i s1, __m512i s2, __m512i s3, int32_t* out) {
  // Fold 512 -> 256 bits per accumulator, then the AVX2 pairwise adds.
  auto fold = [](__m512i v) {
    return _mm256_add_epi32(lo256(v), hi256(v));
  };
  __m256i h = _mm256_hadd_epi32(_mm256_hadd_epi32(fold(s0), fold(s1)), _mm256_hadd_epi32(fold(s2), fold(s3)));
  __m128i sums = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), sums);
}

// ---- Signed-byte query: Σ (c - 128) q = Σ c q - 128 Σ q --------------------

// Σ c*q over bytes (unsigned code times signed query, 64 per step) and the
// query sum Σ q (ones times q) in the second accumulator.
void dot_i8_x4(const uint8_t* const* rows, const int8_t* q, size_t n, int32_t* out) {
  const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m512i s0 = _mm512_setzero_si512(), s1 = _mm512_setzero_si512(), s2 = _mm512_setzero_si512(),
          s3 = _mm512_setzero_si512(), sq = _mm512_setzero_si512();
  const __m512i ones = _mm512_set1_epi8(1);
  for (size_t i = 0; i < n; i += 64) {
    const __mmask64 m = mask64(n - i);
    const __m512i x = _mm512_maskz_loadu_epi8(m, q + i);
    s0 = _mm512_dpbusd_epi32(s0, _mm512_maskz_loadu_epi8(m, r0 + i), x);
    s1 = _mm512_dpbusd_epi32(s1, _mm512_maskz_loadu_epi8(m, r1 + i), x);
    s2 = _mm512_dpbusd_epi32(s2, _mm512_maskz_loadu_epi8(m, r2 + i), x);
    s3 = _mm512_dpbusd_epi32(s3, _mm512_maskz_loadu_epi8(m, r3 + i), x);
    sq = _mm512_dpbusd_epi32(sq, ones, x);
  }
  hsum4(s0, s1, s2, s3, out);
  const uint32_t off = 128u * hsum(sq);
  for (int j = 0; j < 4; ++j) out[j] = static_cast<int32_t>(static_cast<uint32_t>(out[j]) - off);
}

int32_t dot_i8(const uint8_t* c, const int8_t* q, size_t n) {
  __m512i s = _mm512_setzero_si512(), sq = _mm512_setzero_si512();
  const __m512i ones = _mm512_set1_epi8(1);
  for (size_t i = 0; i < n; i += 64) {
    const __mmask64 m = mask64(n - i);
    const __m512i x = _mm512_maskz_loadu_epi8(m, q + i);
    s = _mm512_dpbusd_epi32(s, _mm512_maskz_loadu_epi8(m, c + i), x);
    sq = _mm512_dpbusd_epi32(sq, ones, x);
  }
  return static_cast<int32_t>(hsum(s) - 128u * hsum(sq));
}

// ---- 16-bit query: 32 codes per step widened to 16 bits ---------------------

inline __m512i widen(const uint8_t* c, __mmask32 m) { return _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(m, c)); }
inline __m512i load_x(const int16_t* x, __mmask32 m) { return _mm512_maskz_loadu_epi16(m, x); }

// Σ (c - kOffset) x as Σ c x - kOffset Σ x (each pairwise product sum exact).
template <int kOffset>
int32_t codes_i16(const uint8_t* c, const int16_t* x, size_t n) {
  __m512i s = _mm512_setzero_si512(), sx = _mm512_setzero_si512();
  const __m512i offset = _mm512_set1_epi16(kOffset);
  for (size_t i = 0; i < n; i += 32) {
    const __mmask32 m = mask32(n - i);
    const __m512i q = load_x(x + i, m);
    s = _mm512_dpwssd_epi32(s, widen(c + i, m), q);
    if constexpr (kOffset != 0) sx = _mm512_dpwssd_epi32(sx, offset, q);
  }
  return static_cast<int32_t>(hsum(s) - hsum(sx));
}

int32_t centered_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes_i16<128>(c, x, n); }
int32_t plain_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes_i16<0>(c, x, n); }

void centered_i16_x4(const uint8_t* const* rows, const int16_t* x, size_t n, int32_t* out) {
  const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m512i s0 = _mm512_setzero_si512(), s1 = _mm512_setzero_si512(), s2 = _mm512_setzero_si512(),
          s3 = _mm512_setzero_si512(), sx = _mm512_setzero_si512();
  const __m512i offset = _mm512_set1_epi16(128);
  for (size_t i = 0; i < n; i += 32) {
    const __mmask32 m = mask32(n - i);
    const __m512i q = load_x(x + i, m);
    s0 = _mm512_dpwssd_epi32(s0, widen(r0 + i, m), q);
    s1 = _mm512_dpwssd_epi32(s1, widen(r1 + i, m), q);
    s2 = _mm512_dpwssd_epi32(s2, widen(r2 + i, m), q);
    s3 = _mm512_dpwssd_epi32(s3, widen(r3 + i, m), q);
    sx = _mm512_dpwssd_epi32(sx, offset, q);
  }
  hsum4(s0, s1, s2, s3, out);
  const uint32_t off = hsum(sx);
  for (int j = 0; j < 4; ++j) out[j] = static_cast<int32_t>(static_cast<uint32_t>(out[j]) - off);
}

// -Σ (c - x)^2: the difference fits 16 bits for x in [-256, 255].
int32_t neg_l2_i16(const uint8_t* c, const int16_t* x, size_t n) {
  __m512i s = _mm512_setzero_si512();
  for (size_t i = 0; i < n; i += 32) {
    const __mmask32 m = mask32(n - i);
    const __m512i d = _mm512_sub_epi16(widen(c + i, m), load_x(x + i, m));
    s = _mm512_dpwssd_epi32(s, d, d);
  }
  return static_cast<int32_t>(0u - hsum(s));
}

void neg_l2_i16_x4(const uint8_t* const* rows, const int16_t* x, size_t n, int32_t* out) {
  const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m512i s0 = _mm512_setzero_si512(), s1 = _mm512_setzero_si512(), s2 = _mm512_setzero_si512(),
          s3 = _mm512_setzero_si512();
  for (size_t i = 0; i < n; i += 32) {
    const __mmask32 m = mask32(n - i);
    const __m512i q = load_x(x + i, m);
    const __m512i d0 = _mm512_sub_epi16(widen(r0 + i, m), q), d1 = _mm512_sub_epi16(widen(r1 + i, m), q);
    const __m512i d2 = _mm512_sub_epi16(widen(r2 + i, m), q), d3 = _mm512_sub_epi16(widen(r3 + i, m), q);
    s0 = _mm512_dpwssd_epi32(s0, d0, d0);
    s1 = _mm512_dpwssd_epi32(s1, d1, d1);
    s2 = _mm512_dpwssd_epi32(s2, d2, d2);
    s3 = _mm512_dpwssd_epi32(s3, d3, d3);
  }
  hsum4(s0, s1, s2, s3, out);
  for (int j = 0; j < 4; ++j) out[j] = static_cast<int32_t>(0u - static_cast<uint32_t>(out[j]));
}

KernelTable make_table() {
  KernelTable t = avx2_fma();
  t.name = "avx512_vnni";
  t.sq8_centered_i16 = centered_i16;
  t.sq8_plain_i16 = plain_i16;
  t.sq8_neg_l2_i16 = neg_l2_i16;
  t.sq8_dot_i8 = dot_i8;
  t.sq8_centered_i16_x4 = centered_i16_x4;
  t.sq8_neg_l2_i16_x4 = neg_l2_i16_x4;
  t.sq8_dot_i8_x4 = dot_i8_x4;
  return t;
}

}  // namespace

const KernelTable& avx512_vnni() {
  static const KernelTable table = make_table();
  return table;
}

}  // namespace ulmora::kernels

#else  // not x86: the dispatcher never picks this table

namespace ulmora::kernels {
const KernelTable& avx512_vnni() { return portable(); }
}  // namespace ulmora::kernels

#endif
