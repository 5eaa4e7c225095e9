// The filtered-search planner (filtered_search.h).
//
// Cost model: the exact scan scores every match once, in node order; a
// walk scores roughly a fixed number of nodes per result it finds, times
// live / matches, because only one node in live / matches it meets is
// admitted. The two meet near matches = C x sqrt(ef x live); C comes from
// bench/filter_crossover.py.
#include "segment/filtered_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "segment/segment.h"

namespace ulmora {

namespace {

hnsw::NodeSubset subset_of(const MatchSet& m) {
  hnsw::NodeSubset s;
  s.is_bitmap = m.is_bitmap();
  s.words = m.words();
  s.nodes = m.nodes();
  s.size = m.size();
  return s;
}

uint64_t live_points(const Segment& seg) {
  const uint64_t len = seg.hnsw().len(), gone = seg.hnsw().deleted_count();
  return len > gone ? len - gone : 0;
}

}  // namespace

bool prefer_walk(uint64_t matches, uint64_t live, uint64_t ef) {
  const double bar = kWalkCrossover * std::sqrt(static_cast<double>(std::max<uint64_t>(ef, 1)) *
                                                static_cast<double>(live));
  return static_cast<double>(matches) > bar;
}

Result<FilterPlan> plan_filter(const Filter& filter, const Segment& segment, SearchRoute route, uint64_t ef) {
  ULMORA_TRY(check_filter(filter));
  FilterPlan plan;
  plan.estimate = estimate_matches(filter, segment);
  Result<MatchSet> m = match_set(filter, segment);
  if (!m.ok()) return m.error();
  plan.matches = std::move(m.value());
  plan.live = live_points(segment);
  plan.route = route;
  plan.walk = route == SearchRoute::kGraph ||
              (route == SearchRoute::kAuto && prefer_walk(plan.matches.size(), plan.live, ef));
  if (plan.walk) plan.matches.to_bitmap();  // one lookup per node in the walk
  return plan;
}

Status filtered_search(const Segment& segment, const FilterPlan& plan, std::span<const float> query, size_t k,
                       const hnsw::SearchOptions& options, std::vector<hnsw::ScoredNode>& out,
                       FilteredStats* stats) {
  FilteredStats local;
  FilteredStats& st = stats ? *stats : local;
  st = FilteredStats{};
  const hnsw::HnswIndex& g = segment.hnsw();
  const hnsw::NodeSubset subset = subset_of(plan.matches);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(k, plan.matches.size()));
  if (plan.walk && want > 0) {
    // The walk may score as many nodes as the scan would before it gives up.
    const uint64_t budget =
        plan.route == SearchRoute::kGraph ? std::numeric_limits<uint64_t>::max() : plan.matches.size();
    ULMORA_TRY(g.walk_subset(query, k, options, subset, budget, &st.walk, out));
    if (!st.walk.over_budget && out.size() >= want) {
      st.used = SearchRoute::kGraph;
      return Status::Ok();
    }
    st.switched = true;
  }
  st.used = SearchRoute::kExact;
  return g.scan_subset(query, k, subset, out);
}

Status filtered_search(const Segment& segment, const Filter& filter, SearchRoute route, std::span<const float> query,
                       size_t k, const hnsw::SearchOptions& options, std::vector<hnsw::ScoredNode>& out,
                       FilteredStats* stats) {
  const uint64_t ef = std::max<uint64_t>(options.ef.value_or(segment.hnsw().ef_search()), k);
  Result<FilterPlan> plan = plan_filter(filter, segment, route, ef);
  if (!plan.ok()) return plan.error();
  return filtered_search(segment, *plan, query, k, options, out, stats);
}

}  // namespace ulmora
