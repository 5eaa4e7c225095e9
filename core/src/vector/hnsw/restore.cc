// Restore of a Graph from a snapshot graph record, and export back.
#include <algorithm>
#include <numeric>
#include <optional>
#include <string>

#include "vector/hnsw/config.h"
#include "vector/hnsw/graph.h"
#include "vector/hnsw/restore_parts.h"

namespace ulmora::hnsw {

namespace {

StoreError inconsistent(const std::string& what) {
  return StoreError::Serialization("segment snapshot graph has " + what);
}

// Checks the parallel arrays of a flat list map and that every entry lies
// inside its data.
template <class M>
bool well_formed(const M& map) {
  size_t n = map.keys.size();
  if (map.begin.size() != n || map.length.size() != n) return false;
  const uint64_t total = map.data.size();
  for (size_t i = 0; i < n; ++i) {
    if (map.begin[i] > total || map.length[i] > total - map.begin[i]) return false;
  }
  return true;
}

Status check_vectors(const HnswSnapshot& s) {
  const F32ListMap& v = s.vectors;
  if (v.size() > kMaxNodes) {
    return inconsistent(std::to_string(v.size()) + " points, more than an index can hold");
  }
  for (size_t i = 0; i < v.size(); ++i) {
    if (v.length[i] < s.dim) {
      return StoreError::Serialization("stored vector of point " + std::to_string(v.keys[i]) + " has " +
                                       std::to_string(v.length[i]) + " values, expected " + std::to_string(s.dim));
    }
  }
  return Status::Ok();
}

// Per-node columns in ascending point-id order.
void fill_node_columns(Graph& g, const HnswSnapshot& s) {
  const F32ListMap& v = s.vectors;
  g.vectors.append_n(v.size(), [&](uint64_t k) { return v.data.data() + v.begin[k]; });
  fill_node_meta(g, v.keys, s);
}

// Stores the lists of one level; entries for unknown points are ignored and
// unknown neighbour ids dropped, keeping the stored order otherwise.
void fill_layer(NeighborLayer& layer, const U64ListMap& lists, const std::vector<uint64_t>& ids,
                const IdTranslator& translate, std::vector<uint32_t>& scratch) {
  size_t ni = 0;
  for (size_t e = 0; e < lists.size(); ++e) {
    uint64_t p = lists.keys[e];
    while (ni < ids.size() && ids[ni] < p) ++ni;
    if (ni == ids.size()) break;
    if (ids[ni] != p) continue;
    scratch.clear();
    for (uint64_t nb : lists.at(e)) {
      uint64_t j = translate(nb);
      if (j != kNoEntry) scratch.push_back(static_cast<uint32_t>(j));
    }
    layer.assign_packed(ni, scratch);
  }
}

// Non-empty lists of one level as point ids, in ascending point-id order
// (`order`); entries naming nodes past the exported count are left out.
// With contiguous point ids (`base` set) ids are computed, not looked up.
void export_layer(const NeighborLayer& layer, const std::vector<uint64_t>& pid, const std::vector<uint32_t>& order,
                  std::optional<uint64_t> base, U64ListMap& out) {
  const uint64_t n = pid.size();
  const uint64_t slots = layer.len();
  uint64_t total = 0;
  uint64_t lists = 0;
  for (uint32_t i : order) {
    if (i >= slots || !layer.maybe_nonempty(i)) continue;
    total += layer.size(i);
    ++lists;
  }
  if (lists == 0) return;
  out.data.reserve(total);
  out.keys.reserve(lists);
  out.begin.reserve(lists);
  out.length.reserve(lists);
  for (uint32_t i : order) {
    if (i >= slots || !layer.maybe_nonempty(i)) continue;
    const size_t before = out.data.size();
    layer.read(i, [&](const uint32_t* items, size_t len) {
      for (size_t k = 0; k < len; ++k) {
        uint64_t j = items[k];
        if (j < n) out.data.push_back(base ? *base + j : pid[j]);
      }
    });
    if (out.data.size() == before) continue;
    out.keys.push_back(pid[i]);
    out.begin.push_back(before);
    out.length.push_back(out.data.size() - before);
  }
}

// Nodes an export holds: those present in every node column.
uint64_t exported_nodes(const Graph& g) {
  return std::min({g.len(), g.vectors.len(), g.levels.len(), g.deleted.len(), g.point_ids.len()});
}

}  // namespace

void fill_node_meta(Graph& g, const std::vector<uint64_t>& ids, const HnswSnapshot& s) {
  const uint64_t n = ids.size();
  // Merge-joins against the sorted levels map and deleted set.
  size_t li = 0;
  g.levels.append_n(n, [&](uint64_t k) -> uint8_t {
    uint64_t p = ids[k];
    while (li < s.levels.size() && s.levels[li].first < p) ++li;
    if (li < s.levels.size() && s.levels[li].first == p) return static_cast<uint8_t>(std::min(s.levels[li].second, kMaxLevel));
    return 0;
  });
  std::vector<uint8_t> is_deleted(n, 0);
  uint64_t deleted_count = 0;
  for (size_t k = 0, di = 0; k < n; ++k) {
    while (di < s.deleted.size() && s.deleted[di] < ids[k]) ++di;
    if (di < s.deleted.size() && s.deleted[di] == ids[k]) {
      is_deleted[k] = 1;
      ++deleted_count;
    }
  }
  g.deleted.append_n(n, [&](uint64_t k) { return is_deleted[k]; });
  g.node_states.append_n(n, [&](uint64_t k) {
    return static_cast<uint8_t>(is_deleted[k] ? NodeState::kDeleted : NodeState::kLinked);
  });
  g.point_ids.append_n(n, [&](uint64_t k) { return ids[k]; });
  g.deleted_count.store(deleted_count, std::memory_order_relaxed);
}

void apply_config(Graph& g, const HnswSnapshot& s) {
  g.m = s.m;
  g.m0 = s.m0 != 0 ? s.m0 : 2 * s.m;
  g.m0_cap = s.m0_cap != 0 ? s.m0_cap : g.m0;
  g.ef_search = s.ef_search;
  g.ef_construction = s.ef_construction;
  g.level_cap = std::min(s.level_cap, kMaxLevel);
  g.level_scale = s.level_scale;
  g.exact_fallback_threshold = tuning::exact_fallback_threshold().value_or(s.exact_fallback_threshold);
  g.exact_fallback_enabled = tuning::exact_fallback_enabled();
}

void add_layers(Graph& g, uint64_t top_key, uint64_t max_level, uint64_t n) {
  uint64_t want = std::max({top_key, max_level, g.level_cap});
  uint64_t layer_count = std::min(want, kMaxLayers - 1) + 1;
  g.layers.reserve(layer_count);
  for (uint64_t l = 0; l < layer_count; ++l) {
    g.layers.push_back(std::make_unique<NeighborLayer>());
    g.layers.back()->grow_to(n);
  }
}

void finish_restore(Graph& g, std::optional<uint64_t> entry_node, uint64_t max_level, uint64_t n) {
  g.neighbor_scores.grow_to(n);
  g.entry.store(pack_entry(std::min(max_level, kMaxLevel), entry_node.value_or(kNoEntry)), std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(g.alloc);
    g.count = n;
  }
  g.published_count.store(n, std::memory_order_release);
}

Result<std::unique_ptr<Graph>> restore_graph(HnswSnapshot&& s) {
  if (s.dim == 0) return StoreError::Serialization("segment snapshot graph has zero dimensions");
  if (!well_formed(s.vectors)) return inconsistent("a malformed vector map");
  for (const auto& [level, lists] : s.layers) {
    if (!well_formed(lists)) return inconsistent("a malformed neighbour map");
  }
  normalize(s);
  ULMORA_TRY(check_vectors(s));

  std::unique_ptr<Graph> graph(new Graph(Graph::RestoreTag{}, s.metric, s.dim));
  Graph& g = *graph;
  apply_config(g, s);

  const std::vector<uint64_t>& ids = s.vectors.keys;
  const uint64_t n = ids.size();
  fill_id_map(g.id_to_index, ids);
  fill_node_columns(g, s);

  add_layers(g, s.layers.empty() ? 0 : s.layers.back().first, s.max_level, n);
  IdTranslator translate(ids, g.id_to_index);
  std::vector<uint32_t> scratch;
  for (const auto& [level, lists] : s.layers) {
    if (level >= g.layers.size()) break;  // sorted: every later level is higher
    fill_layer(*g.layers[level], lists, ids, translate, scratch);
  }

  std::optional<uint64_t> entry_node;
  if (s.entry_point) entry_node = translate(*s.entry_point);
  finish_restore(g, entry_node, s.max_level, n);
  return graph;
}

HnswSnapshot export_graph(const Graph& g) {
  HnswSnapshot s;
  const uint64_t n = exported_nodes(g);
  const uint64_t dim = g.dim;

  // Entries go out in ascending point-id order; a restored index is already
  // in that order, so the sort is usually skipped.
  std::vector<uint64_t> pid(n);
  for (uint64_t i = 0; i < n; ++i) pid[i] = g.point_ids.get(i);
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), uint32_t{0});
  const bool ascending = std::is_sorted(pid.begin(), pid.end());
  if (!ascending) {
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return pid[a] < pid[b]; });
  }

  F32ListMap& vectors = s.vectors;
  vectors.keys.reserve(n);
  vectors.begin.reserve(n);
  vectors.length.reserve(n);
  vectors.data.reserve(n * dim);
  s.levels.reserve(n);
  for (uint64_t k = 0; k < n; ++k) {
    uint32_t i = order[k];
    vectors.keys.push_back(pid[i]);
    vectors.begin.push_back(k * dim);
    vectors.length.push_back(dim);
    const float* v = g.vector(i);
    vectors.data.insert(vectors.data.end(), v, v + dim);
    s.levels.emplace_back(pid[i], g.levels.get(i));
    if (g.deleted.get(i) != 0) s.deleted.push_back(pid[i]);
  }

  std::optional<uint64_t> base;
  // Ascending, distinct and spanning n values: pid[i] = pid[0] + i.
  if (n > 0 && ascending && pid[n - 1] - pid[0] == n - 1 &&
      std::adjacent_find(pid.begin(), pid.end()) == pid.end()) {
    base = pid[0];
  }
  for (uint64_t l = 0; l < g.layer_count(); ++l) {
    U64ListMap lists;
    export_layer(g.layer(l), pid, order, base, lists);
    if (lists.size() != 0) s.layers.emplace_back(l, std::move(lists));
  }

  uint64_t e = g.entry.load(std::memory_order_acquire);
  if (entry_index(e) != kNoEntry && entry_index(e) < n) s.entry_point = pid[entry_index(e)];
  s.max_level = entry_level(e);
  s.metric = g.metric;
  s.m = g.m;
  s.m0 = g.m0;
  s.m0_cap = g.m0_cap;
  s.ef_search = g.ef_search;
  s.ef_construction = g.ef_construction;
  s.level_cap = g.level_cap;
  s.level_scale = g.level_scale;
  s.dim = dim;
  s.exact_fallback_enabled = g.exact_fallback_enabled;
  s.exact_fallback_threshold = g.exact_fallback_threshold;
  return s;
}

