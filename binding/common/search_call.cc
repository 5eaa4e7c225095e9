#include "search_call.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "batch.h"
#include "segment/segment.h"

namespace ulmora::binding {

using hnsw::HnswIndex;
using hnsw::ScoredNode;
using hnsw::SearchOptions;

SearchOptions search_options(const SearchArgs& args, size_t ef) {
  SearchOptions options;
  options.ef = ef;
  options.scan_cap = static_cast<size_t>(args.scan_cap);
  options.early_exit_patience = static_cast<size_t>(args.patience);
  options.sq8_screen = args.sq8_screen;
  if (args.rerank) options.rerank_factor = static_cast<size_t>(*args.rerank);
  return options;
}

bool to_rerank(PyObject* obj, const char* func, std::optional<uint64_t>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  uint64_t factor = 0;
  if (!to_u64(obj, func, "rerank", &factor)) return false;
  if (factor == 0) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'rerank' must be at least 1, got 0", func);
    return false;
  }
  *out = factor;
  return true;
}

bool to_search_options(PyObject* sq8_screen, PyObject* scan_cap, PyObject* patience, PyObject* rerank,
                       const char* func, SearchArgs* out) {
  return (!sq8_screen || to_bool(sq8_screen, func, "sq8_screen", &out->sq8_screen)) &&
         (!scan_cap || to_u64(scan_cap, func, "scan_cap", &out->scan_cap)) &&
         (!patience || to_u64(patience, func, "patience", &out->patience)) && to_rerank(rerank, func, &out->rerank);
}

void raise_non_finite(const char* name, const char* position, size_t at) {
  PyErr_Format(PyExc_ValueError, "%s contains a non-finite value at %s %zu", name, position, at);
}

Status SearchTarget::with_segment(const SegmentCall&) const {
  return StoreError::SearchFailed("filters and payloads need a segment (ulmora.open)");
}

PyObject* SearchTarget::payload_object(const Payload&) const { Py_RETURN_NONE; }

namespace {

PyObject* pack_pair(PyObject* ids, PyObject* scores) {
  Ref a(ids), b(scores);
  if (!a || !b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
}

// (ids, scores) + payloads: a new 3-tuple; steals `pair` and `payloads`.
PyObject* with_third(PyObject* pair, PyObject* payloads) {
  Ref p(pair), l(payloads);
  if (!p || !l) return nullptr;
  return PyTuple_Pack(3, PyTuple_GetItem(p.get(), 0), PyTuple_GetItem(p.get(), 1), l.get());
}

// Payload copies of the given ids, taken under the segment's read access
// (absent: no payload, or a padding slot).
void copy_payloads(const Segment& seg, std::span<const uint64_t> ids, std::vector<std::optional<Payload>>& out) {
  out.assign(ids.size(), std::nullopt);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == kMissingId) continue;
    if (auto it = seg.payloads().find(ids[i]); it != seg.payloads().end()) out[i] = it->second;
  }
}

// A list of the payloads [begin, end) as Python objects.
PyObject* payload_list(const SearchTarget& target, const std::vector<std::optional<Payload>>& p, size_t begin,
                       size_t end) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(end - begin)));
  if (!list) return nullptr;
  for (size_t i = begin; i < end; ++i) {
    PyObject* item = p[i] ? target.payload_object(*p[i]) : Py_NewRef(Py_None);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - begin), item);  // steals
  }
  return list.release();
}

// The filter of a row: none, the shared one, or the row's own.
const Filter* filter_of(const SearchArgs& args, size_t row) {
  if (!args.filters || args.filters->empty()) return nullptr;
  return args.filters->size() == 1 ? &(*args.filters)[0] : &(*args.filters)[row];
}

// One query on the segment: the unfiltered graph search when there is no
// filter and no exact route, else the planner.
Status segment_query(const Segment& seg, const Filter* filter, const FilterPlan* plan, std::span<const float> query,
                     const SearchArgs& args, const Limits& limits, std::vector<ScoredNode>& out) {
  const SearchOptions options = search_options(args, limits.ef);
  if (plan) return filtered_search(seg, *plan, query, limits.k, options, out);
  if (filter && filter->op == Filter::Op::kAll) filter = nullptr;
  if (!filter && args.route != SearchRoute::kExact) return seg.hnsw().search(query, limits.k, options, out);
  return filtered_search(seg, filter ? *filter : Filter::all(), args.route, query, limits.k, options, out);
}

}  // namespace

