// The float beam: option resolution, beam settings per level, and
// search_layer. The Beam class itself lives in beam.h.
#include <cmath>
#include <string>

#include "base/hash.h"
#include "vector/hnsw/beam.h"
#include "vector/hnsw/config.h"

namespace ulmora::hnsw {

SearchScratch& search_scratch() {
  thread_local SearchScratch scratch;
  return scratch;
}

QueryScratch& query_scratch() {
  thread_local QueryScratch scratch;
  return scratch;
}

StoreError nested_scratch_error() { return StoreError::SearchFailed("search scratch is already in use on this thread"); }

int32_t screen_threshold(float worst) {
  float v = (1.0f - worst) * 127.5f * 127.5f * 0.85f;
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0f) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

uint64_t query_hash(std::span<const float> query) {
  // Element count (8 bytes LE) then each element's bit pattern (4 bytes LE),
  // laid out in a reused per-thread buffer.
  thread_local std::vector<uint8_t> bytes;
  bytes.resize(8 + 4 * query.size());
  uint64_t count = query.size();
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(count >> (8 * i));
  for (size_t j = 0; j < query.size(); ++j) {
    uint32_t bits = std::bit_cast<uint32_t>(query[j]);
    for (int i = 0; i < 4; ++i) bytes[8 + 4 * j + i] = static_cast<uint8_t>(bits >> (8 * i));
  }
  return siphash13(bytes.data(), bytes.size(), 0, 0);
}

// ---- Options ---------------------------------------------------------------------

ResolvedOptions resolve_options(const SearchOptions& o, std::span<const float> query) {
  ResolvedOptions r;
  r.early_exit_patience =
      o.early_exit_patience ? *o.early_exit_patience : static_cast<size_t>(tuning::early_exit_patience());
  if (o.scan_cap) {
    r.level0_scan_cap = *o.scan_cap == 0 ? kUncapped : *o.scan_cap;
  } else if (std::optional<uint64_t> env = tuning::neighbor_scan_cap_level0(); env && *env != 0 && *env < kUncapped) {
    r.level0_scan_cap = static_cast<size_t>(*env);
  }
  r.scan_patience = o.scan_patience ? *o.scan_patience
                                    : static_cast<size_t>(tuning::neighbor_scan_patience().value_or(0));
  r.expansion_mult = o.expansion_mult ? *o.expansion_mult : static_cast<size_t>(tuning::search_expansion_mult());
  if (r.expansion_mult == 0) r.expansion_mult = 1;
  if (std::optional<uint64_t> cap = tuning::search_expansion_cap()) r.expansion_cap = static_cast<size_t>(*cap);
  r.early_exit = !tuning::disable_early_exit();
  r.rotate = tuning::neighbor_scan_rotate();
  r.stride = tuning::neighbor_scan_stride();
  if (r.rotate || r.stride) r.query_hash = query_hash(query);
  r.triangle_skip = o.triangle_skip.value_or(tuning::triangle_skip());
  r.sq8_screen = o.sq8_screen.value_or(tuning::sq8_screen());
  r.sq8_score_only = o.sq8_score_only.value_or(tuning::sq8_score_only());
  r.rerank_factor = o.rerank_factor ? *o.rerank_factor : static_cast<size_t>(tuning::sq8_rerank_factor().value_or(0));
  r.entry_seeds = o.entry_seeds;
  if (!r.entry_seeds) {
    if (std::optional<uint64_t> env = tuning::num_entry_seeds()) r.entry_seeds = static_cast<size_t>(*env);
  }
  r.adaptive_ef_high = o.adaptive_ef_high;
  if (!r.adaptive_ef_high) {
    if (std::optional<uint64_t> env = tuning::adaptive_ef_high()) r.adaptive_ef_high = static_cast<size_t>(*env);
  }
  r.adaptive_ef_threshold = o.adaptive_ef_threshold;
  if (!r.adaptive_ef_threshold) r.adaptive_ef_threshold = tuning::adaptive_ef_score_threshold();
  return r;
}

BeamSettings float_beam_settings(const Graph& g, const SearchRequest& req, uint64_t level) {
  const ResolvedOptions& o = *req.options;
  BeamSettings b;
  b.ef = req.ef;
  b.expansion_cap = o.expansion_cap ? *o.expansion_cap : std::max(saturating_mul(req.ef, o.expansion_mult), req.ef);
  b.apply_expansion_cap = g.metric != Metric::kDot;
  tuning::note_scan_config(o.expansion_mult, b.expansion_cap);
  b.rotate = o.rotate;
  b.stride = o.stride;
  b.query_hash = o.query_hash;
  b.early_exit = o.early_exit;
  b.patience = o.early_exit_patience;
  b.scan_cap = level == 0 ? o.level0_scan_cap : kUncapped;
  b.scan_patience = g.metric == Metric::kDot ? 0 : o.scan_patience;
  const bool triangle_skip = level == 0 && g.metric == Metric::kCosine && o.triangle_skip && g.neighbor_scores.len() > 0;
  const bool sq8 = level == 0 && g.metric == Metric::kCosine && !triangle_skip && !g.sq8_codes.empty() && o.sq8_screen;
  const bool plain = !req.counters && b.scan_cap == kUncapped && b.scan_patience == 0 && !b.rotate && !b.stride;
  if (!plain) b.scan = ScanKind::kGeneral;
  else if (triangle_skip) b.scan = ScanKind::kTriangleSkip;
  else if (sq8) b.scan = ScanKind::kSq8;
  else b.scan = ScanKind::kPlain;
  return b;
}

Status search_layer(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds, uint64_t level,
                    std::vector<ScoredNode>& out) {
  out.clear();
  if (req.query.size() != g.dim) return StoreError::VectorLengthMismatch(g.dim, req.query.size());
  BeamSettings b = float_beam_settings(g, req, level);
  const uint64_t n = g.published_len();
  ScratchLease lease;
  if (!lease.ok()) return nested_scratch_error();
  SearchScratch& s = lease.get();
  Beam beam(g, s, n, level);
  const Scorer scorer(req.traits, req.query.data(), g.dim);
  beam.use_scorer(&scorer);
  const bool seeded = beam.seed(seeds, SeedFallback::kLowestLinked);

  if (b.scan == ScanKind::kSq8) {
    quantize_query_i8(req.query, s.code_i8);
    beam.use_screen(s.code_i8.data());
  }

  const char* stop = seeded ? beam.run(b, req.trace) : "queue_empty";
  if (req.trace) {
    const TraceIndexInfo info{metric_name(g.metric), g.exact_fallback_enabled, g.exact_fallback_threshold};
    SearchTraceEvent e =
        beam_trace_event(*req.trace, info, req.ef, beam.figures(*req.trace, beam.entry().node, beam.entry().key));
    e.stop_reason = stop;
    emit_search_trace(e);
  }
  if (req.counters) *req.counters = SearchCounters{beam.visited(), beam.expanded()};
  beam.take_results(out);
  return Status::Ok();
}

}  // namespace ulmora::hnsw
