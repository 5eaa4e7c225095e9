// AVX kernels (256-bit floats, no fused multiply-add; integer code scores
// in 128-bit lanes). Compiled with -mavx; only runs after the dispatcher has
// seen AVX. Its shared pieces come from kernels_x86.h, whose copies stay
// private to this file.
#include "vector/kernels/kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include "vector/kernels/kernels_x86.h"

namespace ulmora::kernels {
namespace {

// One 8-float accumulator, 8 elements per step, the loop unrolled four
// times; then the tail one by one.
float dot(const float* a, const float* b, size_t n) {
  __m256 s = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8)));
    s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16)));
    s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24)));
  }
  for (; i + 8 <= n; i += 8) s = _mm256_add_ps(s, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  const float tail = tail_dot(a, b, i, n);
  return hsum(s) + tail;
}

inline __m256 sq_diff(const float* a, const float* b) {
  __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
  return _mm256_mul_ps(d, d);
}

float l2sq(const float* a, const float* b, size_t n) {
  __m256 s = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    s = _mm256_add_ps(s, sq_diff(a + i, b + i));
    s = _mm256_add_ps(s, sq_diff(a + i + 8, b + i + 8));
    s = _mm256_add_ps(s, sq_diff(a + i + 16, b + i + 16));
    s = _mm256_add_ps(s, sq_diff(a + i + 24, b + i + 24));
  }
  for (; i + 8 <= n; i += 8) s = _mm256_add_ps(s, sq_diff(a + i, b + i));
  const float tail = tail_l2sq(a, b, i, n);
  return hsum(s) + tail;
}

void dot_x4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 x = _mm256_loadu_ps(q + i);
    s0 = _mm256_add_ps(s0, _mm256_mul_ps(x, _mm256_loadu_ps(v0 + i)));
    s1 = _mm256_add_ps(s1, _mm256_mul_ps(x, _mm256_loadu_ps(v1 + i)));
    s2 = _mm256_add_ps(s2, _mm256_mul_ps(x, _mm256_loadu_ps(v2 + i)));
    s3 = _mm256_add_ps(s3, _mm256_mul_ps(x, _mm256_loadu_ps(v3 + i)));
  }
  hsum4(s0, s1, s2, s3, out);
  tail_dot_x4(q, v, i, n, out);
}

void l2sq_x4(const float* q, const float* const* v, size_t n, float* out) {
  const float *v0 = v[0], *v1 = v[1], *v2 = v[2], *v3 = v[3];
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    s0 = _mm256_add_ps(s0, sq_diff(q + i, v0 + i));
    s1 = _mm256_add_ps(s1, sq_diff(q + i, v1 + i));
    s2 = _mm256_add_ps(s2, sq_diff(q + i, v2 + i));
    s3 = _mm256_add_ps(s3, sq_diff(q + i, v3 + i));
  }
  hsum4(s0, s1, s2, s3, out);
  tail_l2sq_x4(q, v, i, n, out);
}

// 8 codes widened to 16-bit lanes, minus kOffset.
template <int kOffset>
inline __m128i widen_codes(const uint8_t* c) {
  __m128i w = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)));
  if constexpr (kOffset != 0) w = _mm_sub_epi16(w, _mm_set1_epi16(kOffset));
  return w;
}
inline __m128i load_query(const int16_t* x) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(x)); }
inline __m128i load_query(const int8_t* q) {
  return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)));
}

// 16 codes per step in two 8-code halves, then 8, then the tail.
template <int kOffset, class Q>
int32_t codes(const uint8_t* c, const Q* x, size_t n) {
  __m128i s0 = _mm_setzero_si128(), s1 = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 = _mm_add_epi32(s0, _mm_madd_epi16(widen_codes<kOffset>(c + i), load_query(x + i)));
    s1 = _mm_add_epi32(s1, _mm_madd_epi16(widen_codes<kOffset>(c + i + 8), load_query(x + i + 8)));
  }
  for (; i + 8 <= n; i += 8) s0 = _mm_add_epi32(s0, _mm_madd_epi16(widen_codes<kOffset>(c + i), load_query(x + i)));
  return static_cast<int32_t>(static_cast<uint32_t>(hsum_i32(_mm_add_epi32(s0, s1))) + tail_codes<kOffset>(c, x, i, n));
}

int32_t centered_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes<128>(c, x, n); }
int32_t plain_i16(const uint8_t* c, const int16_t* x, size_t n) { return codes<0>(c, x, n); }
int32_t dot_i8(const uint8_t* c, const int8_t* q, size_t n) { return codes<128>(c, q, n); }

int32_t neg_l2_i16(const uint8_t* c, const int16_t* x, size_t n) {
  __m128i s0 = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i d = _mm_sub_epi16(widen_codes<0>(c + i), load_query(x + i));
    s0 = _mm_add_epi32(s0, _mm_madd_epi16(d, d));
  }
  return static_cast<int32_t>(0u - (static_cast<uint32_t>(hsum_i32(s0)) + tail_sq_diff(c, x, i, n)));
}

// Four code rows one after the other (AVX-only CPUs are rare enough that a
// dedicated loop does not pay).
template <class Q, int32_t (*kOne)(const uint8_t*, const Q*, size_t)>
void codes_x4(const uint8_t* const* rows, const Q* x, size_t n, int32_t* out) {
  for (int j = 0; j < 4; ++j) out[j] = kOne(rows[j], x, n);
}

const KernelTable kAvx = {"avx",
                          dot,
                          l2sq,
                          dot_x4,
                          l2sq_x4,
                          centered_i16,
                          plain_i16,
                          neg_l2_i16,
                          dot_i8,
                          codes_x4<int16_t, centered_i16>,
                          codes_x4<int16_t, neg_l2_i16>,
                          codes_x4<int8_t, dot_i8>};

}  // namespace

const KernelTable& avx() { return kAvx; }

}  // namespace ulmora::kernels

#else  // not x86: the dispatcher never picks this table

namespace ulmora::kernels {
const KernelTable& avx() { return portable(); }
}  // namespace ulmora::kernels

#endif
