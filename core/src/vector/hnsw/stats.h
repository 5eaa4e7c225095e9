// Search statistics (per-thread samples summarised every chunk) and the
// search and insert trace sinks (JSON lines, one mutex each).
//
// Internal to the graph layer (the headers outside may use are listed in index.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "format/snapshot.h"
#include "vector/hnsw/search.h"

namespace ulmora::hnsw {

// ---- Statistics ----
struct StatsSample {
  uint64_t ef;
  uint64_t visited;
  uint64_t expanded;
  float best;
  float worst;
};

bool unfiltered_stats_enabled();  // VECTORDB_LOG_UNFILTERED_SEARCH
void record_unfiltered_stats(uint64_t ef, uint64_t visited, uint64_t expanded, float best, float worst);

// Percentile p(q) of sorted values: element round((n - 1) * q), halves away
// from zero. `values` must be non-empty and sorted.
double percentile(const std::vector<double>& sorted, double q);
// The "[unfiltered_search_stats] n=..." summary line of `samples`.
std::string summarize_stats(const std::vector<StatsSample>& samples);

// ---- Trace events ----
struct SearchTraceEvent {
  uint64_t search_id = 0;
  std::string metric;  // "Cosine", "Dot", "Euclidean", optionally + "+SQ8"
  uint64_t ef_search = 0;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 0;
  uint64_t collection_size = 0;
  bool exact_scan = false;
  std::optional<uint64_t> top_id;
  std::optional<float> top_raw;
  std::optional<float> top_sort_key;
  uint64_t step = 0;
  uint64_t level = 0;
  uint64_t current_idx = 0;
  uint64_t current_point = 0;
  float current_sort_key = 0.0f;
  uint64_t visited = 0;
  uint64_t expanded = 0;
  uint64_t candidate_len = 0;
  uint64_t results_len = 0;
  float worst_score = 0.0f;
  std::optional<std::string> stop_reason;  // null in step events
  double elapsed_ms = 0.0;
};

struct InsertTraceEvent {
  uint64_t insert_id = 0;
  uint64_t point_id = 0;
  uint64_t level = 0;
  uint64_t current_max_level = 0;
  uint64_t layer = 0;
  std::optional<uint64_t> entry_point;
  uint64_t current_entry = 0;
  uint64_t candidates = 0;
  uint64_t neighbors = 0;
  std::optional<uint64_t> best_neighbor;
  double elapsed_ms = 0.0;
};

std::string search_trace_json(const SearchTraceEvent& e);  // one line with '\n'
std::string insert_trace_json(const InsertTraceEvent& e);

// Sinks are created at first use; false when the path is unset or could
// not be created (then that trace kind is off for the process).
bool search_trace_enabled();
bool insert_trace_enabled();
void emit_search_trace(const SearchTraceEvent& e);
void emit_insert_trace(const InsertTraceEvent& e);

// Per-search trace state, present only while search tracing is on.
class TraceContext {
 public:
  uint64_t search_id = 0;
  uint64_t step = 0;
  uint64_t every = 100;
  Instant start;
};

// ---- Trace event builders ----

// What the index contributes to every search event.
struct TraceIndexInfo {
  const char* metric;  // metric_name(), optionally with "+SQ8"
  bool exact_fallback_enabled;
  uint64_t exact_fallback_threshold;
};

// Step or end event of a beam of width `ef`: `figures` carries the beam's
// own fields (collection size, step, level, current node, counts, worst);
// this adds the search's and the index's (stop_reason stays unset).
SearchTraceEvent beam_trace_event(const TraceContext& trace, const TraceIndexInfo& index, size_t ef,
                                  SearchTraceEvent figures);
// The "start" event of a search for k results over `live` points.
SearchTraceEvent search_start_event(const TraceContext& trace, const TraceIndexInfo& index, size_t k, uint64_t live,
                                    bool exact);
// The "exact_scan" event after an exact scan kept `kept` (point ids, ordered).
SearchTraceEvent exact_scan_event(const TraceContext& trace, const TraceIndexInfo& index, size_t k, uint64_t live,
                                  const ScoredNode* kept, size_t kept_len);

}  // namespace ulmora::hnsw
