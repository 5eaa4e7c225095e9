#include "vector/kernels/rounding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace ulmora::kernels {
namespace {

uint8_t library_code(float x) { return std::isnan(x) ? 0 : static_cast<uint8_t>(std::round(std::clamp(x, 0.0f, 255.0f))); }

// Rows of every length up to 70 (vector bodies and tails) with elements on,
// just beside and between the half steps of both code mappings, far out of
// range, infinite and NaN.
std::vector<float> awkward_row(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> wide(-3.0f, 3.0f);
  std::vector<float> v(n);
  for (size_t j = 0; j < n; ++j) {
    const float half = (static_cast<float>(rng() % 300) - 20.0f + 0.5f - 128.0f) / 127.5f;
    switch (rng() % 7) {
      case 0: v[j] = half; break;
      case 1: v[j] = std::nextafter(half, 10.0f); break;
      case 2: v[j] = std::nextafter(half, -10.0f); break;
      case 3: v[j] = j % 2 ? std::numeric_limits<float>::quiet_NaN() : 1e30f * (rng() % 2 ? 1 : -1); break;
      case 4: v[j] = std::numeric_limits<float>::infinity() * (rng() % 2 ? 1 : -1); break;
      default: v[j] = wide(rng);
    }
  }
  return v;
}

TEST(Rounding, RowLoopsMatchLibraryRoundingInEveryBuild) {
  for (bool wide : {false, true}) {
    const RowLoops* loops = row_loops(wide);
    if (!loops) continue;  // no AVX2 here
    std::mt19937 rng(41);
    for (size_t n = 0; n <= 70; ++n) {
      const std::vector<float> v = awkward_row(rng, n);
      std::vector<float> lo(n), step(n);
      for (size_t j = 0; j < n; ++j) lo[j] = -1.0f - static_cast<float>(j % 3), step[j] = (j % 5 + 1) / 255.0f;
      std::vector<uint8_t> cos(n + 1, 99), scaled(n + 1, 99);
      loops->cosine(v.data(), n, cos.data());
      loops->scaled(v.data(), lo.data(), step.data(), n, scaled.data());
      for (size_t j = 0; j < n; ++j) {
        ASSERT_EQ(cos[j], library_code(v[j] * 127.5f + 128.0f)) << wide << " n=" << n << " j=" << j << " v=" << v[j];
        ASSERT_EQ(scaled[j], library_code((v[j] - lo[j]) / step[j])) << wide << " n=" << n << " j=" << j;
      }
      EXPECT_EQ(cos[n], 99);  // nothing past the row
      EXPECT_EQ(scaled[n], 99);

      std::vector<float> mn(n, std::numeric_limits<float>::max()), mx(n, -std::numeric_limits<float>::max());
      std::vector<float> want_mn = mn, want_mx = mx;
      loops->widen(v.data(), n, mn.data(), mx.data());
      for (size_t j = 0; j < n; ++j) {
        if (std::isnan(v[j])) continue;
        want_mn[j] = std::min(want_mn[j], v[j]);
        want_mx[j] = std::max(want_mx[j], v[j]);
      }
      ASSERT_EQ(mn, want_mn) << wide << " n=" << n;
      ASSERT_EQ(mx, want_mx) << wide << " n=" << n;
    }
  }
}

}  // namespace
}  // namespace ulmora::kernels
