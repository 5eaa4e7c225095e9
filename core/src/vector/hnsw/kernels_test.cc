#include "vector/hnsw/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ulmora::hnsw::kernels {
namespace {

struct Variant {
  const char* name;
  const KernelTable& (*table)();
  bool (*available)();
};

bool always() { return true; }

class KernelVariant : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
  }
  const KernelTable& k() const { return GetParam().table(); }
};

// Float sums may differ from the reference in summation order only.
double tolerance(const std::vector<float>& a, const std::vector<float>& b, size_t n, bool squared_diff) {
  double mag = 0;
  for (size_t i = 0; i < n; ++i) {
    double t = squared_diff ? (double(a[i]) - b[i]) * (double(a[i]) - b[i]) : std::fabs(double(a[i]) * b[i]);
    mag += t;
  }
  return 1e-5 * mag + 1e-6;
}

std::vector<float> random_floats(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

TEST_P(KernelVariant, FloatKernelsMatchReferenceForEveryLength) {
  std::mt19937 rng(11);
  for (size_t n = 0; n <= 300; ++n) {
    auto a = random_floats(rng, n), b = random_floats(rng, n);
    EXPECT_NEAR(k().dot(a.data(), b.data(), n), reference_dot(a.data(), b.data(), n), tolerance(a, b, n, false))
        << "n=" << n;
    EXPECT_NEAR(k().l2sq(a.data(), b.data(), n), reference_l2sq(a.data(), b.data(), n), tolerance(a, b, n, true))
        << "n=" << n;
  }
}

TEST_P(KernelVariant, BatchOfFourMatchesSingles) {
  std::mt19937 rng(12);
  for (size_t n = 0; n <= 300; n += (n < 40 ? 1 : 13)) {
    auto q = random_floats(rng, n);
    std::vector<std::vector<float>> v;
    for (int j = 0; j < 4; ++j) v.push_back(random_floats(rng, n));
    const float* ptrs[4] = {v[0].data(), v[1].data(), v[2].data(), v[3].data()};
    float dots[4], l2s[4];
    k().dot_x4(q.data(), ptrs, n, dots);
    k().l2sq_x4(q.data(), ptrs, n, l2s);
    for (int j = 0; j < 4; ++j) {
      EXPECT_NEAR(dots[j], reference_dot(q.data(), ptrs[j], n), tolerance(q, v[j], n, false)) << n << "/" << j;
      EXPECT_NEAR(l2s[j], reference_l2sq(q.data(), ptrs[j], n), tolerance(q, v[j], n, true)) << n << "/" << j;
    }
  }
}

TEST_P(KernelVariant, CodeScoresAreExact) {
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> byte(0, 255), code16(-256, 255), sbyte(-128, 127);
  for (size_t n = 0; n <= 300; ++n) {
    std::vector<uint8_t> c(n);
    std::vector<int16_t> x(n);
    std::vector<int8_t> q(n);
    for (size_t i = 0; i < n; ++i) {
      c[i] = static_cast<uint8_t>(byte(rng));
      x[i] = static_cast<int16_t>(code16(rng));
      q[i] = static_cast<int8_t>(sbyte(rng));
    }
    ASSERT_EQ(k().sq8_centered_i16(c.data(), x.data(), n), reference_sq8_centered_i16(c.data(), x.data(), n)) << n;
    ASSERT_EQ(k().sq8_plain_i16(c.data(), x.data(), n), reference_sq8_plain_i16(c.data(), x.data(), n)) << n;
    ASSERT_EQ(k().sq8_neg_l2_i16(c.data(), x.data(), n), reference_sq8_neg_l2_i16(c.data(), x.data(), n)) << n;
    ASSERT_EQ(k().sq8_dot_i8(c.data(), q.data(), n), reference_sq8_dot_i8(c.data(), q.data(), n)) << n;
  }
}

TEST(KernelReference, EuclideanCodeScoreIsNegatedSquaredCodeDistance) {
  const uint8_t c[3] = {0, 255, 10};
  const int16_t x[3] = {255, 0, 7};
  EXPECT_EQ(reference_sq8_neg_l2_i16(c, x, 3), -(255 * 255 * 2 + 9));
  EXPECT_EQ(reference_sq8_neg_l2_i16(c, x, 0), 0);
}

TEST_P(KernelVariant, CodeScoreExtremes) {
  // Largest magnitudes: codes 0 and 255 against the ends of the query ranges.
  const size_t n = 1000;
  std::vector<uint8_t> lo(n, 0), hi(n, 255);
  std::vector<int16_t> xmin(n, -256), xmax(n, 255);
  std::vector<int8_t> qmin(n, -128), qmax(n, 127);
  EXPECT_EQ(k().sq8_centered_i16(lo.data(), xmin.data(), n), 128 * 256 * int32_t(n));
  EXPECT_EQ(k().sq8_centered_i16(hi.data(), xmax.data(), n), 127 * 255 * int32_t(n));
  EXPECT_EQ(k().sq8_plain_i16(hi.data(), xmin.data(), n), -255 * 256 * int32_t(n));
  EXPECT_EQ(k().sq8_dot_i8(lo.data(), qmin.data(), n), 128 * 128 * int32_t(n));
  EXPECT_EQ(k().sq8_dot_i8(lo.data(), qmax.data(), n), -128 * 127 * int32_t(n));
}

TEST_P(KernelVariant, NeverReadsPastLength) {
  // The inputs end exactly at n; ASan flags any over-read.
  std::mt19937 rng(14);
  for (size_t n : {1u, 7u, 9u, 31u, 33u, 47u}) {
    auto a = std::make_unique<float[]>(n), b = std::make_unique<float[]>(n);
    auto c = std::make_unique<uint8_t[]>(n);
    auto x = std::make_unique<int16_t[]>(n);
    auto q = std::make_unique<int8_t[]>(n);
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = 1.0f, c[i] = 129, x[i] = 2, q[i] = 3;
    EXPECT_EQ(k().dot(a.get(), b.get(), n), float(n));
    EXPECT_EQ(k().l2sq(a.get(), b.get(), n), 0.0f);
    const float* v[4] = {b.get(), b.get(), b.get(), b.get()};
    float out[4];
    k().dot_x4(a.get(), v, n, out);
    EXPECT_EQ(out[3], float(n));
    EXPECT_EQ(k().sq8_centered_i16(c.get(), x.get(), n), 2 * int32_t(n));
    EXPECT_EQ(k().sq8_plain_i16(c.get(), x.get(), n), 258 * int32_t(n));
    EXPECT_EQ(k().sq8_dot_i8(c.get(), q.get(), n), 3 * int32_t(n));
  }
}

INSTANTIATE_TEST_SUITE_P(All, KernelVariant,
                         ::testing::Values(Variant{"portable", portable, always}, Variant{"avx", avx, cpu_has_avx},
                                           Variant{"avx2_fma", avx2_fma, cpu_has_avx2_fma}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KernelDispatch, PicksTheWidestAvailableVariant) {
  std::string want = cpu_has_avx2_fma() ? "avx2_fma" : cpu_has_avx() ? "avx" : "portable";
  EXPECT_EQ(active().name, want);
  float a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
  EXPECT_EQ(dot(a, b, 3), 32.0f);
  EXPECT_EQ(l2sq(a, b, 3), 27.0f);
}

}  // namespace
}  // namespace ulmora::hnsw::kernels
