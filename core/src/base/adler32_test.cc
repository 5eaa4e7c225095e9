#include "base/adler32.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

// Byte-at-a-time definition, reduced after every byte.
uint32_t Reference(const std::vector<uint8_t>& v) {
  uint32_t a = 1, b = 0;
  for (uint8_t x : v) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

uint32_t Of(const std::string& s) { return adler32(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(Adler32, KnownValues) {
  EXPECT_EQ(Of(""), 1u);
  EXPECT_EQ(Of("a"), 0x00620062u);
  EXPECT_EQ(Of("abc"), 0x024D0127u);
  EXPECT_EQ(Of("Wikipedia"), 0x11E60398u);
  EXPECT_EQ(Of("message digest"), 0x29750586u);
  EXPECT_EQ(Of("abcdefghijklmnopqrstuvwxyz"), 0x90860B20u);
}

// All-0xFF input drives both sums to their largest values, so the reduction
// interval is exercised right at and around its limit.
TEST(Adler32, ReductionBoundaryWithMaximalBytes) {
  EXPECT_EQ(adler32(std::vector<uint8_t>(5552, 0xFF).data(), 5552), 0xF18F9B8Cu);
  EXPECT_EQ(adler32(std::vector<uint8_t>(5553, 0xFF).data(), 5553), 0x8E299C8Bu);
  EXPECT_EQ(adler32(std::vector<uint8_t>(100000, 0xFF).data(), 100000), 0x149A302Cu);
  for (size_t n : {5535, 5536, 5551, 5552, 5553, 5568, 11104, 11105, 16661}) {
    std::vector<uint8_t> v(n, 0xFF);
    EXPECT_EQ(adler32(v.data(), n), Reference(v)) << n;
  }
}

TEST(Adler32, RandomLengthsAndSplitsMatchReference) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 200; ++iter) {
    std::vector<uint8_t> v(rng() % 20000);
    for (auto& x : v) x = static_cast<uint8_t>(rng());
    const uint32_t want = Reference(v);
    ASSERT_EQ(adler32(v.data(), v.size()), want) << v.size();
    // Continuing a running checksum over arbitrary pieces gives the same value.
    uint32_t running = 1;
    size_t at = 0;
    while (at < v.size()) {
      const size_t piece = std::min<size_t>(v.size() - at, rng() % 7000);
      running = adler32_update(running, v.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(running, want);
  }
}

TEST(Adler32, UnalignedInput) {
  std::vector<uint8_t> v(300);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 37);
  for (size_t off = 0; off < 17; ++off) {
    std::vector<uint8_t> tail(v.begin() + static_cast<std::ptrdiff_t>(off), v.end());
    EXPECT_EQ(adler32(v.data() + off, v.size() - off), Reference(tail)) << off;
  }
}

}  // namespace
}  // namespace ulmora
