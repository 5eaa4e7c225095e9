// The registry against the tree and the architecture guide: every VECTORDB_
// name in a tracked file has an entry, and the guide's settings table is the
// one the registry renders. ULMORA_SOURCE_DIR is the project root.
#include "base/env_registry.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

namespace fs = std::filesystem;

const fs::path kRoot = ULMORA_SOURCE_DIR;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Tracked files (git ls-files), or, outside a git checkout, every file but
// those under .git and build directories.
std::vector<fs::path> tree_files() {
  std::vector<fs::path> out;
  const std::string cmd = "git -C '" + kRoot.string() + "' ls-files -z 2>/dev/null";
  if (std::FILE* p = ::popen(cmd.c_str(), "r")) {
    std::string all;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) all.append(buf, n);
    const int status = ::pclose(p);
    if (status == 0 && !all.empty()) {
      for (size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
        out.push_back(kRoot / all.substr(start, end - start));
      return out;
    }
  }
  for (auto it = fs::recursive_directory_iterator(kRoot); it != fs::recursive_directory_iterator(); ++it) {
    const std::string name = it->path().filename().string();
    if (it->is_directory() && (name == ".git" || name.rfind("build", 0) == 0 || name == "__pycache__")) {
      it.disable_recursion_pending();
    } else if (it->is_regular_file()) {
      out.push_back(it->path());
    }
  }
  return out;
}

// Every VECTORDB_ name in `text` ("VECTORDB_" and at least one of A-Z, 0-9, _).
std::set<std::string> names_in(const std::string& text) {
  static constexpr std::string_view kPrefix = "VECTORDB_";
  std::set<std::string> out;
  for (size_t at = text.find(kPrefix); at != std::string::npos; at = text.find(kPrefix, at + 1)) {
    size_t end = at + kPrefix.size();
    while (end < text.size() && ((text[end] >= 'A' && text[end] <= 'Z') || (text[end] >= '0' && text[end] <= '9') ||
                                 text[end] == '_'))
      ++end;
    if (end > at + kPrefix.size()) out.insert(text.substr(at, end - at));
  }
  return out;
}

TEST(EnvRegistry, EntriesAreWholeAndDistinct) {
  std::set<std::string> seen;
  for (const env::Setting* s : env::registry()) {
    const std::string name = s->name;
    EXPECT_TRUE(name.rfind("VECTORDB_", 0) == 0 || name.rfind("ULMORA_", 0) == 0) << name;
    EXPECT_TRUE(seen.insert(name).second) << "listed twice: " << name;
    for (const char* field : {s->rule, s->fallback, s->read, s->meaning}) {
      EXPECT_NE(std::string(field), "") << name;
      EXPECT_EQ(std::string(field).find('\n'), std::string::npos) << name;
    }
    EXPECT_EQ(env::find(name), s);
  }
  // Built from pieces so that the tree scan below does not see them.
  const std::string prefix = "VECTORDB_";
  EXPECT_EQ(env::find(prefix + "NOT_A_SETTING"), nullptr);
  EXPECT_EQ(env::find(prefix + "WAL"), nullptr);  // a prefix of a name is not a name
}

TEST(EnvRegistry, TableEscapesCellsAndReplacesOnlyBetweenMarkers) {
  const std::string table = env::render_table();
  // The kernel names hold '|', which must not split the row.
  EXPECT_NE(table.find("portable\\|avx\\|avx2_fma\\|avx512_vnni"), std::string::npos);
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), static_cast<long>(env::registry().size() + 2));

  const std::string begin(env::kTableBegin), end(env::kTableEnd);
  const std::string doc = "intro\n" + begin + "\nold rows\n" + end + "\ntail\n";
  EXPECT_EQ(env::replace_table(doc, "| new |\n"), "intro\n" + begin + "\n| new |\n" + end + "\ntail\n");
  EXPECT_EQ(env::replace_table("no markers", "x"), std::nullopt);
  EXPECT_EQ(env::replace_table(end + "\n" + begin, "x"), std::nullopt);
}

TEST(EnvRegistry, EveryNameInTheTreeIsRegistered) {
  std::map<std::string, std::string> missing;  // name -> first file naming it
  size_t files = 0;
  for (const fs::path& p : tree_files()) {
    if (!fs::is_regular_file(p)) continue;  // deleted in the working tree
    ++files;
    for (const std::string& name : names_in(read_text(p)))
      if (!env::find(name)) missing.emplace(name, fs::relative(p, kRoot).string());
  }
  EXPECT_GT(files, 50u) << "the tree scan found almost nothing under " << kRoot;
  for (const auto& [name, file] : missing)
    ADD_FAILURE() << name << " (in " << file << ") is not in core/src/base/env_registry.h: register what the code "
                  << "reads; remove or reword a name nothing reads";
}

TEST(EnvRegistry, ArchitectureGuideHoldsTheRenderedTable) {
  const fs::path doc_path = kRoot / "docs" / "architecture.md";
  const std::string doc = read_text(doc_path);
  ASSERT_FALSE(doc.empty()) << doc_path;
  const auto want = env::replace_table(doc, env::render_table());
  ASSERT_TRUE(want.has_value()) << doc_path << " lacks the settings-table markers";
  EXPECT_TRUE(*want == doc) << "the settings table in docs/architecture.md differs from the registry; regenerate "
                            << "it with: build/rel/tools/ulmora_settings_table --write docs/architecture.md";
}

}  // namespace
}  // namespace ulmora
