#include "vector/hnsw/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "base/json.h"
#include "base/log.h"
#include "vector/hnsw/config.h"

namespace ulmora::hnsw {
namespace {

constexpr const char* kStatsTarget = "ulmora::vector::hnsw::stats";

// Ascending with NaN last, so sorting a list that holds NaN stays a strict
// weak order.
bool nan_last_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Fixed-point text with `decimals` places; non-finite values as NaN, inf, -inf.
void append_fixed(std::string& out, double v, int decimals) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v > 0 ? "inf" : "-inf";
    return;
  }
  char buf[64];
  int n = std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  if (n > 0) out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof(buf) - 1));
}

// "min/p50/p90/p99/max" of `values` (sorted in place).
void append_five(std::string& out, std::vector<double>& values, int decimals) {
  std::sort(values.begin(), values.end(), nan_last_less);
  const double figures[5] = {values.front(), percentile(values, 0.5), percentile(values, 0.9),
                             percentile(values, 0.99), values.back()};
  for (int i = 0; i < 5; ++i) {
    if (i) out.push_back('/');
    append_fixed(out, figures[i], decimals);
  }
}

// Samples of the calling thread; what is left is summarised at thread exit.
struct StatsBuffer {
  std::vector<StatsSample> samples;
  ~StatsBuffer() { flush(); }
  void flush() {
    if (samples.empty()) return;
    ULMORA_LOG(log::Level::kInfo, kStatsTarget, summarize_stats(samples));
    samples.clear();
  }
};

StatsBuffer& stats_buffer() {
  thread_local StatsBuffer buffer;
  return buffer;
}

// One trace file, shared by all threads. The file is never closed: every
// line is flushed, so nothing is lost when the process ends.
class TraceSink {
 public:
  explicit TraceSink(const std::optional<std::string>& path) {
    if (!path) return;
    file_ = std::fopen(path->c_str(), "w");
    if (file_) std::setvbuf(file_, nullptr, _IOFBF, 8192);
  }
  bool on() const { return file_ != nullptr; }
  // Write errors are ignored: a trace never fails a search or an insertion.
  void write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mu_);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }

 private:
  std::mutex mu_;
  std::FILE* file_ = nullptr;
};

TraceSink& search_sink() {
  static TraceSink* sink = new TraceSink(tuning::diagnostics().search_trace_log);
  return *sink;
}

TraceSink& insert_sink() {
  static TraceSink* sink = new TraceSink(tuning::diagnostics().insert_trace_log);
  return *sink;
}

}  // namespace

bool unfiltered_stats_enabled() {
  static const bool on = [] {
    tuning::note_unfiltered_stats_switch();
    return tuning::diagnostics().log_unfiltered_search;
  }();
  return on;
}

void record_unfiltered_stats(uint64_t ef, uint64_t visited, uint64_t expanded, float best, float worst) {
  StatsBuffer& buffer = stats_buffer();
  buffer.samples.push_back(StatsSample{ef, visited, expanded, best, worst});
  if (buffer.samples.size() >= tuning::diagnostics().log_unfiltered_every) buffer.flush();
}

double percentile(const std::vector<double>& sorted, double q) {
  double pos = std::round(static_cast<double>(sorted.size() - 1) * q);
  size_t i = static_cast<size_t>(pos);
  return sorted[std::min(i, sorted.size() - 1)];
}

std::string summarize_stats(const std::vector<StatsSample>& samples) {
  if (samples.empty()) return {};
  std::vector<double> visited, expanded, util, best, worst;
  uint64_t ef_min = samples.front().ef, ef_max = samples.front().ef;
  for (const StatsSample& s : samples) {
    visited.push_back(static_cast<double>(s.visited));
    expanded.push_back(static_cast<double>(s.expanded));
    util.push_back(static_cast<double>(s.expanded) / static_cast<double>(std::max<uint64_t>(s.ef, 1)) * 100.0);
    best.push_back(s.best);
    worst.push_back(s.worst);
    ef_min = std::min(ef_min, s.ef);
    ef_max = std::max(ef_max, s.ef);
  }
  std::string out = "[unfiltered_search_stats] n=" + std::to_string(samples.size()) +
                    " ef_search=" + std::to_string(ef_min) + ".." + std::to_string(ef_max);
  out += " visited(min/p50/p90/p99/max)=";
  append_five(out, visited, 0);
  out += " expanded=";
  append_five(out, expanded, 0);
  out += " util%=";
  append_five(out, util, 1);
  out += " best_score=";
  append_five(out, best, 4);
  out += " worst_score=";
  append_five(out, worst, 4);
  return out;
}

