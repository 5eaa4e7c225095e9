#include "base/rng.h"

#include <array>
#include <cstring>
#include <random>

#include "base/clock.h"

namespace ulmora {
namespace {


class ChaCha8 {
 public:
  ChaCha8() {
    std::array<uint32_t, 10> seed{};
    try {
      std::random_device rd;
      for (auto& w : seed) w = rd();
    } catch (...) {
      // No entropy device: mix the clock and an address so threads differ.
      uint64_t t = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
      uint64_t a = reinterpret_cast<uintptr_t>(this);
      for (size_t i = 0; i < seed.size(); ++i) {
        t = (t ^ a) * 0x9E3779B97F4A7C15ull + i;
        seed[i] = static_cast<uint32_t>(t >> 32);
      }
    }
    state_[0] = 0x61707865u;
    state_[1] = 0x3320646eu;
    state_[2] = 0x79622d32u;
    state_[3] = 0x6b206574u;
    for (int i = 0; i < 8; ++i) state_[4 + i] = seed[i];
    state_[12] = 0;
    state_[13] = 0;
    state_[14] = seed[8];
    state_[15] = seed[9];
  }

  uint64_t next_u64() {
    if (pos_ + 2 > 16) refill();
    uint64_t lo = out_[pos_], hi = out_[pos_ + 1];
    pos_ += 2;
    return (hi << 32) | lo;
  }

 private:
  static uint32_t rotl(uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }
  static void quarter(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
  }
  void refill() {
    uint32_t x[16];
    std::memcpy(x, state_, sizeof(x));
    for (int round = 0; round < 4; ++round) {  // 4 double rounds = 8 rounds
      quarter(x, 0, 4, 8, 12);
      quarter(x, 1, 5, 9, 13);
      quarter(x, 2, 6, 10, 14);
      quarter(x, 3, 7, 11, 15);
      quarter(x, 0, 5, 10, 15);
      quarter(x, 1, 6, 11, 12);
      quarter(x, 2, 7, 8, 13);
      quarter(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out_[i] = x[i] + state_[i];
    if (++state_[12] == 0) ++state_[13];  // 64-bit block counter
    pos_ = 0;
  }

  uint32_t state_[16];
  uint32_t out_[16] = {};
  unsigned pos_ = 16;
};

ChaCha8& thread_generator() {
  thread_local ChaCha8 gen;
  return gen;
}

}  // namespace

uint64_t thread_random_u64() { return thread_generator().next_u64(); }

double thread_random_unit() { return static_cast<double>(thread_random_u64() >> 11) * 0x1.0p-53; }

uint64_t thread_random_below(uint64_t bound) {
  // Lemire's multiply-shift with rejection of the biased low range.
  uint64_t x = thread_random_u64();
  __uint128_t m = static_cast<__uint128_t>(x) * bound;
  uint64_t low = static_cast<uint64_t>(m);
  if (low < bound) {
    uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      x = thread_random_u64();
      m = static_cast<__uint128_t>(x) * bound;
      low = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}


}  // namespace ulmora
