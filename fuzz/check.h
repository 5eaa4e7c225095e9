// Assertions of the fuzz targets. They stay on in release builds: the
// replay driver runs the targets without sanitizers too, and a broken
// property must end the run there as well.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace ulmora::fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", what, file, line);
  std::abort();
}

}  // namespace ulmora::fuzz

#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) ::ulmora::fuzz::check_failed(#cond, __FILE__, __LINE__); \
  } while (0)