PyObject* results_to_arrays(const NumpyHandles& np, std::span<const ScoredNode> results) {
  const auto n = static_cast<Py_ssize_t>(results.size());
  void* ids_data = nullptr;
  void* scores_data = nullptr;
  Ref ids(new_array(np, np.uint64, n, -1, &ids_data));
  if (!ids) return nullptr;
  Ref scores(new_array(np, np.float32, n, -1, &scores_data));
  if (!scores) return nullptr;
  auto* id_out = static_cast<uint64_t*>(ids_data);
  auto* score_out = static_cast<float*>(scores_data);
  for (size_t i = 0; i < results.size(); ++i) {
    id_out[i] = results[i].node;
    score_out[i] = results[i].raw;
  }
  return pack_pair(ids.release(), scores.release());
}

namespace {

PyObject* search_one_segment(const NumpyHandles& np, const SearchTarget& target, std::span<const float> query,
                             const SearchArgs& args) {
  std::vector<ScoredNode> results;
  std::vector<std::optional<Payload>> payloads;
  const Status status = target.with_segment([&](const Segment& seg) -> Status {
    const HnswIndex& g = seg.hnsw();
    if (query.size() != g.dim()) return StoreError::VectorLengthMismatch(g.dim(), query.size());
    if (args.k == 0) return Status::Ok();
    const Limits limits = effective_limits(args.k, args.ef.value_or(g.ef_search()), g.len());
    ULMORA_TRY(segment_query(seg, filter_of(args, 0), nullptr, query, args, limits, results));
    if (args.with_payload) {
      std::vector<uint64_t> ids;
      for (const ScoredNode& x : results) ids.push_back(x.node);
      copy_payloads(seg, ids, payloads);
    }
    return Status::Ok();
  });
  if (!status.ok()) {
    target.raise(status.error());
    return nullptr;
  }
  PyObject* pair = results_to_arrays(np, results);
  if (!args.with_payload) return pair;
  return with_third(pair, payload_list(target, payloads, 0, payloads.size()));
}

}  // namespace

PyObject* search_one(const NumpyHandles& np, const SearchTarget& target, std::span<const float> query,
                     const SearchArgs& args) {
  if (args.on_segment()) return search_one_segment(np, target, query, args);
  // From here until the results are moved out, no Python code runs on this
  // thread, so the thread's reusable result list cannot be re-entered.
  std::vector<ScoredNode>& buffer = thread_buffers().results[0];
  buffer.clear();
  const Status status = target.with_graph(
      [&](const HnswIndex& g) -> Status {
        if (query.size() != g.dim()) return StoreError::VectorLengthMismatch(g.dim(), query.size());
        if (args.k == 0) return Status::Ok();
        const Limits limits = effective_limits(args.k, args.ef.value_or(g.ef_search()), g.len());
        return g.search(query, limits.k, search_options(args, limits.ef), buffer);
      },
      args.k != 0);
  if (!status.ok()) {
    target.raise(status.error());
    return nullptr;
  }
  // Building the arrays may run Python code (a collection, a finaliser) that
  // searches on this thread again; work on the results outside the buffer.
  std::vector<ScoredNode> results;
  results.swap(buffer);
  PyObject* out = results_to_arrays(np, results);
  results.clear();
  buffer.swap(results);
  return out;
}

