// AVX2 + FMA kernels. This file is compiled with -mavx2 -mfma and must only
// run after the dispatcher has seen both features. Its shared pieces come
// from kernels_x86.h, whose copies stay private to this file.
#include "vector/kernels/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include "vector/kernels/kernels_x86.h"

namespace ulmora::kernels {
namespace {

inline int32_t hsum_i32(__m256i v) {
  return hsum_i32(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// Four independent accumulators over blocks of 32, then 8 at a time into
// the first, then the tail one by one.
float dot(const float* a, const float* b, size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
    s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), s1);
    s2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16), s2);
    s3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24), s3);
  }
  for (; i + 8 <= n; i += 8) s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), s0);
  const float tail = tail_dot(a, b, i, n);
  return hsum(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3))) + tail;
}

float l2sq(const float* a, const float* b, size_t n) {
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
    __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
    s0 = _mm256_fmadd_ps(d0, d0, s0);
    s1 = _mm256_fmadd_ps(d1, d1, s1);
    s2 = _mm256_fmadd_ps(d2, d2, s2);
    s3 = _mm256_fmadd_ps(d3, d3, s3);
  }
  for (; i + 8 <= n; i += 8) {
    __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    s0 = _mm256_fmadd_ps(d, d, s0);
  }
  const float tail = tail_l2sq(a, b, i, n);
  return hsum(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3))) + tail;
}

// One query against four vectors: the query is loaded once per step and the
// four accumulators are independent chains.
void dot_x4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    s0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v0 + i), s0);
    s1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v1 + i), s1);
    s2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v2 + i), s2);
    s3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(v3 + i), s3);
  }
  hsum4(s0, s1, s2, s3, out);
  tail_dot_x4(q, v, i, n, out);
}

void l2sq_x4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    __m256 d0 = _mm256_sub_ps(x, _mm256_loadu_ps(v0 + i));
    __m256 d1 = _mm256_sub_ps(x, _mm256_loadu_ps(v1 + i));
    __m256 d2 = _mm256_sub_ps(x, _mm256_loadu_ps(v2 + i));
    __m256 d3 = _mm256_sub_ps(x, _mm256_loadu_ps(v3 + i));
    s0 = _mm256_fmadd_ps(d0, d0, s0);
    s1 = _mm256_fmadd_ps(d1, d1, s1);
    s2 = _mm256_fmadd_ps(d2, d2, s2);
    s3 = _mm256_fmadd_ps(d3, d3, s3);
  }
  hsum4(s0, s1, s2, s3, out);
  tail_l2sq_x4(q, v, i, n, out);
}

// 16 codes widened to 16-bit lanes, minus kOffset.
template <int kOffset>
inline __m256i widen_codes(const uint8_t* c) {
  __m256i w = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
  if constexpr (kOffset != 0) w = _mm256_sub_epi16(w, _mm256_set1_epi16(kOffset));
  return w;
}

inline __m256i load_query(const int16_t* x) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)); }
inline __m256i load_query(const int8_t* q) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
}

// 32 codes per step: 16-bit products summed pairwise into 32-bit lanes
// (madd), two accumulators; then 16 at a time; then the tail.
template <int kOffset, class Q>
int32_t codes(const uint8_t* c, const Q* x, size_t n) {
  __m256i s0 = _mm256_setzero_si256(), s1 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(widen_codes<kOffset>(c + i), load_query(x + i)));
    s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(widen_codes<kOffset>(c + i + 16), load_query(x + i + 16)));
  }
  for (; i + 16 <= n; i += 16) {
    s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(widen_codes<kOffset>(c + i), load_query(x + i)));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(hsum_i32(_mm256_add_epi32(s0, s1))) + tail_codes<kOffset>(c, x, i, n));
}

int32_t centered_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes<128>(c, x, n); }
int32_t plain_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes<0>(c, x, n); }
int32_t dot_i8(const uint8_t* c, const int8_t* q, size_t n) { return codes<128>(c, q, n); }

