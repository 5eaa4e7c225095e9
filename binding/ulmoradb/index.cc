#include "index.h"

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "batch.h"
#include "numpy_bridge.h"
#include "segment/segment.h"
#include "vector/hnsw/index.h"
#include "vector/hnsw/search.h"

namespace ulmoradb {

namespace {

using ulmora::Segment;
using ulmora::Status;
using ulmora::hnsw::HnswIndex;
using ulmora::hnsw::ScoredNode;
using ulmora::hnsw::SearchOptions;

struct IndexObject {
  PyObject_HEAD
  HnswIndex* index;  // owned; never null in a constructed instance
};

const HnswIndex& index_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->index; }

// Raises `type` with a message that may come from native code; undecodable
// bytes are replaced rather than turning into a decoding error.
void raise_text(PyObject* type, const std::string& text) {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

void raise_dim_mismatch(uint64_t dim, size_t got) {
  PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %zu",
               static_cast<unsigned long long>(dim), got);
}

void raise_non_finite(const char* name, size_t at) {
  PyErr_Format(PyExc_ValueError, "%s contains a non-finite value at flat index %zu", name, at);
}

constexpr char kNotContiguous[] = "The given array is not contiguous or is misaligned.";

// ---- Construction, dim, len, lifetime ------------------------------------

// Loads the segment, takes its graph (see Segment::release_graph) and drops
// the rest. Returns nullptr with an error set on failure.
std::unique_ptr<HnswIndex> load_index(const std::string& path, bool quantize) {
  // The operating system would read such a name only up to the NUL and open
  // some other file, so refuse it the way a failed open is reported.
  if (path.find('\0') != std::string::npos) {
    raise_text(PyExc_RuntimeError, ulmora::StoreError::Io("file name contained an unexpected NUL byte").message());
    return nullptr;
  }
  auto loaded = Segment::load(path);
  if (!loaded.ok()) {
    raise_text(PyExc_RuntimeError, loaded.error().message());
    return nullptr;
  }
  std::unique_ptr<Segment> segment = std::move(loaded).value();
  auto restored = segment->release_graph();
  segment.reset();  // payloads and the log writer are not needed
  if (!restored.ok()) {
    raise_text(PyExc_RuntimeError, restored.error().message());
    return nullptr;
  }
  std::unique_ptr<HnswIndex> index = std::move(restored).value();
  if (quantize) index->quantize_sq8();
  // Nothing changes a loaded Index: searches may read its lists in place.
  index->freeze();
  return index;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static char path_kw[] = "path";
    static char quantize_kw[] = "quantize";
    static char* kwlist[] = {path_kw, quantize_kw, nullptr};
    PyObject* path = nullptr;
    PyObject* quantize_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:Index", kwlist, &path, &quantize_arg)) return nullptr;
    if (!PyUnicode_Check(path)) {
      raise_arg_type("Index", "path", "str", path);
      return nullptr;
    }
    bool quantize = false;
    if (quantize_arg != nullptr && !to_bool(quantize_arg, "Index", "quantize", &quantize)) return nullptr;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &length);
    if (utf8 == nullptr) return nullptr;

    std::unique_ptr<HnswIndex> index = load_index(std::string(utf8, static_cast<size_t>(length)), quantize);
    if (!index) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the index is destroyed with its owner
    reinterpret_cast<IndexObject*>(self)->index = index.release();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IndexObject*>(self)->index;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* index_dim(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(index_of(self).dim()); });
}

Py_ssize_t index_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const uint64_t count = index_of(self).len();
    if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  });
}

// ---- Shared search pieces ------------------------------------------------

// The scalar arguments both search methods share, with their defaults.
struct SearchArgs {
  uint64_t k = 20;
  uint64_t ef = 128;
  bool sq8_screen = false;
  uint64_t scan_cap = 0;
  uint64_t patience = 2;
};

// Converts slots[1..5] (k, ef, sq8_screen, scan_cap, patience) in order.
bool convert_search_args(const ParamList& params, PyObject* const* slots, SearchArgs* out) {
  const char* f = params.func();
  return (!slots[1] || to_u64(slots[1], f, "k", &out->k)) && (!slots[2] || to_u64(slots[2], f, "ef", &out->ef)) &&
         (!slots[3] || to_bool(slots[3], f, "sq8_screen", &out->sq8_screen)) &&
         (!slots[4] || to_u64(slots[4], f, "scan_cap", &out->scan_cap)) &&
         (!slots[5] || to_u64(slots[5], f, "patience", &out->patience));
}

