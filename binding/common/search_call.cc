#include "search_call.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "batch.h"

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

namespace {

PyObject* pack_pair(PyObject* ids, PyObject* scores) {
  Ref a(ids), b(scores);
  if (!a || !b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
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

PyObject* search_one(const NumpyHandles& np, const SearchTarget& target, std::span<const float> query,
                     const SearchArgs& args) {
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
  const Status status = target.with_graph(
      [&](const HnswIndex& g) -> Status {
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
      },
      searches);
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
  return pack_pair(ids.release(), scores.release());
}

}  // namespace ulmora::binding
