// Helpers shared by the insertion, filter-edge and concurrency tests: data
// generators, a structural check of a built graph, and a way to run one
// test in a fresh process with extra environment (for values read once).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vector/hnsw/graph.h"

namespace ulmora::hnsw::testing {

// Makes every later insert take its level from `source(point_id)` (capped
// at the graph's level cap) instead of a random draw; nullptr restores the
// random draw. Process-wide; defined in insert.cc.
void set_level_source(uint64_t (*source)(uint64_t point_id));

// Holds a level source for one scope.
class ScopedLevelSource {
 public:
  explicit ScopedLevelSource(uint64_t (*source)(uint64_t)) { set_level_source(source); }
  ~ScopedLevelSource() { set_level_source(nullptr); }
  ScopedLevelSource(const ScopedLevelSource&) = delete;
  ScopedLevelSource& operator=(const ScopedLevelSource&) = delete;
};

inline std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> n(0.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = n(rng);
  return v;
}

// Points around `clusters` random centres (spread 0.3 around unit-scale centres).
inline std::vector<std::vector<float>> clustered(std::mt19937& rng, size_t n, size_t dim, size_t clusters) {
  std::vector<std::vector<float>> centres;
  for (size_t c = 0; c < clusters; ++c) centres.push_back(random_vector(rng, dim));
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<std::vector<float>> out;
  for (size_t i = 0; i < n; ++i) {
    std::vector<float> v = centres[rng() % clusters];
    for (float& x : v) x += noise(rng);
    out.push_back(std::move(v));
  }
  return out;
}

// Invariants every graph built by insertion keeps: Linked nodes, self entry
// first (Cosine, Euclidean) on the node's levels and nowhere else, entries that are
// nodes present on the level, no duplicates, caps (when enforced), level-0
// score lists parallel to the lists, and the entry word on a top node.
inline void expect_graph_invariants(const Graph& g, bool caps_enforced) {
  const uint64_t n = g.len();
  uint64_t top = 0;
  for (uint64_t i = 0; i < n; ++i) top = std::max<uint64_t>(top, g.levels.get(i));
  const uint64_t word = g.entry.load();
  if (n > 0) {
    ASSERT_NE(entry_index(word), kNoEntry);
    EXPECT_EQ(entry_level(word), top);
    EXPECT_EQ(g.levels.get(entry_index(word)), top);
  }
  for (uint64_t i = 0; i < n; ++i) {
    EXPECT_EQ(g.state(i), NodeState::kLinked) << "node " << i;
    const uint64_t level = g.levels.get(i);
    for (uint64_t l = 0; l < g.layer_count(); ++l) {
      std::vector<uint32_t> list = g.layer(l).copy(i);
      if (l > level) {
        // A node that was the entry when a higher node arrived is linked
        // from it on the levels above its own (back-links only, no self).
        EXPECT_EQ(std::find(list.begin(), list.end(), i), list.end()) << "node " << i << " level " << l;
        continue;
      }
      ASSERT_FALSE(list.empty()) << "node " << i << " level " << l;
      if (g.metric != Metric::kDot) {
        EXPECT_EQ(list[0], i) << "self entry first, node " << i;
      }
      std::vector<uint32_t> sorted = list;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "duplicate in node " << i;
      for (uint32_t e : list) {
        ASSERT_LT(e, n);
        EXPECT_TRUE(g.levels.get(e) >= l || g.layer(l).size(e) > 0) << "entry " << e << " not on level " << l;
      }
      if (caps_enforced) {
        EXPECT_LE(list.size(), (l == 0 ? g.m0_cap : g.m) + 1) << "node " << i;
      }
      if (l == 0 && list.size() > 1) {
        std::vector<float> scores = g.neighbor_scores.copy(i);
        ASSERT_EQ(scores.size(), list.size()) << "score list of node " << i;
        for (size_t k = 0; k < list.size(); ++k) {
          if (list[k] == i) {
            EXPECT_EQ(scores[k], 0.0f);
            continue;
          }
          float want = score(g.metric, g.vector(i), g.vector(list[k]), g.dim);
          EXPECT_NEAR(scores[k], want, 1e-3f * (1.0f + std::abs(want)));
        }
      }
    }
  }
}

// True inside a re-executed child (see run_in_child).
inline bool in_child() { return std::getenv("ULMORA_TEST_CHILD") != nullptr; }

// Runs the test `filter` of this binary in a fresh process with `env` set;
// returns its exit status (0 = the test passed).
inline int run_in_child(const std::string& filter, const std::vector<std::pair<std::string, std::string>>& env) {
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    setenv("ULMORA_TEST_CHILD", "1", 1);
    std::string arg = "--gtest_filter=" + filter;
    execl("/proc/self/exe", "child", arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ulmora::hnsw::testing