PyObject* search_many(const NumpyHandles& np, const SearchTarget& target, const float* queries, size_t rows,
                      size_t dim, const SearchArgs& args) {
  if (const std::string over = batch_budget_error(rows, args.k); !over.empty()) {
    raise_text(PyExc_OverflowError, over);
    return nullptr;
  }
  // The budget bounds k below 2^63, so both extents fit Py_ssize_t.
  const auto shape_rows = static_cast<Py_ssize_t>(rows);
  const auto shape_cols = static_cast<Py_ssize_t>(args.k);
  void* ids_data = nullptr;
  void* scores_data = nullptr;
  Ref ids(new_array(np, np.uint64, shape_rows, shape_cols, &ids_data));
  if (!ids) return nullptr;
  Ref scores(new_array(np, np.float32, shape_rows, shape_cols, &scores_data));
  if (!scores) return nullptr;

  const bool searches = rows != 0 && args.k != 0;
  std::unique_ptr<float[]> copy;
  if (searches) {
    copy.reset(new float[rows * dim]);
    std::memcpy(copy.get(), queries, rows * dim * sizeof(float));
  }
  BatchOutcome outcome;
  std::vector<std::optional<Payload>> payloads;
  const auto on_graph = [&](const HnswIndex& g) -> Status {
    if (dim != g.dim()) return StoreError::VectorLengthMismatch(g.dim(), dim);
    if (!searches) return Status::Ok();
    const Limits limits = effective_limits(args.k, args.ef.value_or(g.ef_search()), g.len());
    const SearchOptions options = search_options(args, limits.ef);
    const size_t workers = worker_count(args.threads, rows, available_parallelism());
    const BatchJob job{copy.get(), rows, dim, static_cast<size_t>(args.k), static_cast<uint64_t*>(ids_data),
                       static_cast<float*>(scores_data)};
    const GroupSearch group = [&](std::span<const float> group_rows, size_t count, std::vector<ScoredNode>* outs,
                                  size_t* failed) {
      return g.search_group(group_rows, count, limits.k, options, outs, failed);
    };
    outcome = run_batch(job, workers, group);
    return Status::Ok();
  };
  // On the segment: one plan for a shared filter, one per row otherwise.
  const auto on_segment = [&](const Segment& seg) -> Status {
    const HnswIndex& g = seg.hnsw();
    if (dim != g.dim()) return StoreError::VectorLengthMismatch(g.dim(), dim);
    if (!searches) return Status::Ok();
    const Limits limits = effective_limits(args.k, args.ef.value_or(g.ef_search()), g.len());
    const bool shared = args.filters && args.filters->size() == 1;
    std::optional<FilterPlan> plan;
    if (shared) {
      Result<FilterPlan> made = plan_filter((*args.filters)[0], seg, args.route, limits.ef);
      if (!made.ok()) return made.error();
      plan.emplace(std::move(made.value()));
    }
    // Rows with equal filters share a plan.
    BatchPlans repeated;
    if (args.filters && args.filters->size() > 1) {
      Result<BatchPlans> made = plan_repeated_filters(*args.filters, seg, args.route, limits.ef);
      if (!made.ok()) return made.error();
      repeated = std::move(made.value());
    }
    const auto plan_of = [&](size_t row) -> const FilterPlan* {
      if (plan) return &*plan;
      if (row < repeated.of_row.size() && repeated.of_row[row] != BatchPlans::kOwnPlan)
        return &repeated.plans[repeated.of_row[row]];
      return nullptr;
    };
    const size_t workers = worker_count(args.threads, rows, available_parallelism());
    const BatchJob job{copy.get(), rows, dim, static_cast<size_t>(args.k), static_cast<uint64_t*>(ids_data),
                       static_cast<float*>(scores_data)};
    const IndexedRowSearch row_search = [&](size_t row, std::span<const float> q, std::vector<ScoredNode>& out) {
      return segment_query(seg, filter_of(args, row), plan_of(row), q, args, limits, out);
    };
    outcome = run_batch(job, workers, row_search);
    if (args.with_payload && outcome.kind == BatchOutcome::Kind::kOk)
      copy_payloads(seg, {static_cast<const uint64_t*>(ids_data), rows * args.k}, payloads);
    return Status::Ok();
  };
  const Status status = args.on_segment() ? target.with_segment(on_segment) : target.with_graph(on_graph, searches);
  if (!status.ok()) {
    target.raise(status.error());
    return nullptr;
  }
  if (outcome.kind == BatchOutcome::Kind::kThreadStart) {
    raise_internal(outcome.text.c_str());
    return nullptr;
  }
  if (outcome.kind == BatchOutcome::Kind::kFailed) {
    raise_text(PyExc_RuntimeError, outcome.text);
    return nullptr;
  }
  PyObject* pair = pack_pair(ids.release(), scores.release());
  if (!args.with_payload || pair == nullptr) return pair;
  Ref rows_list(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!rows_list) {
    Py_DECREF(pair);
    return nullptr;
  }
  if (payloads.size() != rows * args.k) payloads.assign(rows * args.k, std::nullopt);
  for (size_t r = 0; r < rows; ++r) {
    PyObject* row = payload_list(target, payloads, r * args.k, (r + 1) * args.k);
    if (row == nullptr) {
      Py_DECREF(pair);
      return nullptr;
    }
    PyList_SetItem(rows_list.get(), static_cast<Py_ssize_t>(r), row);
  }
  return with_third(pair, rows_list.release());
}

}  // namespace ulmora::binding
