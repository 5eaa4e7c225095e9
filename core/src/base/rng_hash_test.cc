#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/hash.h"
#include "base/rng.h"

namespace ulmora {
namespace {

TEST(SipHash13, ReferenceValuesWithZeroKey) {
  const uint8_t a[] = {'a'};
  EXPECT_EQ(siphash13(a, 1, 0, 0), 0x407448d2b89b1813ull);
  uint8_t seq[15];
  for (uint8_t i = 0; i < 15; ++i) seq[i] = i;
  EXPECT_EQ(siphash13(seq, 15, 0, 0), 0xf30eb725bb91c9eaull);
}

TEST(ThreadRandom, UniformRangesAndIndependentThreads) {
  double sum = 0;
  for (int i = 0; i < 20000; ++i) {
    double u = thread_random_unit();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    sum += u;
  }
  EXPECT_NEAR(sum / 20000, 0.5, 0.02);
  std::vector<int> counts(7, 0);
  for (int i = 0; i < 7000; ++i) ++counts[thread_random_below(7)];
  for (int c : counts) EXPECT_NEAR(c, 1000, 150);
  uint64_t a = 0, b = 0;
  std::thread([&] { a = thread_random_u64(); }).join();
  std::thread([&] { b = thread_random_u64(); }).join();
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace ulmora