std::string search_trace_json(const SearchTraceEvent& e) {
  std::optional<std::string_view> stop;
  if (e.stop_reason) stop = *e.stop_reason;
  JsonLine j;
  j.u64("search_id", e.search_id)
      .str("metric", e.metric)
      .u64("ef_search", e.ef_search)
      .boolean("exact_fallback_enabled", e.exact_fallback_enabled)
      .u64("exact_fallback_threshold", e.exact_fallback_threshold)
      .u64("collection_size", e.collection_size)
      .boolean("exact_scan", e.exact_scan)
      .opt_u64("top_id", e.top_id)
      .opt_f32("top_raw", e.top_raw)
      .opt_f32("top_sort_key", e.top_sort_key)
      .u64("step", e.step)
      .u64("level", e.level)
      .u64("current_idx", e.current_idx)
      .u64("current_point", e.current_point)
      .f32("current_sort_key", e.current_sort_key)
      .u64("visited", e.visited)
      .u64("expanded", e.expanded)
      .u64("candidate_len", e.candidate_len)
      .u64("results_len", e.results_len)
      .f32("worst_score", e.worst_score)
      .opt_str("stop_reason", stop)
      .f64("elapsed_ms", e.elapsed_ms);
  return j.finish();
}

std::string insert_trace_json(const InsertTraceEvent& e) {
  JsonLine j;
  j.u64("insert_id", e.insert_id)
      .u64("point_id", e.point_id)
      .u64("level", e.level)
      .u64("current_max_level", e.current_max_level)
      .u64("layer", e.layer)
      .opt_u64("entry_point", e.entry_point)
      .u64("current_entry", e.current_entry)
      .u64("candidates", e.candidates)
      .u64("neighbors", e.neighbors)
      .opt_u64("best_neighbor", e.best_neighbor)
      .f64("elapsed_ms", e.elapsed_ms);
  return j.finish();
}

bool search_trace_enabled() { return search_sink().on(); }
bool insert_trace_enabled() { return insert_sink().on(); }

void emit_search_trace(const SearchTraceEvent& e) {
  TraceSink& sink = search_sink();
  if (sink.on()) sink.write(search_trace_json(e));
}

void emit_insert_trace(const InsertTraceEvent& e) {
  TraceSink& sink = insert_sink();
  if (sink.on()) sink.write(insert_trace_json(e));
}

// ---- Trace event builders ------------------------------------------------------

namespace {

SearchTraceEvent with_search_fields(SearchTraceEvent e, const TraceContext& trace, const TraceIndexInfo& index,
                                    size_t ef) {
  e.search_id = trace.search_id;
  e.metric = index.metric;
  e.ef_search = ef;
  e.exact_fallback_enabled = index.exact_fallback_enabled;
  e.exact_fallback_threshold = index.exact_fallback_threshold;
  e.elapsed_ms = fractional_ms(trace.start, now());
  return e;
}

}  // namespace

SearchTraceEvent beam_trace_event(const TraceContext& trace, const TraceIndexInfo& index, size_t ef,
                                  SearchTraceEvent figures) {
  return with_search_fields(std::move(figures), trace, index, ef);
}

SearchTraceEvent search_start_event(const TraceContext& trace, const TraceIndexInfo& index, size_t k, uint64_t live,
                                    bool exact) {
  SearchTraceEvent e;
  e.collection_size = live;
  e.exact_scan = exact;
  e.stop_reason = "start";
  return with_search_fields(std::move(e), trace, index, k);
}

SearchTraceEvent exact_scan_event(const TraceContext& trace, const TraceIndexInfo& index, size_t k, uint64_t live,
                                  const ScoredNode* kept, size_t kept_len) {
  SearchTraceEvent e = search_start_event(trace, index, k, live, /*exact=*/true);
  if (kept_len != 0) {
    e.top_id = kept[0].node;
    e.top_raw = kept[0].raw;
    e.top_sort_key = kept[0].key;
    e.worst_score = kept[kept_len - 1].key;
  }
  e.visited = live;
  e.expanded = live;
  e.results_len = kept_len;
  e.stop_reason = "exact_scan";
  e.elapsed_ms = fractional_ms(trace.start, now());
  return e;
}

}  // namespace ulmora::hnsw
