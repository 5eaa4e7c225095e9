// Writes the seed corpora: OUTDIR/<target>/seed-NNN for every target (or
// only the targets named after OUTDIR).
//
//   ulmora_fuzz_seeds OUTDIR [TARGET]...
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "base/file.h"
#include "seeds.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [TARGET]...\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  std::vector<std::string> targets(argv + 2, argv + argc);
  if (targets.empty()) targets = ulmora::fuzz::target_names();
  mkdir(out.c_str(), 0755);
  for (const auto& t : targets) {
    const auto inputs = ulmora::fuzz::seeds(t);
    if (inputs.empty()) {
      std::fprintf(stderr, "unknown target %s\n", t.c_str());
      return 2;
    }
    const std::string dir = out + "/" + t;
    mkdir(dir.c_str(), 0755);
    for (size_t i = 0; i < inputs.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/seed-%03zu", i);
      auto f = ulmora::file::File::open(dir + name, O_WRONLY | O_CREAT | O_TRUNC);
      if (!f.ok() || !f.value().write_all(inputs[i].data(), inputs[i].size()).ok()) {
        std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), name);
        return 1;
      }
    }
    std::printf("%s: %zu seeds in %s\n", t.c_str(), inputs.size(), dir.c_str());
  }
  return 0;
}