// Calls from Python always set ef, scan_cap, early-exit patience and SQ8
// screening, so the matching environment values never apply to them.
SearchOptions make_options(size_t ef, const SearchArgs& args) {
  SearchOptions options;
  options.ef = ef;
  options.scan_cap = static_cast<size_t>(args.scan_cap);
  options.early_exit_patience = static_cast<size_t>(args.patience);
  options.sq8_screen = args.sq8_screen;
  return options;
}

PyObject* pack_pair(PyObject* ids, PyObject* scores) {
  Ref a(ids), b(scores);
  if (!a || !b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
}

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

// ---- search --------------------------------------------------------------

PyObject* search_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ParamList params("search", {"query", "k", "ef", "sq8_screen", "scan_cap", "patience"}, 1);
  PyObject* slots[6];
  if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
  const NumpyHandles* np = numpy_handles();
  if (np == nullptr) return nullptr;
  F32Array query;
  SearchArgs sa;
  if (!query.bind(*np, slots[0], 1, "search", "query") || !convert_search_args(params, slots, &sa)) return nullptr;

  const HnswIndex& index = index_of(self);
  const size_t n = query.shape(0);
  if (n == 0) {
    raise_dim_mismatch(index.dim(), 0);
    return nullptr;
  }
  if (!query.aligned() || !query.c_contiguous()) {
    PyErr_SetString(PyExc_TypeError, kNotContiguous);
    return nullptr;
  }
  if (n != index.dim()) {
    raise_dim_mismatch(index.dim(), n);
    return nullptr;
  }
  // From here until the results are moved out, no Python code runs on this
  // thread, so the thread's reusable buffers cannot be re-entered.
  ThreadBuffers& buffers = thread_buffers();
  buffers.query.resize(n);
  if (const size_t bad = copy_finite(query.data(), n, buffers.query.data()); bad < n) {
    raise_non_finite("query", bad);
    return nullptr;
  }
  if (sa.k == 0) return results_to_arrays(*np, {});

  const Limits limits = effective_limits(sa.k, sa.ef, index.len());
  const SearchOptions options = make_options(limits.ef, sa);
  Status status;
  {
    GilRelease nogil;
    status = index.search(std::span<const float>(buffers.query.data(), n), limits.k, options, buffers.results[0]);
  }
  if (!status.ok()) {
    raise_text(PyExc_RuntimeError, status.error().message());
    return nullptr;
  }
  // Building the arrays may run Python code (a collection, a finaliser) that
  // searches on this thread again; work on the results outside the buffer.
  std::vector<ScoredNode> results;
  results.swap(buffers.results[0]);
  PyObject* out = results_to_arrays(*np, results);
  results.clear();
  buffers.results[0].swap(results);
  return out;
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return search_impl(self, args, nargs, kwnames); });
}

// ---- search_batch --------------------------------------------------------

// Checks shape, layout and content of a bound (rows, cols) matrix in the
// documented order. Returns false with the error set.
bool validate_queries(const F32Array& queries, uint64_t dim) {
  const size_t rows = queries.shape(0);
  const size_t cols = queries.shape(1);
  if (cols != dim) {
    raise_dim_mismatch(dim, cols);
    return false;
  }
  if (!queries.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "queries must be C-contiguous (row-major)");
    return false;
  }
  if (rows * cols == 0) return true;
  if (!queries.aligned()) {
    PyErr_SetString(PyExc_TypeError, kNotContiguous);
    return false;
  }
  if (const size_t bad = first_non_finite(queries.data(), rows * cols); bad < rows * cols) {
    raise_non_finite("queries", bad);
    return false;
  }
  return true;
}

