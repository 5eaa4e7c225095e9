// SQ8 rounding over whole rows. This file is built with -fno-trapping-math:
// the code never looks at floating-point exception flags, and without the
// flag the compiler keeps these loops scalar with a branch per element
// (float compares and conversions may raise flags). Results are the same.
#include "vector/hnsw/rounding.h"

namespace ulmora::hnsw {

void widen_range(const float* __restrict v, size_t n, float* __restrict lo, float* __restrict hi) {
  // A NaN compares false both ways, so it leaves both bounds as they were.
  for (size_t j = 0; j < n; ++j) {
    lo[j] = v[j] < lo[j] ? v[j] : lo[j];
    hi[j] = hi[j] < v[j] ? v[j] : hi[j];
  }
}

void cosine_codes(const float* __restrict v, size_t n, uint8_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = to_code(v[j] * 127.5f + 128.0f);
}

void scaled_codes(const float* __restrict v, const float* __restrict lo, const float* __restrict step, size_t n,
                  uint8_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = to_code((v[j] - lo[j]) / step[j]);
}

void cosine_query_code(const float* __restrict q, size_t n, int16_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = round_code(q[j] * 127.5f, -128.0f, 127.0f);
}

void scaled_query_code(const float* __restrict q, const float* __restrict lo, const float* __restrict step, size_t n,
                       int16_t* __restrict out) {
  for (size_t j = 0; j < n; ++j) out[j] = round_code((q[j] - lo[j]) / step[j], 0.0f, 255.0f);
}

}  // namespace ulmora::hnsw
