// The filtered-search planner (filtered_search.h).
//
// Cost model (walk_cost in the header): the exact scan scores every match
// once, in node order; a walk scores a fixed number of nodes per result it
// finds, times 1 / p, because only one node in 1 / p it meets is admitted,
// p the share of matches around the query. Spread evenly (p = matches /
// live) the two meet near matches = sqrt(W x ef x live); a filter
// correlated with the query has a larger p near it, which each query's probe
// measures.
#include "segment/filtered_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

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

double walk_cost(uint64_t dim) {
  return std::min(36.0, 6.6 * (1.0 + 285.0 / static_cast<double>(std::max<uint64_t>(dim, 1))));
}

bool prefer_walk(uint64_t matches, uint64_t live, uint64_t ef, uint64_t dim) {
  const double m = static_cast<double>(matches);
  return m * m > walk_cost(dim) * static_cast<double>(std::max<uint64_t>(ef, 1)) * static_cast<double>(live);
}

double descent_cost(uint64_t live, uint64_t m, uint64_t dim) {
  const double fan = static_cast<double>(std::max<uint64_t>(m, 2));
  const double levels = std::log(static_cast<double>(std::max<uint64_t>(live, 2))) / std::log(fan);
  // W / 4 scan nodes per node of the descent: fitted at 1M x 128 (about
  // 430 against 450-590 measured), it follows W's fall with the dimension.
  return fan * levels * walk_cost(dim) / 4;
}

bool walk_possible(uint64_t matches, uint64_t live, uint64_t m, uint64_t ef, uint64_t dim) {
  return static_cast<double>(matches) >
         walk_cost(dim) * static_cast<double>(std::max<uint64_t>(ef, 1)) + 2 * descent_cost(live, m, dim);
}

Result<FilterPlan> plan_filter(const Filter& filter, const Segment& segment, SearchRoute route, uint64_t ef) {
  ULMORA_TRY(check_filter(filter));
  FilterPlan plan;
  Result<MatchSet> m = match_set(filter, segment);
  if (!m.ok()) return m.error();
  plan.matches = std::move(m.value());
  plan.live = live_points(segment);
  plan.route = route;
  const hnsw::HnswIndex& g = segment.hnsw();
  plan.walk = route == SearchRoute::kGraph ||
              (route == SearchRoute::kAuto && walk_possible(plan.matches.size(), plan.live, g.m(), ef, g.dim()));
  plan.probe = route == SearchRoute::kAuto;
  if (plan.walk) plan.matches.to_bitmap();  // one lookup per node in the walk
  return plan;
}

Result<BatchPlans> plan_repeated_filters(std::span<const Filter> filters, const Segment& segment, SearchRoute route,
                                         uint64_t ef) {
  BatchPlans out;
  out.of_row.assign(filters.size(), BatchPlans::kOwnPlan);
  // Rows grouped by hash; the first row of each distinct filter leads.
  std::unordered_map<uint64_t, std::vector<size_t>> leaders;
  std::vector<size_t> lead_of(filters.size()), uses(filters.size(), 0);
  for (size_t r = 0; r < filters.size(); ++r) {
    std::vector<size_t>& same_hash = leaders[filter_hash(filters[r])];
    size_t lead = r;
    for (size_t l : same_hash) {
      if (same_filter(filters[l], filters[r])) {
        lead = l;
        break;
      }
    }
    if (lead == r) same_hash.push_back(r);
    lead_of[r] = lead;
    ++uses[lead];
  }
  // A bitmap over every node, and a list no larger, bound one plan's bytes.
  const uint64_t plan_bytes = std::max<uint64_t>(segment.hnsw().len() / 4, 64);
  const uint64_t cap = std::max<uint64_t>(kSharedPlanBytes / plan_bytes, 1);
  std::vector<uint32_t> plan_of_lead(filters.size(), BatchPlans::kOwnPlan);
  for (size_t r = 0; r < filters.size(); ++r) {
    const size_t lead = lead_of[r];
    if (uses[lead] < 2) continue;
    if (plan_of_lead[lead] == BatchPlans::kOwnPlan && out.plans.size() < cap) {
      Result<FilterPlan> plan = plan_filter(filters[lead], segment, route, ef);
      if (!plan.ok()) return plan.error();
      plan_of_lead[lead] = static_cast<uint32_t>(out.plans.size());
      out.plans.push_back(std::move(plan.value()));
    }
    out.of_row[r] = plan_of_lead[lead];
  }
  return out;
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
  if (plan.walk && want > 0 && plan.matches.size() >= plan.live) {
    // Every live point matches: the unfiltered beam is the same walk
    // without a lookup per node.
    ULMORA_TRY(g.search(query, k, options, out));
    if (out.size() >= want) {
      st.used = SearchRoute::kGraph;
      return Status::Ok();
    }
    st.switched = true;
  } else if (plan.walk && want > 0) {
    // The walk may score as many nodes as the scan would before it gives up.
    hnsw::WalkLimits limits;
    if (plan.route != SearchRoute::kGraph) limits.budget = plan.matches.size();
    limits.global_share =
        static_cast<double>(plan.matches.size()) / static_cast<double>(std::max<uint64_t>(plan.live, 1));
    if (plan.probe) limits.probe_cost = walk_cost(g.dim());
    ULMORA_TRY(g.walk_subset(query, k, options, subset, limits, &st.walk, out));
    if (!st.walk.over_budget && !st.walk.declined && out.size() >= want) {
      st.used = SearchRoute::kGraph;
      return Status::Ok();
    }
    st.switched = !st.walk.declined;
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
