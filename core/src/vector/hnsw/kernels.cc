// Kernel dispatch: CPU features detected once per process.
#include "vector/hnsw/kernels.h"

namespace ulmora::hnsw::kernels {

namespace {

struct Features {
  bool avx;
  bool avx2_fma;
};

const Features& features() {
  static const Features f = [] {
    Features r{false, false};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    r.avx = __builtin_cpu_supports("avx");
    r.avx2_fma = r.avx && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
    return r;
  }();
  return f;
}

const KernelTable& choose() {
  if (cpu_has_avx2_fma()) return avx2_fma();
  if (cpu_has_avx()) return avx();
  return portable();
}

}  // namespace

bool cpu_has_avx() { return features().avx; }
bool cpu_has_avx2_fma() { return features().avx2_fma; }

// After the first call this is one guard load, a test and the table load.
const KernelTable& active() {
  static const KernelTable& table = choose();
  return table;
}

}  // namespace ulmora::hnsw::kernels