// Differences fit 16 bits (|d| <= 511); madd squares and pairs them.
int32_t neg_l2_i16(const uint8_t* c, const int16_t* x, size_t n) {
  __m256i s0 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256i d = _mm256_sub_epi16(widen_codes<0>(c + i), load_query(x + i));
    s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(d, d));
  }
  return static_cast<int32_t>(0u - (static_cast<uint32_t>(hsum_i32(s0)) + tail_sq_diff(c, x, i, n)));
}

// Lane sums of four accumulators: out[j] = sum of the lanes of sj (mod 2^32).
inline void hsum4_i32(__m256i s0, __m256i s1, __m256i s2, __m256i s3, int32_t* out) {
  __m256i h = _mm256_hadd_epi32(_mm256_hadd_epi32(s0, s1), _mm256_hadd_epi32(s2, s3));
  __m128i sums = _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), sums);
}

// Four code rows against one query, 16 codes per step. The rows are summed
// uncentred and kOffset * Σ x, computed once for all four, is taken off at
// the end: the same value modulo 2^32 as centring every code.
template <int kOffset, class Q>
void codes_x4(const uint8_t* const* rows, const Q* x, size_t n, int32_t* out) {
  const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m256i s0 = _mm256_setzero_si256(), s1 = _mm256_setzero_si256(), s2 = _mm256_setzero_si256(),
          s3 = _mm256_setzero_si256(), sx = _mm256_setzero_si256();
  const __m256i offset = _mm256_set1_epi16(kOffset);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i q = load_query(x + i);
    s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(widen_codes<0>(r0 + i), q));
    s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(widen_codes<0>(r1 + i), q));
    s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(widen_codes<0>(r2 + i), q));
    s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(widen_codes<0>(r3 + i), q));
    if constexpr (kOffset != 0) sx = _mm256_add_epi32(sx, _mm256_madd_epi16(offset, q));
  }
  hsum4_i32(s0, s1, s2, s3, out);
  const uint32_t off = static_cast<uint32_t>(hsum_i32(sx));
  for (int j = 0; j < 4; ++j)
    out[j] = static_cast<int32_t>(static_cast<uint32_t>(out[j]) - off + tail_codes<kOffset>(rows[j], x, i, n));
}

void centered_i16_x4(const uint8_t* const* rows, const int16_t* x, size_t n, int32_t* out) {
  codes_x4<128>(rows, x, n, out);
}
void dot_i8_x4(const uint8_t* const* rows, const int8_t* q, size_t n, int32_t* out) { codes_x4<128>(rows, q, n, out); }

void neg_l2_i16_x4(const uint8_t* const* rows, const int16_t* x, size_t n, int32_t* out) {
  const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m256i s0 = _mm256_setzero_si256(), s1 = _mm256_setzero_si256(), s2 = _mm256_setzero_si256(),
          s3 = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i q = load_query(x + i);
    __m256i d0 = _mm256_sub_epi16(widen_codes<0>(r0 + i), q), d1 = _mm256_sub_epi16(widen_codes<0>(r1 + i), q);
    __m256i d2 = _mm256_sub_epi16(widen_codes<0>(r2 + i), q), d3 = _mm256_sub_epi16(widen_codes<0>(r3 + i), q);
    s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(d0, d0));
    s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(d1, d1));
    s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(d2, d2));
    s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(d3, d3));
  }
  hsum4_i32(s0, s1, s2, s3, out);
  for (int j = 0; j < 4; ++j)
    out[j] = static_cast<int32_t>(0u - (static_cast<uint32_t>(out[j]) + tail_sq_diff(rows[j], x, i, n)));
}

const KernelTable kAvx2Fma = {"avx2_fma",   dot,        l2sq,   dot_x4,          l2sq_x4,       centered_i16,
                              plain_i16,    neg_l2_i16, dot_i8, centered_i16_x4, neg_l2_i16_x4, dot_i8_x4};

}  // namespace

const KernelTable& avx2_fma() { return kAvx2Fma; }

}  // namespace ulmora::kernels

#else  // not x86: the dispatcher never picks this table

namespace ulmora::kernels {
const KernelTable& avx2_fma() { return portable(); }
}  // namespace ulmora::kernels

#endif