PyObject* search_batch_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ParamList params("search_batch",
                                {"queries", "k", "ef", "sq8_screen", "scan_cap", "patience", "threads"}, 1);
  PyObject* slots[7];
  if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
  const NumpyHandles* np = numpy_handles();
  if (np == nullptr) return nullptr;
  F32Array queries;
  SearchArgs sa;
  uint64_t threads = 1;
  if (!queries.bind(*np, slots[0], 2, "search_batch", "queries") || !convert_search_args(params, slots, &sa) ||
      (slots[6] && !to_u64(slots[6], "search_batch", "threads", &threads))) {
    return nullptr;
  }

  const HnswIndex& index = index_of(self);
  if (!validate_queries(queries, index.dim())) return nullptr;
  const size_t rows = queries.shape(0);
  const size_t dim = queries.shape(1);
  if (const std::string over = batch_budget_error(rows, sa.k); !over.empty()) {
    raise_text(PyExc_OverflowError, over);
    return nullptr;
  }
  // The budget bounds k below 2^63, so both extents fit Py_ssize_t.
  const auto shape_rows = static_cast<Py_ssize_t>(rows);
  const auto shape_cols = static_cast<Py_ssize_t>(sa.k);
  void* ids_data = nullptr;
  void* scores_data = nullptr;
  Ref ids(new_array(*np, np->uint64, shape_rows, shape_cols, &ids_data));
  if (!ids) return nullptr;
  Ref scores(new_array(*np, np->float32, shape_rows, shape_cols, &scores_data));
  if (!scores) return nullptr;
  if (sa.k == 0 || rows == 0) return pack_pair(ids.release(), scores.release());

  std::unique_ptr<float[]> copy(new float[rows * dim]);
  std::memcpy(copy.get(), queries.data(), rows * dim * sizeof(float));
  const Limits limits = effective_limits(sa.k, sa.ef, index.len());
  const SearchOptions options = make_options(limits.ef, sa);
  const size_t workers = worker_count(threads, rows, available_parallelism());
  const BatchJob job{copy.get(), rows, dim, static_cast<size_t>(sa.k), static_cast<uint64_t*>(ids_data),
                     static_cast<float*>(scores_data)};
  const GroupSearch group_search = [&](std::span<const float> rows, size_t count, std::vector<ScoredNode>* outs,
                                      size_t* failed) {
    return index.search_group(rows, count, limits.k, options, outs, failed);
  };
  BatchOutcome outcome;
  {
    GilRelease nogil;
    outcome = run_batch(job, workers, group_search);
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

PyObject* index_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return search_batch_impl(self, args, nargs, kwnames); });
}

// ---- Type ----------------------------------------------------------------

constexpr char kIndexDoc[] =
    "Index(path, quantize=False)\n--\n\n"
    "In-memory ANN index loaded from an Ulmora segment snapshot.\n\n"
    "Search calls release the GIL. Query data is copied into module-owned memory\n"
    "before release so native search never aliases Python-owned mutable storage.";

constexpr char kDimDoc[] = "dim($self)\n--\n\n";

constexpr char kSearchDoc[] =
    "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2)\n--\n\n"
    "Search one query. Returns `(ids uint64[k], scores float32[k])`.\n\n"
    "`scores` are raw Ulmora scores. `scan_cap=0` means uncapped L0 scans.";

constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, threads=1)\n--\n\n"
    "Search contiguous float32 queries with shape `[n, dim]`.\n\n"
    "Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows\n"
    "with `uint64::MAX` and `NaN`. Native workers are capped to the machine's\n"
    "available parallelism; `threads=0` and `threads=1` run sequentially.";

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"dim", as_cfunction(index_dim), METH_NOARGS, kDimDoc},
    {"search", as_cfunction(index_search), METH_FASTCALL | METH_KEYWORDS, kSearchDoc},
    {"search_batch", as_cfunction(index_search_batch), METH_FASTCALL | METH_KEYWORDS, kSearchBatchDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_mp_length, reinterpret_cast<void*>(index_len)},
    {0, nullptr},
};

// Final (no BASETYPE), no GC, no instance dict or weak references.
// Immutable because the one type object is shared by every import.
PyType_Spec kSpec = {
    "ulmoradb.Index",
    static_cast<int>(sizeof(IndexObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyObject* g_index_type = nullptr;

}  // namespace

PyObject* index_type() {
  if (g_index_type == nullptr) g_index_type = PyType_FromSpec(&kSpec);  // kept for the process
  return g_index_type;
}

}  // namespace ulmoradb
