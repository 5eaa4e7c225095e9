// Rounding of floats to SQ8 codes: round(clamp(v, lo, hi)) with halves away
// from zero, and 0 for NaN. Written without branches or a library call so
// that loops over a whole row or query vectorise; the result equals
// std::round of the clamped value for every input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ulmora::kernels {

// lo and hi are integers within the int range; lo <= 0 <= hi.
inline float round_clamped(float v, float lo, float hi) {
  v = v == v ? v : 0.0f;  // NaN
  v = v < lo ? lo : v;
  v = v > hi ? hi : v;
  // |v| is small enough here for the int round trip and the fraction to be
  // exact; truncation then moves one step away from zero from each half.
  int t = static_cast<int>(v);
  const float frac = v - static_cast<float>(t);
  t += frac >= 0.5f;
  t -= frac <= -0.5f;
  return static_cast<float>(t);
}

// One element of the SQ8 route's query code (lo and hi within int16).
inline int16_t round_code(float v, float lo, float hi) { return static_cast<int16_t>(round_clamped(v, lo, hi)); }

// A stored element's code in [0, 255].
inline uint8_t to_code(float x) { return static_cast<uint8_t>(round_clamped(x, 0.0f, 255.0f)); }

// The loops over stored rows: the baseline build (wide = false), or the
// AVX2 build (wide = true; nullptr when the CPU lacks AVX2). The functions
// below use the widest one the CPU runs; both give the same codes.
struct RowLoops {
  void (*widen)(const float* v, size_t n, float* lo, float* hi);
  void (*cosine)(const float* v, size_t n, uint8_t* out);
  void (*scaled)(const float* v, const float* lo, const float* step, size_t n, uint8_t* out);
};
const RowLoops* row_loops(bool wide);

// Whole rows and queries, in rounding.cc (built so that these loops
// vectorise). Pointers must not overlap.
void widen_range(const float* v, size_t n, float* lo, float* hi);          // NaN elements are skipped
void cosine_codes(const float* v, size_t n, uint8_t* out);                  // v * 127.5 + 128
void scaled_codes(const float* v, const float* lo, const float* step, size_t n, uint8_t* out);  // (v - lo) / step
void cosine_query_code(const float* q, size_t n, int16_t* out);             // q * 127.5
void scaled_query_code(const float* q, const float* lo, const float* step, size_t n, int16_t* out);

}  // namespace ulmora::kernels
