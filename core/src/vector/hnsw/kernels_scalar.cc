// Reference kernels and the portable variant (no instruction-set
// requirements beyond the baseline).
#include "vector/hnsw/kernels.h"

namespace ulmora::hnsw::kernels {

float reference_dot(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float reference_l2sq(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

// Integer sums wrap like the wide kernels do; unsigned arithmetic keeps the
// wrap defined.
int32_t reference_sq8_centered_i16(const uint8_t* codes, const int16_t* x, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<uint32_t>((int32_t{codes[i]} - 128) * int32_t{x[i]});
  return static_cast<int32_t>(sum);
}

int32_t reference_sq8_plain_i16(const uint8_t* codes, const int16_t* x, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<uint32_t>(int32_t{codes[i]} * int32_t{x[i]});
  return static_cast<int32_t>(sum);
}

int32_t reference_sq8_neg_l2_i16(const uint8_t* codes, const int16_t* x, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    int32_t d = int32_t{codes[i]} - int32_t{x[i]};
    sum += static_cast<uint32_t>(d * d);
  }
  return static_cast<int32_t>(0u - sum);
}

int32_t reference_sq8_dot_i8(const uint8_t* codes, const int8_t* q, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<uint32_t>((int32_t{codes[i]} - 128) * int32_t{q[i]});
  return static_cast<int32_t>(sum);
}

namespace {

// Unrolled by 4 into one accumulator, then element by element.
float portable_dot(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    sum += a[i] * b[i];
    sum += a[i + 1] * b[i + 1];
    sum += a[i + 2] * b[i + 2];
    sum += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float portable_l2sq(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    float d0 = a[i] - b[i], d1 = a[i + 1] - b[i + 1], d2 = a[i + 2] - b[i + 2], d3 = a[i + 3] - b[i + 3];
    sum += d0 * d0;
    sum += d1 * d1;
    sum += d2 * d2;
    sum += d3 * d3;
  }
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

void portable_dot_x4(const float* q, const float* const* v, size_t n, float* out) {
  for (int j = 0; j < 4; ++j) out[j] = portable_dot(q, v[j], n);
}

void portable_l2sq_x4(const float* q, const float* const* v, size_t n, float* out) {
  for (int j = 0; j < 4; ++j) out[j] = portable_l2sq(q, v[j], n);
}

// Four codes per step, then the rest one by one.
template <int kOffset, class Q>
int32_t portable_codes(const uint8_t* c, const Q* x, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    int32_t s = (int32_t{c[i]} - kOffset) * int32_t{x[i]} + (int32_t{c[i + 1]} - kOffset) * int32_t{x[i + 1]} +
                (int32_t{c[i + 2]} - kOffset) * int32_t{x[i + 2]} + (int32_t{c[i + 3]} - kOffset) * int32_t{x[i + 3]};
    sum += static_cast<uint32_t>(s);
  }
  for (; i < n; ++i) sum += static_cast<uint32_t>((int32_t{c[i]} - kOffset) * int32_t{x[i]});
  return static_cast<int32_t>(sum);
}

int32_t portable_centered_i16(const uint8_t* c, const int16_t* x, size_t n) { return portable_codes<128>(c, x, n); }
int32_t portable_plain_i16(const uint8_t* c, const int16_t* x, size_t n) { return portable_codes<0>(c, x, n); }
int32_t portable_dot_i8(const uint8_t* c, const int8_t* q, size_t n) { return portable_codes<128>(c, q, n); }

int32_t portable_neg_l2_i16(const uint8_t* c, const int16_t* x, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    int32_t d0 = int32_t{c[i]} - x[i], d1 = int32_t{c[i + 1]} - x[i + 1];
    int32_t d2 = int32_t{c[i + 2]} - x[i + 2], d3 = int32_t{c[i + 3]} - x[i + 3];
    sum += static_cast<uint32_t>(d0 * d0 + d1 * d1 + d2 * d2 + d3 * d3);
  }
  for (; i < n; ++i) {
    int32_t d = int32_t{c[i]} - x[i];
    sum += static_cast<uint32_t>(d * d);
  }
  return static_cast<int32_t>(0u - sum);
}

const KernelTable kPortable = {
    "portable",         portable_dot,          portable_l2sq,      portable_dot_x4, portable_l2sq_x4,
    portable_centered_i16, portable_plain_i16, portable_neg_l2_i16, portable_dot_i8,
};

}  // namespace

const KernelTable& portable() { return kPortable; }

}  // namespace ulmora::hnsw::kernels
