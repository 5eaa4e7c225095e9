#include "vector/kernels/kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/test_child.h"

namespace ulmora::kernels {
namespace {

using testing_child::run_child;

// Every instruction-set table is checked against the scalar reference
// (kernels_scalar.cc). The portable table is that reference itself, so it
// is not a case here.
struct Variant {
  const char* name;
  const KernelTable& (*table)();
  bool (*available)();
};

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

// The wide table's float kernels must give the AVX2 table's bits: stored
// graphs, ties and orders would otherwise depend on the CPU.
TEST(KernelTables, WideFloatKernelsEqualAvx2BitForBit) {
  if (!cpu_has_avx512_vnni()) GTEST_SKIP() << "CPU lacks AVX-512 VNNI";
  std::mt19937 rng(13);
  for (size_t n = 0; n <= 300; ++n) {
    for (float scale : {1.0f, 1e-3f, 3e4f}) {
      auto a = random_floats(rng, n), b = random_floats(rng, n);
      for (float& x : a) x *= scale;
      ASSERT_EQ(std::bit_cast<uint32_t>(avx512_vnni().l2sq(a.data(), b.data(), n)),
                std::bit_cast<uint32_t>(avx2_fma().l2sq(a.data(), b.data(), n))) << "n=" << n;
      ASSERT_EQ(std::bit_cast<uint32_t>(avx512_vnni().dot(a.data(), b.data(), n)),
                std::bit_cast<uint32_t>(avx2_fma().dot(a.data(), b.data(), n))) << "n=" << n;
    }
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

// Code rows and query codes of one length: random, or drawn from the ends
// of their ranges only (the largest products and sums).
struct CodeCase {
  std::vector<std::vector<uint8_t>> rows;  // four rows
  std::vector<int16_t> x;                  // in [-256, 255]
  std::vector<int8_t> q;
};

CodeCase make_codes(std::mt19937& rng, size_t n, bool extremes) {
  std::uniform_int_distribution<int> byte(0, 255), code16(-256, 255), sbyte(-128, 127), coin(0, 1);
  CodeCase c;
  c.rows.assign(4, std::vector<uint8_t>(n));
  c.x.resize(n);
  c.q.resize(n);
  for (size_t i = 0; i < n; ++i) {
    for (auto& row : c.rows) row[i] = static_cast<uint8_t>(extremes ? (coin(rng) ? 255 : 0) : byte(rng));
    c.x[i] = static_cast<int16_t>(extremes ? (coin(rng) ? 255 : -256) : code16(rng));
    c.q[i] = static_cast<int8_t>(extremes ? (coin(rng) ? 127 : -128) : sbyte(rng));
  }
  return c;
}

// Every code kernel, single and four-row, against the reference.
void expect_codes_exact(const KernelTable& k, const CodeCase& c, size_t n) {
  const uint8_t* rows[4] = {c.rows[0].data(), c.rows[1].data(), c.rows[2].data(), c.rows[3].data()};
  int32_t centered[4], neg_l2[4], dot8[4];
  k.sq8_centered_i16_x4(rows, c.x.data(), n, centered);
  k.sq8_neg_l2_i16_x4(rows, c.x.data(), n, neg_l2);
  k.sq8_dot_i8_x4(rows, c.q.data(), n, dot8);
  for (int j = 0; j < 4; ++j) {
    const int32_t want_centered = reference_sq8_centered_i16(rows[j], c.x.data(), n);
    const int32_t want_neg_l2 = reference_sq8_neg_l2_i16(rows[j], c.x.data(), n);
    const int32_t want_dot8 = reference_sq8_dot_i8(rows[j], c.q.data(), n);
    ASSERT_EQ(k.sq8_centered_i16(rows[j], c.x.data(), n), want_centered) << "n=" << n;
    ASSERT_EQ(k.sq8_plain_i16(rows[j], c.x.data(), n), reference_sq8_plain_i16(rows[j], c.x.data(), n)) << n;
    ASSERT_EQ(k.sq8_neg_l2_i16(rows[j], c.x.data(), n), want_neg_l2) << "n=" << n;
    ASSERT_EQ(k.sq8_dot_i8(rows[j], c.q.data(), n), want_dot8) << "n=" << n;
    ASSERT_EQ(centered[j], want_centered) << "x4 n=" << n << " row " << j;
    ASSERT_EQ(neg_l2[j], want_neg_l2) << "x4 n=" << n << " row " << j;
    ASSERT_EQ(dot8[j], want_dot8) << "x4 n=" << n << " row " << j;
  }
}

TEST_P(KernelVariant, CodeScoresAreExactForEveryLength) {
  std::mt19937 rng(13);
  for (bool extremes : {false, true}) {
    for (size_t n = 0; n <= 300; ++n) {
      SCOPED_TRACE(extremes ? "extreme codes" : "random codes");
      expect_codes_exact(k(), make_codes(rng, n, extremes), n);
      if (HasFatalFailure()) return;
    }
  }
}

// Long rows of extreme codes push the sums past 32 bits: every variant must
// wrap exactly as the reference does.
TEST_P(KernelVariant, CodeScoresWrapLikeTheReference) {
  std::mt19937 rng(15);
  for (size_t n : {40000u, 140001u}) expect_codes_exact(k(), make_codes(rng, n, true), n);
  const size_t n = 140001;
  std::vector<uint8_t> lo(n, 0);
  std::vector<int8_t> qmin(n, -128);
  const uint8_t* rows[4] = {lo.data(), lo.data(), lo.data(), lo.data()};
  int32_t out[4];
  k().sq8_dot_i8_x4(rows, qmin.data(), n, out);
  const int32_t wrapped = static_cast<int32_t>(uint32_t{128 * 128} * uint32_t(n));
  EXPECT_EQ(out[2], wrapped);
  EXPECT_EQ(k().sq8_dot_i8(lo.data(), qmin.data(), n), wrapped);
}

// The Cosine route scores with the signed-byte form: for query codes that
// fit a signed byte it must equal the 16-bit centred score.
TEST_P(KernelVariant, SignedByteQueryEqualsCentredSixteenBitQuery) {
  std::mt19937 rng(16);
  for (size_t n : {1u, 15u, 64u, 100u, 128u, 257u}) {
    CodeCase c = make_codes(rng, n, false);
    for (size_t i = 0; i < n; ++i) c.x[i] = c.q[i];
    for (const auto& row : c.rows)
      EXPECT_EQ(k().sq8_dot_i8(row.data(), c.q.data(), n), k().sq8_centered_i16(row.data(), c.x.data(), n)) << n;
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
  for (size_t n : {1u, 7u, 9u, 31u, 33u, 47u, 63u, 65u, 130u}) {
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
    // Four rows each ending exactly at n.
    auto c1 = std::make_unique<uint8_t[]>(n), c2 = std::make_unique<uint8_t[]>(n), c3 = std::make_unique<uint8_t[]>(n);
    for (size_t i = 0; i < n; ++i) c1[i] = c2[i] = c3[i] = 129;
    const uint8_t* rows[4] = {c.get(), c1.get(), c2.get(), c3.get()};
    int32_t codes[4];
    k().sq8_centered_i16_x4(rows, x.get(), n, codes);
    EXPECT_EQ(codes[3], 2 * int32_t(n));
    k().sq8_neg_l2_i16_x4(rows, x.get(), n, codes);
    EXPECT_EQ(codes[3], -127 * 127 * int32_t(n));
    k().sq8_dot_i8_x4(rows, q.get(), n, codes);
    EXPECT_EQ(codes[3], 3 * int32_t(n));
  }
}

INSTANTIATE_TEST_SUITE_P(All, KernelVariant,
                         ::testing::Values(Variant{"avx", avx, cpu_has_avx},
                                           Variant{"avx2_fma", avx2_fma, cpu_has_avx2_fma},
                                           Variant{"avx512_vnni", avx512_vnni, cpu_has_avx512_vnni}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KernelDispatch, PicksTheWidestAvailableVariantUnlessTold) {
  // In a child started with ULMORA_KERNELS set, KERNELS_WANT names the
  // table it must pick.
  const char* want_env = std::getenv("KERNELS_WANT");
  std::string want = want_env ? want_env
                     : cpu_has_avx512_vnni() ? "avx512_vnni"
                     : cpu_has_avx2_fma()    ? "avx2_fma"
                     : cpu_has_avx()         ? "avx"
                                             : "portable";
  EXPECT_EQ(active().name, want);
  float a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
  EXPECT_EQ(dot(a, b, 3), 32.0f);
  EXPECT_EQ(l2sq(a, b, 3), 27.0f);
}

TEST(KernelDispatch, EnvironmentPicksANarrowerTable) {
  if (std::getenv("KERNELS_WANT")) GTEST_SKIP() << "child run";
  const std::string widest = cpu_has_avx512_vnni() ? "avx512_vnni"
                             : cpu_has_avx2_fma()  ? "avx2_fma"
                             : cpu_has_avx()       ? "avx"
                                                   : "portable";
  const std::string filter = "KernelDispatch.PicksTheWidestAvailableVariantUnlessTold";
  struct Case {
    std::string value, want;
  } cases[] = {{"portable", "portable"}, {"bogus", widest}, {"", widest}};
  for (const Case& c : cases)
    EXPECT_EQ(run_child(filter, {"ULMORA_KERNELS=" + c.value, "KERNELS_WANT=" + c.want}), 0) << c.value;
  if (cpu_has_avx2_fma()) {
    EXPECT_EQ(run_child(filter, {"ULMORA_KERNELS=avx2_fma", "KERNELS_WANT=avx2_fma"}), 0);
  }
}

}  // namespace
}  // namespace ulmora::kernels
