// Search with a filter over a segment: the planner that picks, per query,
// an exact scan of the matching points or a graph walk that admits only
// matching points, and hands a walk that runs long or ends short over to
// the exact scan.
//
// Results: exactly min(k, matches) points (node field = point id, raw =
// the metric's raw score), every one matching and live, ordered as the
// unfiltered search orders them (key ascending, then point id). Scores
// equal the unfiltered search's bit for bit (same prepared query, same
// kernels).
//
// Threading: needs the segment held still (a reader's lock) for the whole
// call; a FilterPlan may then be searched from any number of threads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"
#include "segment/filter.h"
#include "vector/hnsw/search.h"

namespace ulmora {

class Segment;

enum class SearchRoute : uint8_t {
  kAuto,   // the planner decides per query
  kExact,  // always the exact scan of the matches
  kGraph,  // the walk, with no budget; one that ends short is finished exactly
};

// The cost model: a walk scores about W x ef / p nodes, p the share of
// matching nodes where it walks; the scan scores every match once, each
// cheaper (in order, no queue), so the walk pays when W x ef / p < matches.
// W in scan-node units falls with the dimension, as scoring outweighs the
// walk's per-node work: 36 up to 64 dimensions (200k x 64, uniform filters),
// 9 at 784 (Fashion-MNIST); measured on this machine,
// bench/history/filter_crossover.md.
double walk_cost(uint64_t dim);

// Whether the planner walks for this many matches among `live` points at
// beam width `ef`, when the matches are spread evenly over the graph
// (p = matches / live).
bool prefer_walk(uint64_t matches, uint64_t live, uint64_t ef, uint64_t dim);
// What the greedy descent to level 0 costs, in the same scan-node units: M
// nodes scored per level over log_M(live) levels, one dependent cache miss
// after another on a large graph where the scan's reads are prefetched (at
// 1M x 128, M 16 it cost as much as scanning about 450 matches).
double descent_cost(uint64_t live, uint64_t m, uint64_t dim);
// Whether a walk could pay off at all: it would where every node near the
// query matched (p = 1). The planner then lets each query's probe of its
// neighbourhood decide (WalkLimits). A probe that declines has paid the
// descent for nothing, so one is tried only where the best walk would save
// at least twice that over the scan.
bool walk_possible(uint64_t matches, uint64_t live, uint64_t m, uint64_t ef, uint64_t dim);

// The match set of one filter, ready for searching (a bitmap when a walk
// may use it).
struct FilterPlan {
  MatchSet matches;
  uint64_t live = 0;
  SearchRoute route = SearchRoute::kAuto;
  bool walk = false;  // the planner's first choice
  bool probe = false;  // each query's probe confirms the walk (kAuto)
};

// Builds the plan for queries of beam width `ef` (the effective one, at
// least k). Errors: the filter's check_filter error.
Result<FilterPlan> plan_filter(const Filter& filter, const Segment& segment, SearchRoute route, uint64_t ef);

// Plans for a batch with one filter per row: rows whose filters are equal
// share one plan, built once (a batch that filters each query by its own
// category asks for a handful of match sets, not one per row). of_row[r]
// indexes `plans`, or is kOwnPlan for a row planned on its own (a filter
// that occurs once, or past the memory cap).
struct BatchPlans {
  static constexpr uint32_t kOwnPlan = UINT32_MAX;
  std::vector<FilterPlan> plans;
  std::vector<uint32_t> of_row;
};

// Shared plans hold at most about this many bytes of match sets.
inline constexpr uint64_t kSharedPlanBytes = uint64_t{256} << 20;

// Errors: the first failing filter's check_filter error.
Result<BatchPlans> plan_repeated_filters(std::span<const Filter> filters, const Segment& segment, SearchRoute route,
                                         uint64_t ef);

// How one filtered search ran.
struct FilteredStats {
  SearchRoute used = SearchRoute::kExact;  // kExact or kGraph: what produced the results
  bool switched = false;                   // a walk was handed over to the exact scan
  hnsw::WalkCounters walk;
};

// One query over a plan. `options.ef` (else the stored width, at least k)
// is the walk's beam width. Errors: VectorLengthMismatch.
Status filtered_search(const Segment& segment, const FilterPlan& plan, std::span<const float> query, size_t k,
                       const hnsw::SearchOptions& options, std::vector<hnsw::ScoredNode>& out,
                       FilteredStats* stats = nullptr);

// Plans and searches one query.
Status filtered_search(const Segment& segment, const Filter& filter, SearchRoute route, std::span<const float> query,
                       size_t k, const hnsw::SearchOptions& options, std::vector<hnsw::ScoredNode>& out,
                       FilteredStats* stats = nullptr);

}  // namespace ulmora
