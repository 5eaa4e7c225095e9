// ulmora_settings_table: prints the settings table of docs/architecture.md,
// rendered from the environment registry (base/env_registry.h).
//
//   ulmora_settings_table                 the table on standard output
//   ulmora_settings_table --write FILE    FILE with the text between its
//                                         table markers replaced
//
// Exit status 1 when FILE cannot be read or written or lacks the markers,
// 2 for usage errors.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "base/env_registry.h"
#include "base/file.h"

int main(int argc, char** argv) {
  using namespace ulmora;
  const std::string table = env::render_table();
  if (argc == 1) {
    std::fputs(table.c_str(), stdout);
    return 0;
  }
  if (argc != 3 || std::string_view(argv[1]) != "--write") {
    std::fputs("usage: ulmora_settings_table [--write FILE]\n", stderr);
    return 2;
  }
  const std::string path = argv[2];
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  const auto doc = env::replace_table(text.str(), table);
  if (!doc) {
    std::fprintf(stderr, "%s lacks the settings-table markers\n", path.c_str());
    return 1;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(doc->data());
  if (Status s = file::write_atomic(path, std::span<const uint8_t>(bytes, doc->size())); !s.ok()) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), s.error().message().c_str());
    return 1;
  }
  return 0;
}
