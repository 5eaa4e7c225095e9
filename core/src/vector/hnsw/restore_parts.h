// Steps of a graph restore shared by the record restore (restore.cc) and the
// streamed one (restore_stream.cc), so both build identical columns.
// Internal to the graph layer.
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "format/snapshot.h"
#include "vector/hnsw/graph.h"

namespace ulmora::hnsw {

// Layers beyond level 255 can never be reached (levels are bytes), so a
// record naming higher levels must not make us build them.
inline constexpr uint64_t kMaxLayers = kMaxLevel + 1;
// Largest node count: node indices are 32-bit with 0xFFFFFFFF reserved.
inline constexpr uint64_t kMaxNodes = 0xFFFFFFFFull;

// Point id -> node index for the sorted id list `ids`. Contiguous ids (the
// common case) translate by subtraction; others go through the hash map.
class IdTranslator {
 public:
  IdTranslator(const std::vector<uint64_t>& ids, const IdMap& map) : map_(map) {
    contiguous_ = !ids.empty() && ids.back() - ids.front() == ids.size() - 1;
    first_ = ids.empty() ? 0 : ids.front();
    n_ = ids.size();
  }
  // Node index, or kNoEntry when `id` is not a node.
  uint64_t operator()(uint64_t id) const {
    if (contiguous_) return id - first_ < n_ ? id - first_ : kNoEntry;
    auto i = map_.find(id);
    return i ? *i : kNoEntry;
  }

 private:
  const IdMap& map_;
  bool contiguous_;
  uint64_t first_;
  uint64_t n_;
};

// The id map of the sorted node ids `ids`: contiguous ids (the common
// case) need no slots until an insert adds one.
inline void fill_id_map(IdMap& map, const std::vector<uint64_t>& ids) {
  if (!ids.empty() && ids.back() - ids.front() == ids.size() - 1) {
    map.assign_contiguous(ids.front(), ids.size());
    return;
  }
  map.reserve(ids.size());
  for (uint64_t i = 0; i < ids.size(); ++i) map.insert(ids[i], i);
}

// Parameters from the record: limits with their defaults, level cap
// clamped, the exact-scan settings from the environment.
void apply_config(Graph& g, const HnswSnapshot& s);
// Level, deleted, state and point-id columns for the sorted node ids `ids`
// (levels and deleted as the record holds them, normalised), and the
// deleted count.
void fill_node_meta(Graph& g, const std::vector<uint64_t>& ids, const HnswSnapshot& s);
// The layer columns, n empty slots each: one more than the highest of the
// top stored level, max_level and the level cap (at most 256).
void add_layers(Graph& g, uint64_t top_key, uint64_t max_level, uint64_t n);
// Empty score lists, the entry word and the published node count.
void finish_restore(Graph& g, std::optional<uint64_t> entry_node, uint64_t max_level, uint64_t n);

}  // namespace ulmora::hnsw
