// The SQ8 route of level 0: the query's 16-bit code, a code-space beam
// ef x factor wide, then either the approximate code scores or a
// full-precision rerank of the candidates, cut back to ef.
#include <algorithm>
#include <cmath>
#include <string>

#include "vector/hnsw/beam.h"
#include "vector/kernels/rounding.h"

namespace ulmora::hnsw {

// The query's code, one loop per metric so that each vectorises. Euclidean
// dimensions past the stored offsets and steps (none when the index was
// quantised empty) use offset 0 and step 1.
void query_code_i16(const Graph& g, std::span<const float> q, std::vector<int16_t>& out) {
  out.resize(q.size());
  int16_t* x = out.data();
  const size_t n = q.size();
  if (g.metric == Metric::kCosine) {
    kernels::cosine_query_code(q.data(), n, x);
    return;
  }
  const size_t stored = std::min({n, g.sq8_mins.size(), g.sq8_scales.size()});
  const float* lo = g.sq8_mins.data();
  const float* scale = g.sq8_scales.data();
  kernels::scaled_query_code(q.data(), lo, scale, stored, x);
  for (size_t d = stored; d < n; ++d) {
    const float l = d < g.sq8_mins.size() ? lo[d] : 0.0f;
    const float s = d < g.sq8_scales.size() ? scale[d] : 1.0f;
    x[d] = kernels::round_code((q[d] - l) / s, 0.0f, 255.0f);
  }
}

// Full-precision scores of the candidates, sixteen vectors at a time; every
// line (up to 4 KiB) of the next sixteen is requested while these are
// scored: the candidates were found in code space, so their vectors are cold.
void rerank(const Graph& g, const Scorer& scorer, std::vector<ScoredNode>& list) {
  const float* ptrs[kBatch];
  float raws[kBatch];
  auto request = [&](size_t begin) {
    const size_t end = std::min(list.size(), begin + kBatch);
    for (size_t i = begin; i < end; ++i) prefetch_bytes(g.vector(list[i].node), g.dim * sizeof(float), 4096);
  };
  request(0);
  for (size_t begin = 0; begin < list.size(); begin += kBatch) {
    size_t count = std::min(kBatch, list.size() - begin);
    for (size_t j = 0; j < count; ++j) ptrs[j] = g.vector(list[begin + j].node);
    request(begin + kBatch);
    scorer.raw_many(ptrs, count, raws);
    for (size_t j = 0; j < count; ++j) {
      list[begin + j].raw = raws[j];
      list[begin + j].key = scorer.key(raws[j]);
    }
  }
}

// Orders `list` by key, equal keys keeping their current order, and keeps
// the first `keep`. Sorting positions by (key, position) gives the stable
// order without the temporary buffer std::stable_sort would allocate.
void stable_keep(std::vector<ScoredNode>& list, size_t keep, QueryScratch& qs) {
  const size_t n = list.size();
  keep = std::min(keep, n);
  qs.order.resize(n);
  for (size_t i = 0; i < n; ++i) qs.order[i] = static_cast<uint32_t>(i);
  auto less = [&](uint32_t a, uint32_t b) { return list[a].key < list[b].key || (list[a].key == list[b].key && a < b); };
  std::partial_sort(qs.order.begin(), qs.order.begin() + keep, qs.order.end(), less);
  qs.reordered.resize(keep);
  for (size_t i = 0; i < keep; ++i) qs.reordered[i] = list[qs.order[i]];
  list.assign(qs.reordered.begin(), qs.reordered.end());
}

namespace {

// Code-space beam of the SQ8 route: the candidates in ascending code key.
// No fallback seed: when no seed is admissible the list is empty.
Status search_layer_sq8(const Graph& g, const SearchRequest& req, std::span<const int16_t> code,
                        std::span<const uint64_t> seeds, std::vector<ScoredNode>& out) {
  out.clear();
  if (code.size() != g.dim) return StoreError::VectorLengthMismatch(g.dim, code.size());
  BeamSettings b;
  b.ef = req.ef;
  b.apply_expansion_cap = false;
  b.early_exit = true;
  b.patience = req.options->early_exit_patience;
  b.scan = ScanKind::kPlain;
  const uint64_t n = g.published_len();
  ScratchLease lease;
  if (!lease.ok()) return nested_scratch_error();
  Beam beam(g, lease.get(), n, 0);
  const kernels::KernelTable& k = kernels::active();
  if (g.metric == Metric::kCosine) {
    // Cosine query codes lie in [-128, 127]: as signed bytes they give the
    // same centred scores through the byte kernels, which read half as much.
    std::vector<int8_t>& code8 = lease.get().code_i8;
    code8.resize(code.size());
    for (size_t d = 0; d < code.size(); ++d) code8[d] = static_cast<int8_t>(code[d]);
    beam.use_codes(code8.data(), k.sq8_dot_i8, k.sq8_dot_i8_x4);
  } else {
    beam.use_codes(code.data(), k.sq8_neg_l2_i16, k.sq8_neg_l2_i16_x4);
  }
  if (beam.seed(seeds, SeedFallback::kNone)) beam.run(b, nullptr);
  if (req.trace) {
    const std::string metric = std::string(metric_name(g.metric)) + "+SQ8";
    const TraceIndexInfo info{metric.c_str(), g.exact_fallback_enabled, g.exact_fallback_threshold};
    SearchTraceEvent e =
        beam_trace_event(*req.trace, info, req.ef, beam.figures(*req.trace, beam.entry().node, beam.entry().key));
    e.stop_reason = "sq8_search_done";
    emit_search_trace(e);
  }
  if (req.counters) *req.counters = SearchCounters{beam.visited(), beam.expanded()};
  beam.take_results(out);
  return Status::Ok();
}

}  // namespace

bool takes_sq8_route(const Graph& g, const ResolvedOptions& o) {
  const bool score_only = g.metric == Metric::kCosine && o.sq8_score_only;
  return (score_only || o.rerank_factor != 0) && !g.sq8_codes.empty() && g.metric != Metric::kDot;
}

Status search_level0(const Graph& g, const SearchRequest& req, std::span<const uint64_t> seeds,
                     std::vector<ScoredNode>& out) {
  const ResolvedOptions& o = *req.options;
  const size_t factor = o.rerank_factor;
  const bool score_only = g.metric == Metric::kCosine && o.sq8_score_only;
  if (!takes_sq8_route(g, o)) return search_layer(g, req, seeds, 0, out);

  const size_t c = score_only ? req.ef : std::max(saturating_mul(req.ef, factor), req.ef);
  if (req.query.size() != g.dim) return StoreError::VectorLengthMismatch(g.dim, req.query.size());
  std::vector<int16_t>& code = query_scratch().code_i16;
  query_code_i16(g, req.query, code);
  ULMORA_TRY(search_layer_sq8(g, req.with_ef(c), code, seeds, out));

  if (score_only) {
    for (ScoredNode& node : out) {
      node.raw = sq8_cosine_raw(std::bit_cast<int32_t>(node.raw));
      node.key = node.raw;
    }
  } else {
    rerank(g, Scorer(req.traits, req.query.data(), g.dim), out);
  }
  stable_keep(out, req.ef, query_scratch());
  return Status::Ok();
}

}  // namespace ulmora::hnsw
