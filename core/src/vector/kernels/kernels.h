// Vector kernels: float dot product and squared L2 distance, batched forms
// that score four vectors (or four code rows) against one query, and the
// integer SQ8 code scores. Four variants exist (AVX-512 VNNI, AVX2+FMA, AVX,
// portable); the CPU features are detected once per process and the chosen
// table is cached, so a call costs one load and an indirect jump. Hot loops
// can hoist `active()`. The VNNI table shares the AVX2+FMA float kernels, so
// float scores do not depend on which of the two is chosen.
//
// All kernels are pure functions over the first n elements; they never read
// past n and never allocate.
//
// Integer sums are 32-bit with two's-complement wrap-around on overflow, and
// every variant returns the reference's value bit for bit for any n (sums
// are taken modulo 2^32 in any order). The 16-bit query codes must lie in
// [-256, 255] (the SQ8 route's codes are in [-128, 127] for Cosine and
// [0, 255] for Euclidean); within that range the true sum fits 32 bits up
// to 32,768 dimensions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ulmora::kernels {

using DotFn = float (*)(const float* a, const float* b, size_t n);
// out[j] = f(q, v[j], n) for j = 0..3.
using Batch4Fn = void (*)(const float* q, const float* const* v, size_t n, float* out);
using CodeI16Fn = int32_t (*)(const uint8_t* codes, const int16_t* x, size_t n);
using CodeI8Fn = int32_t (*)(const uint8_t* codes, const int8_t* q, size_t n);
// out[j] = f(rows[j], x, n) for j = 0..3.
using CodeI16x4Fn = void (*)(const uint8_t* const* rows, const int16_t* x, size_t n, int32_t* out);
using CodeI8x4Fn = void (*)(const uint8_t* const* rows, const int8_t* q, size_t n, int32_t* out);

struct KernelTable {
  const char* name;  // "avx512_vnni", "avx2_fma", "avx", "portable"
  DotFn dot;
  DotFn l2sq;
  Batch4Fn dot_x4;
  Batch4Fn l2sq_x4;
  // Σ (codes[d] - 128) * x[d]: the Cosine code score.
  CodeI16Fn sq8_centered_i16;
  // Σ codes[d] * x[d]: the plain code dot product.
  CodeI16Fn sq8_plain_i16;
  // -Σ (codes[d] - x[d])^2: the Euclidean code score (higher is nearer).
  CodeI16Fn sq8_neg_l2_i16;
  // Σ (codes[d] - 128) * q[d] with a signed-byte query (quantize_query_i8).
  CodeI8Fn sq8_dot_i8;
  // The same scores for four code rows at once.
  CodeI16x4Fn sq8_centered_i16_x4;
  CodeI16x4Fn sq8_neg_l2_i16_x4;
  CodeI8x4Fn sq8_dot_i8_x4;
};

// The table chosen for this CPU (detected on first use, then cached).
// ULMORA_KERNELS=portable|avx|avx2_fma|avx512_vnni, read on first use,
// picks a narrower table instead (for side-by-side benchmarks and tests);
// a name the CPU cannot run, or any other value, leaves the choice alone.
const KernelTable& active();

// Individual variants, for tests and benchmarks. The wide ones may only be
// called when the CPU has the features (see the predicates below).
const KernelTable& portable();
const KernelTable& avx();
const KernelTable& avx2_fma();
const KernelTable& avx512_vnni();
bool cpu_has_avx();
bool cpu_has_avx2_fma();
bool cpu_has_avx512_vnni();  // also requires AVX2+FMA, AVX-512 F/BW/VL

// Plain element-by-element reference forms (summation in index order).
float reference_dot(const float* a, const float* b, size_t n);
float reference_l2sq(const float* a, const float* b, size_t n);
int32_t reference_sq8_centered_i16(const uint8_t* codes, const int16_t* x, size_t n);
int32_t reference_sq8_plain_i16(const uint8_t* codes, const int16_t* x, size_t n);
int32_t reference_sq8_neg_l2_i16(const uint8_t* codes, const int16_t* x, size_t n);
int32_t reference_sq8_dot_i8(const uint8_t* codes, const int8_t* q, size_t n);

// Dispatching shorthands.
inline float dot(const float* a, const float* b, size_t n) { return active().dot(a, b, n); }
inline float l2sq(const float* a, const float* b, size_t n) { return active().l2sq(a, b, n); }
inline int32_t sq8_dot_i32(const uint8_t* codes, const int8_t* q, size_t n) { return active().sq8_dot_i8(codes, q, n); }

}  // namespace ulmora::kernels
