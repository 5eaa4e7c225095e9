// Monotonic time for durations reported in log lines and trace events.
#pragma once

#include <chrono>
#include <cstdint>

namespace ulmora {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

inline Instant now() { return Clock::now(); }

// Whole milliseconds from `start` to `end`, truncated; 0 if the clock went back.
inline uint64_t whole_ms(Instant start, Instant end) {
  if (end < start) return 0;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count());
}

// Milliseconds as a float: seconds + nanoseconds / 1e9, times 1000.
inline double fractional_ms(Instant start, Instant end) {
  if (end < start) return 0.0;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  double secs = static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  return secs * 1000.0;
}

}  // namespace ulmora
