// Kernel dispatch: CPU features detected once per process.
#include "vector/kernels/kernels.h"

#include <cstring>
#include <optional>
#include <string>

#include "base/env.h"
#include "base/env_registry.h"

namespace ulmora::kernels {

namespace {

struct Features {
  bool avx;
  bool avx2_fma;
  bool avx512_vnni;
};

const Features& features() {
  static const Features f = [] {
    Features r{false, false, false};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    r.avx = __builtin_cpu_supports("avx");
    r.avx2_fma = r.avx && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    r.avx512_vnni = r.avx2_fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                    __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
#endif
    return r;
  }();
  return f;
}

const KernelTable& widest() {
  if (cpu_has_avx512_vnni()) return avx512_vnni();
  if (cpu_has_avx2_fma()) return avx2_fma();
  if (cpu_has_avx()) return avx();
  return portable();
}

// The table named by ULMORA_KERNELS when this CPU can run it.
const KernelTable* requested() {
  std::optional<std::string> name = env::lookup(env::kKernels.name);
  if (!name) return nullptr;
  struct Choice {
    const char* name;
    const KernelTable& (*table)();
    bool (*available)();
  };
  static constexpr Choice kChoices[] = {
      {"portable", portable, [] { return true; }},
      {"avx", avx, cpu_has_avx},
      {"avx2_fma", avx2_fma, cpu_has_avx2_fma},
      {"avx512_vnni", avx512_vnni, cpu_has_avx512_vnni},
  };
  for (const Choice& c : kChoices)
    if (*name == c.name && c.available()) return &c.table();
  return nullptr;
}

const KernelTable& choose() {
  if (const KernelTable* t = requested()) return *t;
  return widest();
}

}  // namespace

bool cpu_has_avx() { return features().avx; }
bool cpu_has_avx2_fma() { return features().avx2_fma; }
bool cpu_has_avx512_vnni() { return features().avx512_vnni; }

// After the first call this is one guard load, a test and the table load.
const KernelTable& active() {
  static const KernelTable& table = choose();
  return table;
}

}  // namespace ulmora::kernels
