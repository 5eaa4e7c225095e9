// Reference kernels (element by element, summation in index order), which
// are also the portable variant for CPUs without the wide instruction sets.
#include "vector/kernels/kernels.h"

namespace ulmora::kernels {

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

// The portable table is the reference itself; only the four-vector forms
// need spelling out.
template <float (*kOne)(const float*, const float*, size_t)>
void reference_x4(const float* q, const float* const* v, size_t n, float* out) {
  for (int j = 0; j < 4; ++j) out[j] = kOne(q, v[j], n);
}

template <class Q, int32_t (*kOne)(const uint8_t*, const Q*, size_t)>
void reference_codes_x4(const uint8_t* const* rows, const Q* x, size_t n, int32_t* out) {
  for (int j = 0; j < 4; ++j) out[j] = kOne(rows[j], x, n);
}

const KernelTable kPortable = {
    "portable",
    reference_dot,
    reference_l2sq,
    reference_x4<reference_dot>,
    reference_x4<reference_l2sq>,
    reference_sq8_centered_i16,
    reference_sq8_plain_i16,
    reference_sq8_neg_l2_i16,
    reference_sq8_dot_i8,
    reference_codes_x4<int16_t, reference_sq8_centered_i16>,
    reference_codes_x4<int16_t, reference_sq8_neg_l2_i16>,
    reference_codes_x4<int8_t, reference_sq8_dot_i8>,
};

}  // namespace

const KernelTable& portable() { return kPortable; }

}  // namespace ulmora::kernels
