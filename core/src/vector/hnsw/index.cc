#include "vector/hnsw/index.h"

#include "vector/hnsw/graph.h"

namespace ulmora::hnsw {

HnswIndex::HnswIndex(Metric metric, uint64_t m, uint64_t ef_search, uint64_t level_cap, uint64_t dim)
    : graph_(std::make_unique<Graph>(metric, m, ef_search, level_cap, dim)) {}
HnswIndex::HnswIndex(std::unique_ptr<Graph> graph) : graph_(std::move(graph)) {}
HnswIndex::~HnswIndex() = default;

Graph& graph_of(HnswIndex& index) { return *index.graph_; }
const Graph& graph_of(const HnswIndex& index) { return *index.graph_; }

Metric HnswIndex::metric() const { return graph_->metric; }
uint64_t HnswIndex::dim() const { return graph_->dim; }
uint64_t HnswIndex::m() const { return graph_->m; }
uint64_t HnswIndex::ef_search() const { return graph_->ef_search; }
uint64_t HnswIndex::ef_construction() const { return graph_->ef_construction; }
uint64_t HnswIndex::level_cap() const { return graph_->level_cap; }

uint64_t HnswIndex::len() const { return graph_->len(); }
uint64_t HnswIndex::deleted_count() const { return graph_->deleted_count.load(std::memory_order_relaxed); }
bool HnswIndex::contains(uint64_t point_id) const { return graph_->contains(point_id); }
std::optional<uint64_t> HnswIndex::index_of(uint64_t point_id) const { return graph_->index_of(point_id); }
void HnswIndex::live_bits(uint64_t nodes, uint64_t* words) const { graph_->live_bits(nodes, words); }
void HnswIndex::indexes_of(std::span<const uint64_t> ids, uint64_t* out) const { graph_->indexes_of(ids, out); }
const float* HnswIndex::vector_of(uint64_t point_id) const { return graph_->vector_of(point_id); }
NodeState HnswIndex::state(uint64_t i) const { return graph_->state(i); }
uint64_t HnswIndex::point_id(uint64_t i) const { return graph_->point_id(i); }
const float* HnswIndex::vector(uint64_t i) const { return i < graph_->published_len() ? graph_->vector(i) : nullptr; }

const float* HnswIndex::live_vector(uint64_t i) const { return graph_->live_vector(i); }

Status HnswIndex::insert(uint64_t point_id, std::span<const float> vector) {
  // The error kinds are a fixed set; the text says what was refused.
  if (graph_->frozen) return StoreError::SearchFailed("insert refused: the index is frozen (read-only)");
  return graph_->insert(point_id, vector);
}
void HnswIndex::mark_deleted(uint64_t point_id) { graph_->mark_deleted(point_id); }
void HnswIndex::seed_levels(uint64_t seed) { graph_->level_seed = seed; }
void HnswIndex::quantize_sq8() { graph_->quantize_sq8(); }
void HnswIndex::extend_sq8() { graph_->extend_sq8(); }
void HnswIndex::freeze() { graph_->freeze(); }
bool HnswIndex::frozen() const { return graph_->frozen; }
bool HnswIndex::quantized() const { return !graph_->sq8_codes.empty(); }

Status HnswIndex::search(std::span<const float> query, size_t k, const SearchOptions& options,
                         std::vector<ScoredNode>& out) const {
  return graph_->search(query, k, options, out);
}

Status HnswIndex::search_group(std::span<const float> queries, size_t count, size_t k, const SearchOptions& options,
                               std::vector<ScoredNode>* outs, size_t* failed) const {
  return graph_->search_group(queries, count, k, options, outs, failed);
}

Result<std::unique_ptr<HnswIndex>> restore(HnswSnapshot&& snapshot) {
  auto graph = restore_graph(std::move(snapshot));
  if (!graph.ok()) return graph.error();
  return std::unique_ptr<HnswIndex>(new HnswIndex(std::move(graph.value())));
}

HnswSnapshot export_snapshot(const HnswIndex& index) { return export_graph(graph_of(index)); }

GraphShape describe_shape(const HnswIndex& index) { return describe_graph(graph_of(index)); }

}  // namespace ulmora::hnsw