// The export's node count and level column, and per layer the lists
// export_layer would write: entries past the nodes dropped, lists left
// empty not written.
GraphShape describe_graph(const Graph& g) {
  GraphShape shape;
  const uint64_t n = exported_nodes(g);
  shape.nodes = n;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t level = g.levels.get(i);
    if (shape.per_level.size() <= level) shape.per_level.resize(level + 1, 0);
    for (uint64_t l = 0; l <= level; ++l) ++shape.per_level[l];
  }
  shape.lists.resize(g.layer_count());
  for (uint64_t l = 0; l < g.layer_count(); ++l) {
    const NeighborLayer& layer = g.layer(l);
    GraphShape::Lists& out = shape.lists[l];
    for (uint64_t i = 0; i < n && i < layer.len(); ++i) {
      if (!layer.maybe_nonempty(i)) continue;
      uint64_t kept = 0;
      layer.read(i, [&](const uint32_t* items, size_t len) {
        for (size_t k = 0; k < len; ++k) kept += items[k] < n;
      });
      if (kept == 0) continue;
      out.shortest = out.count == 0 ? kept : std::min(out.shortest, kept);
      out.longest = std::max(out.longest, kept);
      out.entries += kept;
      ++out.count;
    }
  }
  return shape;
}

}  // namespace ulmora::hnsw
