// SQ8 rounding over whole rows. This file is built with -fno-trapping-math:
// the code never looks at floating-point exception flags, and without the
// flag the compiler keeps these loops scalar with a branch per element
// (float compares and conversions may raise flags). Results are the same.
//
// The loops over stored rows (run for every node when an index is
// quantised) also come in an AVX2 build, chosen once at run time. It has no
// FMA, so v * a + b is still rounded twice and the codes are those of the
// baseline build.
#include "vector/kernels/rounding.h"

namespace ulmora::kernels {
namespace {

const RowLoops& active_loops() {
  static const RowLoops& loops = row_loops(true) ? *row_loops(true) : *row_loops(false);
  return loops;
}

#define ULMORA_ROW_LOOPS(ATTR, SUFFIX)                                                                          \
  ATTR void widen_range_##SUFFIX(const float* __restrict v, size_t n, float* __restrict lo,                     \
                                 float* __restrict hi) {                                                        \
    /* A NaN compares false both ways, so it leaves both bounds as they were. */                               \
    for (size_t j = 0; j < n; ++j) {                                                                            \
      lo[j] = v[j] < lo[j] ? v[j] : lo[j];                                                                      \
      hi[j] = hi[j] < v[j] ? v[j] : hi[j];                                                                      \
    }                                                                                                           \
  }                                                                                                             \
  ATTR void cosine_codes_##SUFFIX(const float* __restrict v, size_t n, uint8_t* __restrict out) {               \
    for (size_t j = 0; j < n; ++j) out[j] = to_code(v[j] * 127.5f + 128.0f);                                    \
  }                                                                                                             \
  ATTR void scaled_codes_##SUFFIX(const float* __restrict v, const float* __restrict lo,                        \
                                  const float* __restrict step, size_t n, uint8_t* __restrict out) {            \
    for (size_t j = 0; j < n; ++j) out[j] = to_code((v[j] - lo[j]) / step[j]);                                  \
  }

ULMORA_ROW_LOOPS(, base)
#if defined(__x86_64__) && defined(__GNUC__)
ULMORA_ROW_LOOPS(__attribute__((target("avx2"))), avx2)
bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}
#endif
#undef ULMORA_ROW_LOOPS

constexpr RowLoops kBase{widen_range_base, cosine_codes_base, scaled_codes_base};

}  // namespace

const RowLoops* row_loops(bool wide) {
#if defined(__x86_64__) && defined(__GNUC__)
  static constexpr RowLoops kWide{widen_range_avx2, cosine_codes_avx2, scaled_codes_avx2};
  if (wide) return has_avx2() ? &kWide : nullptr;
#else
  if (wide) return nullptr;
#endif
  return &kBase;
}

void widen_range(const float* v, size_t n, float* lo, float* hi) { active_loops().widen(v, n, lo, hi); }

void cosine_codes(const float* v, size_t n, uint8_t* out) { active_loops().cosine(v, n, out); }

void scaled_codes(const float* v, const float* lo, const float* step, size_t n, uint8_t* out) {
  active_loops().scaled(v, lo, step, n, out);
}

void cosine_query_code(const float* __restrict q, size_t n, int16_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = round_code(q[j] * 127.5f, -128.0f, 127.0f);
}

void scaled_query_code(const float* __restrict q, const float* __restrict lo, const float* __restrict step, size_t n,
                       int16_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = round_code((q[j] - lo[j]) / step[j], 0.0f, 255.0f);
}

}  // namespace ulmora::kernels
