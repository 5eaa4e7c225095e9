// Standalone driver for a fuzz target, built by the normal compiler: runs
// LLVMFuzzerTestOneInput on every file named (directories: every file in
// them), or with no arguments on the target's generated seeds. A broken
// property aborts; sanitizer builds report what the sanitizers find.
//
//   fuzz_replay_<target> [FILE|DIR]...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/file.h"
#include "seeds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

#ifndef ULMORA_FUZZ_TARGET
#error "ULMORA_FUZZ_TARGET names the target"
#endif

namespace {

void collect(const std::string& path, std::vector<std::string>& out) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != ".." && name[0] != '.') names.push_back(path + "/" + name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) collect(n, out);
  } else {
    out.push_back(path);
  }
}

void run(const uint8_t* data, size_t size) {
  // An exact-size copy, so reads past the input are caught as they would be
  // under libFuzzer.
  std::vector<uint8_t> copy(data, data + size);
  LLVMFuzzerTestOneInput(copy.data(), copy.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  if (argc < 2) {
    const auto inputs = ulmora::fuzz::seeds(ULMORA_FUZZ_TARGET);
    for (const auto& in : inputs) run(in.data(), in.size());
    std::printf("%s: %zu seed inputs ran\n", ULMORA_FUZZ_TARGET, inputs.size());
    return inputs.empty() ? 1 : 0;
  }
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  for (const auto& f : files) {
    auto bytes = ulmora::file::read_all(f);
    if (!bytes.ok()) {
      std::fprintf(stderr, "%s: %s\n", f.c_str(), bytes.error().message().c_str());
      return 1;
    }
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", f.c_str(), bytes->size());
    run(bytes->data(), bytes->size());
  }
  std::printf("%s: %zu inputs ran\n", ULMORA_FUZZ_TARGET, files.size());
  return 0;
}
