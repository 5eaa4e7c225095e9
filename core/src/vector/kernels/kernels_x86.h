// Pieces shared by the AVX and AVX2 kernel files: horizontal sums and the
// scalar tails past the last whole vector step. Everything here has
// internal linkage, so each kernel file compiles its own copy for its own
// instruction set and the linker can never hand the AVX file a copy built
// for AVX2.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace ulmora::kernels {
namespace {

inline float hsum(__m256 v) {
  __m128 lo = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  __m128 shuf = _mm_movehdup_ps(lo);
  __m128 sums = _mm_add_ps(lo, shuf);
  shuf = _mm_movehl_ps(shuf, sums);
  return _mm_cvtss_f32(_mm_add_ss(sums, shuf));
}

// Horizontal sums of four accumulators at once: out[j] = sum of lanes of sj.
inline void hsum4(__m256 s0, __m256 s1, __m256 s2, __m256 s3, float* out) {
  __m256 h = _mm256_hadd_ps(_mm256_hadd_ps(s0, s1), _mm256_hadd_ps(s2, s3));
  _mm_storeu_ps(out, _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1)));
}

inline int32_t hsum_i32(__m128i s) {
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// ---- Scalar tails from element i to n --------------------------------------

inline float tail_dot(const float* a, const float* b, size_t i, size_t n) {
  float tail = 0.0f;
  for (; i < n; ++i) tail += a[i] * b[i];
  return tail;
}

inline float tail_l2sq(const float* a, const float* b, size_t i, size_t n) {
  float tail = 0.0f;
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    tail += d * d;
  }
  return tail;
}

// Adds the tail of each of the four vectors onto out[0..3].
inline void tail_dot_x4(const float* q, const float* const* v, size_t i, size_t n, float* out) {
  for (; i < n; ++i) {
    out[0] += q[i] * v[0][i];
    out[1] += q[i] * v[1][i];
    out[2] += q[i] * v[2][i];
    out[3] += q[i] * v[3][i];
  }
}

inline void tail_l2sq_x4(const float* q, const float* const* v, size_t i, size_t n, float* out) {
  for (; i < n; ++i) {
    float d0 = q[i] - v[0][i], d1 = q[i] - v[1][i], d2 = q[i] - v[2][i], d3 = q[i] - v[3][i];
    out[0] += d0 * d0;
    out[1] += d1 * d1;
    out[2] += d2 * d2;
    out[3] += d3 * d3;
  }
}

// Integer tails wrap like the vector lanes (unsigned arithmetic).
template <int kOffset, class Q>
inline uint32_t tail_codes(const uint8_t* c, const Q* x, size_t i, size_t n) {
  uint32_t sum = 0;
  for (; i < n; ++i) sum += static_cast<uint32_t>((int32_t{c[i]} - kOffset) * int32_t{x[i]});
  return sum;
}

inline uint32_t tail_sq_diff(const uint8_t* c, const int16_t* x, size_t i, size_t n) {
  uint32_t sum = 0;
  for (; i < n; ++i) {
    int32_t d = int32_t{c[i]} - x[i];
    sum += static_cast<uint32_t>(d * d);
  }
  return sum;
}

}  // namespace
}  // namespace ulmora::kernels
