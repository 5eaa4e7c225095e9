#include "exercise.h"

#include <cmath>
#include <unordered_set>
#include <vector>

#include "check.h"
#include "vector/hnsw/search.h"

namespace ulmora::fuzz {

namespace {

uint64_t next(uint64_t& s) {
  s += 0x9E3779B97F4A7C15ull;
  uint64_t z = s;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Queries are finite, as the binding accepts only finite values.
std::vector<std::vector<float>> make_queries(const hnsw::HnswIndex& index, uint64_t& rng) {
  const uint64_t dim = index.dim();
  std::vector<std::vector<float>> queries;
  queries.emplace_back(dim, 0.0f);
  std::vector<float> random(dim);
  for (auto& x : random) x = static_cast<float>(static_cast<int64_t>(next(rng) % 2001) - 1000) / 250.0f;
  queries.push_back(std::move(random));
  const uint64_t n = index.len();
  if (n > 0) {
    const float* v = index.vector(next(rng) % n);
    std::vector<float> stored(v, v + dim);
    for (auto& x : stored) x = std::isfinite(x) ? x : 1.0f;
    queries.push_back(std::move(stored));
  }
  return queries;
}

void check_results(const hnsw::HnswIndex& index, const std::vector<hnsw::ScoredNode>& out, size_t k) {
  FUZZ_CHECK(out.size() <= k);
  std::unordered_set<uint64_t> seen;
  for (size_t i = 0; i < out.size(); ++i) {
    FUZZ_CHECK(seen.insert(out[i].node).second);
    auto at = index.index_of(out[i].node);
    FUZZ_CHECK(at.has_value());
    FUZZ_CHECK(index.state(*at) != hnsw::NodeState::kDeleted);
    if (i > 0 && !std::isnan(out[i - 1].key) && !std::isnan(out[i].key)) FUZZ_CHECK(out[i - 1].key <= out[i].key);
  }
}

}  // namespace

uint64_t digest(const uint8_t* data, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001B3ull;
  return h;
}

void exercise_search(const hnsw::HnswIndex& index, uint64_t seed) {
  if (index.len() * index.dim() > kMaxSearchWork || index.dim() > kMaxSearchWork) return;
  uint64_t rng = seed;
  const bool sq8 = index.quantized();
  std::vector<hnsw::ScoredNode> out;
  for (const auto& q : make_queries(index, rng)) {
    const uint64_t r = next(rng);
    const size_t k = 1 + r % 8;
    hnsw::SearchOptions options;
    options.ef = 1 + (r >> 8) % 24;
    options.scan_cap = (r >> 16) % 4 == 0 ? size_t{1 + (r >> 20) % 8} : size_t{0};
    options.early_exit_patience = (r >> 24) % 4;
    if (sq8) {
      options.sq8_screen = true;
      options.sq8_score_only = (r >> 28) % 2 == 1;
    }
    out.clear();
    Status s = index.search(q, k, options, out);
    if (s.ok()) check_results(index, out, k);
  }
}

}  // namespace ulmora::fuzz
