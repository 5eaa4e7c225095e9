#include "index.h"

#include <memory>
#include <span>
#include <string>
#include <utility>

#include "args.h"
#include "batch.h"
#include "numpy_bridge.h"
#include "search_call.h"
#include "segment/segment.h"
#include "vector/hnsw/index.h"

namespace ulmoradb {

namespace {

using ulmora::Segment;
using ulmora::Status;
using ulmora::hnsw::HnswIndex;
using namespace ulmora::binding;  // the binding helpers shared with ulmora._native

struct IndexObject {
  PyObject_HEAD
  HnswIndex* index;  // owned; never null in a constructed instance
};

const HnswIndex& index_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->index; }

void raise_dim_mismatch(uint64_t dim, size_t got) {
  PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %llu, got %zu",
               static_cast<unsigned long long>(dim), got);
}

// Index words the position of a bad value as a flat index.
void raise_non_finite(const char* name, size_t at) { ulmora::binding::raise_non_finite(name, "flat index", at); }

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
    static const ParamList params("Index", {"path", "quantize"}, 1);
    PyObject* slots[2];
    if (!params.bind(args, kwds, slots)) return nullptr;
    PyObject* path = slots[0];
    PyObject* quantize_arg = slots[1];
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

// ---- Searches ------------------------------------------------------------

// The loaded graph, searched in place; failures are RuntimeErrors.
class IndexTarget final : public SearchTarget {
 public:
  explicit IndexTarget(const HnswIndex& index) : index_(index) {}
  Status with_graph(const GraphCall& call, bool searches) const override {
    if (!searches) return call(index_);
    GilRelease nogil;
    return call(index_);
  }
  void raise(const ulmora::StoreError& error) const override { raise_text(PyExc_RuntimeError, error.message()); }

 private:
  const HnswIndex& index_;
};

// Binds a search call in order: the parameters, NumPy, the query array and
// the scalar arguments (k, ef, sq8_screen, scan_cap, patience, for a batch
// threads, then the keyword-only rerank), with this module's defaults.
bool begin_search(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, int ndim,
                  Buffer* queries, SearchArgs* out, const NumpyHandles** np) {
  PyObject* slots[8];
  if (!params.bind(args, nargs, kwnames, slots)) return false;
  *np = numpy_handles();
  if (*np == nullptr) return false;
  const char* f = params.func();
  const bool batch = ndim == 2;
  uint64_t ef = 128;
  out->k = 20;
  if (!queries->bind_ndarray(**np, slots[0], ndim, f, params.name(0)) ||
      (slots[1] && !to_u64(slots[1], f, "k", &out->k)) || (slots[2] && !to_u64(slots[2], f, "ef", &ef)) ||
      !to_search_options(slots[3], slots[4], slots[5], nullptr, f, out) ||
      (batch && slots[6] && !to_u64(slots[6], f, "threads", &out->threads))) {
    return false;
  }
  out->ef = ef;
  return to_rerank(slots[batch ? 7 : 6], f, &out->rerank);
}

PyObject* search_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ParamList params("search", {"query", "k", "ef", "sq8_screen", "scan_cap", "patience", "rerank"}, 1,
                                6);
  Buffer query;
  SearchArgs sa;
  const NumpyHandles* np = nullptr;
  if (!begin_search(params, args, nargs, kwnames, 1, &query, &sa, &np)) return nullptr;

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
  // The search reads this thread's copy; no Python code runs on the thread
  // until it is done, so the buffer cannot be re-entered.
  std::vector<float>& copy = thread_buffers().query;
  copy.resize(n);
  if (const size_t bad = copy_finite(query.floats(), n, copy.data()); bad < n) {
    raise_non_finite("query", bad);
    return nullptr;
  }
  return search_one(*np, IndexTarget(index), copy, sa);
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return search_impl(self, args, nargs, kwnames); });
}

// ---- search_batch --------------------------------------------------------

// Checks shape, layout and content of a bound (rows, cols) matrix in the
// documented order. Returns false with the error set.
bool validate_queries(const Buffer& queries, uint64_t dim) {
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
  if (const size_t bad = first_non_finite(queries.floats(), rows * cols); bad < rows * cols) {
    raise_non_finite("queries", bad);
    return false;
  }
  return true;
}

PyObject* search_batch_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ParamList params(
      "search_batch", {"queries", "k", "ef", "sq8_screen", "scan_cap", "patience", "threads", "rerank"}, 1, 7);
  Buffer queries;
  SearchArgs sa;
  const NumpyHandles* np = nullptr;
  if (!begin_search(params, args, nargs, kwnames, 2, &queries, &sa, &np)) return nullptr;
  const HnswIndex& index = index_of(self);
  if (!validate_queries(queries, index.dim())) return nullptr;
  return search_many(*np, IndexTarget(index), queries.floats(), queries.shape(0), queries.shape(1), sa);
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
    "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, *, rerank=None)\n--\n\n"
    "Search one query. Returns `(ids uint64[k], scores float32[k])`.\n\n"
    "`scores` are raw Ulmora scores. `scan_cap=0` means uncapped L0 scans.\n"
    "`rerank` (at least 1) is the SQ8 rerank factor of an index loaded with\n"
    "`quantize=True`; None takes VECTORDB_SQ8_RERANK_FACTOR. Other indexes ignore it.";

constexpr char kSearchBatchDoc[] =
    "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, threads=1, *, "
    "rerank=None)\n--\n\n"
    "Search contiguous float32 queries with shape `[n, dim]`.\n\n"
    "Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows\n"
    "with `uint64::MAX` and `NaN`. Native workers are capped to the machine's\n"
    "available parallelism; `threads=0` and `threads=1` run sequentially.\n"
    "`rerank` as in `search`.";

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
