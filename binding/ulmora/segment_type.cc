#include "segment_type.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "batch.h"
#include "convert.h"
#include "filter_convert.h"
#include "info.h"
#include "numpy_bridge.h"
#include "search_call.h"
#include "segment/filter.h"
#include "segment/live.h"

namespace ulmora_py {

namespace {

using ulmora::LiveSegment;
using ulmora::Status;
using ulmora::binding::GilRelease;
using ulmora::binding::guarded;
using ulmora::binding::ParamList;
using ulmora::binding::SearchArgs;
using ulmora::binding::to_u64;

struct SegmentObject {
  PyObject_HEAD
  std::shared_ptr<LiveSegment>* live;  // owned; the pointee is null once closed
};

// The live segment of `self`, or nullptr with ValueError when closed.
std::shared_ptr<LiveSegment> live_of(PyObject* self) {
  std::shared_ptr<LiveSegment> live = *reinterpret_cast<SegmentObject*>(self)->live;
  if (!live) PyErr_SetString(PyExc_ValueError, "segment is closed");
  return live;
}

PyObject* fail(const ulmora::StoreError& e, const LiveSegment& live) {
  raise_store_error(e, live.path());
  return nullptr;
}

// Runs f(const Segment&) -> Status with the GIL released and the segment
// read-locked; a closed segment gives closed_error() instead.
template <class F>
Status with_segment(const LiveSegment& live, F&& f) {
  GilRelease nogil;  // a compaction may hold the segment for a while
  auto reader = live.read();
  if (reader.segment() == nullptr) return ulmora::closed_error();
  return f(*reader.segment());
}

PyObject* u64_array(const std::vector<uint64_t>& ids) {
  const ulmora::binding::NumpyHandles* np = ulmora::binding::numpy_handles();
  if (np == nullptr) return nullptr;
  void* data = nullptr;
  PyObject* out = ulmora::binding::new_array(*np, np->uint64, static_cast<Py_ssize_t>(ids.size()), -1, &data);
  if (out != nullptr && !ids.empty()) std::memcpy(data, ids.data(), ids.size() * 8);
  return out;
}

// ---- Mutations -------------------------------------------------------------

// insert(vectors, ids, payloads, threads) -> ids, and upsert (`replace`).
PyObject* write_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool replace) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList insert_params("insert", {"vectors", "ids", "payloads", "threads"}, 4);
    static const ParamList upsert_params("upsert", {"vectors", "ids", "payloads", "threads"}, 4);
    const ParamList& params = replace ? upsert_params : insert_params;
    PyObject* slots[4];
    if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
    PyObject *vectors_obj = slots[0], *ids_obj = slots[1], *payloads_obj = slots[2];
    uint64_t threads = 1;
    if (!to_u64(slots[3], params.func(), "threads", &threads)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer vectors, ids;
    if (!vectors.bind(vectors_obj, Buffer::kF32, 2, "vectors")) return nullptr;
    if (ids_obj != Py_None && !ids.bind(ids_obj, Buffer::kU64, 1, "ids")) return nullptr;
    std::vector<std::optional<ulmora::Payload>> payloads;
    const uint64_t rows = vectors.shape(0);
    if (payloads_obj != Py_None && !to_payloads(payloads_obj, rows, &payloads)) return nullptr;
    LiveSegment::InsertBatch batch;
    batch.vectors = vectors.floats();
    batch.rows = rows;
    batch.dim = vectors.shape(1);
    if (ids_obj != Py_None) batch.ids = {ids.u64s(), ids.shape(0)};
    batch.payloads = payloads_obj != Py_None ? &payloads : nullptr;
    batch.threads = threads;
    ulmora::Result<std::vector<uint64_t>> done = std::vector<uint64_t>{};
    {
      GilRelease nogil;
      done = replace ? live->upsert(batch) : live->insert(batch);
    }
    if (!done.ok()) return fail(done.error(), *live);
    return u64_array(*done);
  });
}

PyObject* seg_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return write_rows(self, args, nargs, kwnames, false);
}

PyObject* seg_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return write_rows(self, args, nargs, kwnames, true);
}

PyObject* seg_delete(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer ids;
    if (!ids.bind(arg, Buffer::kU64, 1, "ids")) return nullptr;
    std::vector<uint64_t> copy(ids.u64s(), ids.u64s() + ids.shape(0));
    Status s;
    {
      GilRelease nogil;
      s = live->remove(copy);
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

PyObject* seg_update_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList params("update_payload", {"id", "payload"}, 2);
    PyObject* slots[2];
    if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
    uint64_t id = 0;
    if (!to_u64(slots[0], "update_payload", "id", &id)) return nullptr;
    PyObject* dict = slots[1];
    auto live = live_of(self);
    if (!live) return nullptr;
    ulmora::Payload payload;
    if (!to_payload(dict, &payload)) return nullptr;
    Status s;
    {
      GilRelease nogil;
      s = live->update_payload(id, std::move(payload));
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

PyObject* seg_compact(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    uint64_t threads = 0;
    if (!to_u64(arg, "compact", "threads", &threads)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    Status s;
    {
      GilRelease nogil;
      s = live->compact(threads);
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

PyObject* seg_quantize(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    ulmora::Status s = ulmora::Status::Ok();
    {
      GilRelease nogil;
      s = live->quantize();
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

PyObject* seg_close(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::shared_ptr<LiveSegment> live;
    live.swap(*reinterpret_cast<SegmentObject*>(self)->live);
    if (live) {
      GilRelease nogil;
      live->close();  // waits for running calls, then frees and unlocks
    }
    Py_RETURN_NONE;
  });
}

// ---- Searches --------------------------------------------------------------

// The segment's graph, searched under its read lock; failures (a closed
// segment, a query of the wrong length) are raised as the segment's errors.
class SegmentTarget final : public ulmora::binding::SearchTarget {
 public:
  explicit SegmentTarget(const LiveSegment& live) : live_(live) {}
  // Always releases the GIL: a compaction may hold the segment for a while.
  Status with_graph(const GraphCall& call, bool) const override {
    return ulmora_py::with_segment(live_, [&](const ulmora::Segment& seg) { return call(seg.hnsw()); });
  }
  Status with_segment(const SegmentCall& call) const override { return ulmora_py::with_segment(live_, call); }
  PyObject* payload_object(const ulmora::Payload& payload) const override { return from_payload(payload); }
  void raise(const ulmora::StoreError& error) const override { raise_store_error(error, live_.path()); }

 private:
  const LiveSegment& live_;
};

// What both searches gather before searching: the converted arguments,
// the query buffer (finite values only), the open segment and NumPy.
struct SegmentSearch {
  SearchArgs args;
  Buffer queries;
  std::vector<ulmora::Filter> filters;
  std::shared_ptr<LiveSegment> live;
  const ulmora::binding::NumpyHandles* np = nullptr;
};

bool filter_arg(PyObject* obj, ulmora::Filter* out);

// The keyword part of a search: filter (None, one compact filter, or for a
// batch a list of one per row), route ("auto", "exact", "graph") and
// with_payload. A filter matching everything is dropped (the unfiltered path).
bool filter_args(PyObject* filter, PyObject* route, PyObject* with_payload, uint64_t rows, bool batch,
                 SegmentSearch* out) {
  if (route != nullptr && route != Py_None) {
    static const std::pair<const char*, ulmora::SearchRoute> kRoutes[] = {
        {"auto", ulmora::SearchRoute::kAuto}, {"exact", ulmora::SearchRoute::kExact},
        {"graph", ulmora::SearchRoute::kGraph}};
    bool known = false;
    for (const auto& [name, value] : kRoutes) {
      if (PyUnicode_Check(route) && PyUnicode_CompareWithASCIIString(route, name) == 0) {
        out->args.route = value;
        known = true;
      }
    }
    if (!known) {
      PyErr_Format(PyExc_ValueError, "route must be 'auto', 'exact' or 'graph', got %R", route);
      return false;
    }
  }
  if (with_payload != nullptr) {
    const int on = PyObject_IsTrue(with_payload);
    if (on < 0) return false;
    out->args.with_payload = on == 1;
  }
  if (filter == nullptr || filter == Py_None) return true;
  if (batch && PyList_Check(filter)) {
    const Py_ssize_t n = PyList_Size(filter);
    if (static_cast<uint64_t>(n) != rows) {
      PyErr_Format(PyExc_ValueError, "got %zd filters for %llu query rows", n, static_cast<unsigned long long>(rows));
      return false;
    }
    out->filters.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!filter_arg(PyList_GetItem(filter, i), &out->filters[static_cast<size_t>(i)])) return false;
  } else {
    out->filters.emplace_back();
    if (!filter_arg(filter, &out->filters[0])) return false;
    if (out->filters[0].op == ulmora::Filter::Op::kAll) out->filters.clear();
  }
  out->args.filters = &out->filters;
  return true;
}

// Binds (query, k, ef) or (queries, k, ef, threads), all required (the
// package checks and fills them; ef 0 means the segment's stored beam
// width), and the keyword-only options sq8_screen, scan_cap, patience and
// rerank, then checks the values of the query before the segment is found
// open. A one-row query names a bad value by its index, a matrix by its
// flat index.
bool begin_search(PyObject* self, const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, int ndim, SegmentSearch* out) {
  PyObject* slots[11];
  const char* f = params.func();
  const bool batch = ndim == 2;
  const size_t opt = batch ? 7 : 6;  // first SQ8/scan option (after filter, route, with_payload)
  uint64_t ef = 0;
  if (!params.bind(args, nargs, kwnames, slots) || !to_u64(slots[1], f, "k", &out->args.k) ||
      !to_u64(slots[2], f, "ef", &ef) || (batch && !to_u64(slots[3], f, "threads", &out->args.threads)) ||
      !ulmora::binding::to_search_options(slots[opt], slots[opt + 1], slots[opt + 2], slots[opt + 3], f,
                                          &out->args)) {
    return false;
  }
  if (ef != 0) out->args.ef = ef;
  const char* name = params.name(0);
  if (!out->queries.bind(slots[0], Buffer::kF32, ndim, name)) return false;
  const size_t n = out->queries.size();
  if (const size_t bad = ulmora::binding::first_non_finite(out->queries.floats(), n); bad < n) {
    ulmora::binding::raise_non_finite(name, batch ? "flat index" : "index", bad);
    return false;
  }
  const int extra = batch ? 4 : 3;  // filter, route, with_payload follow
  if (!filter_args(slots[extra], slots[extra + 1], slots[extra + 2], batch ? out->queries.shape(0) : 1, batch, out))
    return false;
  out->live = live_of(self);
  if (!out->live) return false;
  out->np = ulmora::binding::numpy_handles();
  return out->np != nullptr;
}

PyObject* seg_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList params(
        "search", {"query", "k", "ef", "filter", "route", "with_payload", "sq8_screen", "scan_cap", "patience", "rerank"},
        3, 6);
    SegmentSearch s;
    if (!begin_search(self, params, args, nargs, kwnames, 1, &s)) return nullptr;
    // The search reads this thread's copy; no Python code runs on the thread
    // until it is done, so the buffer cannot be re-entered.
    std::vector<float>& copy = ulmora::binding::thread_buffers().query;
    copy.assign(s.queries.floats(), s.queries.floats() + s.queries.size());
    return ulmora::binding::search_one(*s.np, SegmentTarget(*s.live), copy, s.args);
  });
}

PyObject* seg_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList params("search_batch",
                                  {"queries", "k", "ef", "threads", "filter", "route", "with_payload", "sq8_screen",
                                   "scan_cap", "patience", "rerank"},
                                  4, 7);
    SegmentSearch s;
    if (!begin_search(self, params, args, nargs, kwnames, 2, &s)) return nullptr;
    return ulmora::binding::search_many(*s.np, SegmentTarget(*s.live), s.queries.floats(), s.queries.shape(0),
                                        s.queries.shape(1), s.args);
  });
}

// ---- Inspection ------------------------------------------------------------

PyObject* seg_info(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    ulmora::SegmentInfo info;
    ulmora::Result<ulmora::FileInfo> files = ulmora::FileInfo{};
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) {
      info = ulmora::describe(seg);
      files = ulmora::describe_files(live->path());
      return Status::Ok();
    });
    if (!s.ok()) return fail(s.error(), *live);
    if (!files.ok()) return fail(files.error(), *live);
    Ref out(info_dict(live->path(), info, *files));
    Ref mode(PyUnicode_FromString(live->read_only() ? "readonly" : "write"));
    if (!out || !mode || PyDict_SetItemString(out.get(), "mode", mode.get()) != 0) return nullptr;
    return out.release();
  });
}

// meta() -> (dim, metric, next_id, live count)
PyObject* seg_meta(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    uint64_t dim = 0, next_id = 0, count = 0;
    ulmora::Metric metric = ulmora::Metric::kCosine;
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) {
      const auto& g = seg.hnsw();
      seg.for_each_live([&](uint64_t, uint64_t) { ++count; });
      dim = g.dim();
      metric = g.metric();
      next_id = seg.next_id();
      return Status::Ok();
    });
    if (!s.ok()) return fail(s.error(), *live);
    return Py_BuildValue("(KsKK)", static_cast<unsigned long long>(dim), metric_text(metric),
                         static_cast<unsigned long long>(next_id), static_cast<unsigned long long>(count));
  });
}

PyObject* seg_path(PyObject* self, PyObject*) {
  const std::string& p = (*reinterpret_cast<SegmentObject*>(self)->live)
                             ? (*reinterpret_cast<SegmentObject*>(self)->live)->path()
                             : std::string();
  return PyUnicode_DecodeFSDefaultAndSize(p.data(), static_cast<Py_ssize_t>(p.size()));
}

// The compact filter form -> a checked core filter, before any segment work.
bool filter_arg(PyObject* obj, ulmora::Filter* out) {
  if (!to_filter(obj, out)) return false;
  Status s = ulmora::check_filter(*out);
  if (!s.ok()) {
    raise_text(PyExc_ValueError, s.error().text());
    return false;
  }
  return true;
}

// Runs f(match set, segment) under the read lock with the GIL released.
template <class F>
Status with_matches(const LiveSegment& live, const ulmora::Filter& filter, F&& f) {
  return with_segment(live, [&](const ulmora::Segment& seg) -> Status {
    ulmora::Result<ulmora::MatchSet> m = ulmora::match_set(filter, seg);
    if (!m.ok()) return m.error();
    f(*m, seg);
    return Status::Ok();
  });
}

// count(compact filter) -> number of live points matching it.
PyObject* seg_count(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ulmora::Filter filter;
    if (!filter_arg(arg, &filter)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    uint64_t n = 0;
    Status s = with_matches(*live, filter, [&](const ulmora::MatchSet& m, const ulmora::Segment&) { n = m.size(); });
    if (!s.ok()) return fail(s.error(), *live);
    return PyLong_FromUnsignedLongLong(n);
  });
}

// ids(compact filter or None) -> the matching live ids, ascending. Graph
// order would differ between a writer (parallel inserts take slots in any
// order) and a reopened copy of the same files.
PyObject* seg_ids(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ulmora::Filter filter;
    if (arg != Py_None && !filter_arg(arg, &filter)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    std::vector<uint64_t> ids;
    Status s;
    if (arg == Py_None) {
      s = with_segment(*live, [&](const ulmora::Segment& seg) {
        seg.for_each_live([&](uint64_t id, uint64_t) { ids.push_back(id); });
        return Status::Ok();
      });
    } else {
      s = with_matches(*live, filter, [&](const ulmora::MatchSet& m, const ulmora::Segment& seg) {
        ids.reserve(m.size());
        m.for_each([&](uint64_t node) { ids.push_back(seg.hnsw().point_id(node)); });
      });
    }
    if (!s.ok()) return fail(s.error(), *live);
    if (!std::is_sorted(ids.begin(), ids.end())) std::sort(ids.begin(), ids.end());
    return u64_array(ids);
  });
}

// ---- Read-only refresh, delete by filter ---------------------------------

// delete_matching(compact filter) -> number of points deleted.
PyObject* seg_delete_matching(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ulmora::Filter filter;
    if (!filter_arg(arg, &filter)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    ulmora::Result<uint64_t> done = uint64_t{0};
    {
      GilRelease nogil;
      done = live->remove_matching(filter);
    }
    if (!done.ok()) return fail(done.error(), *live);
    return PyLong_FromUnsignedLongLong(*done);
  });
}

PyObject* seg_refresh(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    Status s;
    {
      GilRelease nogil;
      s = live->refresh();
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

void seg_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<SegmentObject*>(self);
  // A call still running on another thread holds its own reference and
  // closes the segment when it ends. The GIL stays held here: deallocation
  // may run during interpreter shutdown, and closing is a flush and a free.
  delete obj->live;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"insert", as_cfunction(seg_insert), METH_FASTCALL | METH_KEYWORDS, "insert(vectors, ids, payloads, threads) -> ids"},
    {"upsert", as_cfunction(seg_upsert), METH_FASTCALL | METH_KEYWORDS, "upsert(vectors, ids, payloads, threads) -> ids"},
    {"delete", as_cfunction(seg_delete), METH_O, "delete(ids)"},
    {"update_payload", as_cfunction(seg_update_payload), METH_FASTCALL | METH_KEYWORDS, "update_payload(id, payload)"},
    {"compact", as_cfunction(seg_compact), METH_O, "compact(threads)"},
    {"delete_matching", as_cfunction(seg_delete_matching), METH_O, "delete_matching(filter) -> deleted count"},
    {"refresh", as_cfunction(seg_refresh), METH_NOARGS, "refresh()"},
    {"close", as_cfunction(seg_close), METH_NOARGS, "close()"},
    {"search", as_cfunction(seg_search), METH_FASTCALL | METH_KEYWORDS,
     "search(query, k, ef, filter=None, route=None, with_payload=False) -> (ids, scores[, payloads])"},
    {"search_batch", as_cfunction(seg_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "search_batch(queries, k, ef, threads, filter=None, route=None, with_payload=False)"},
    {"quantize", seg_quantize, METH_NOARGS, "quantize() -> None: SQ8 codes, kept by later inserts"},
    {"info", as_cfunction(seg_info), METH_NOARGS, "info() -> dict"},
    {"meta", as_cfunction(seg_meta), METH_NOARGS, "meta() -> (dim, metric, next_id, live)"},
    {"path", as_cfunction(seg_path), METH_NOARGS, "path() -> str"},
    {"get", as_cfunction(segment_get), METH_O, "get(id) -> (vector, payload) or None"},
    {"get_many", as_cfunction(segment_get_many), METH_O, "get_many(ids) -> (vectors, payloads, found)"},
    {"contains", as_cfunction(segment_contains), METH_O, "contains(ids) -> bool per id: live"},
    {"ids", as_cfunction(seg_ids), METH_O, "ids(filter or None) -> live ids"},
    {"count", as_cfunction(seg_count), METH_O, "count(filter) -> live points matching"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A segment open for writing (use ulmora.open).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(seg_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"ulmora._native.Segment", static_cast<int>(sizeof(SegmentObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

PyObject* g_type = nullptr;

}  // namespace

std::shared_ptr<LiveSegment> segment_live(PyObject* self) { return live_of(self); }

PyObject* segment_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyObject* open_segment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList params("open_segment", {"path", "readonly", "filter_keys"}, 1);
    PyObject* slots[3];
    if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
    std::string path;
    if (!to_path(slots[0], "path", &path)) return nullptr;
    const int readonly = slots[1] ? PyObject_IsTrue(slots[1]) : 0;
    if (readonly < 0) return nullptr;
    std::optional<std::vector<std::string>> keys;
    if (!to_key_list(slots[2], &keys)) return nullptr;
    if (readonly && keys) {
      PyErr_SetString(PyExc_ValueError, "filter_keys apply to later inserts; a read-only segment takes none");
      return nullptr;
    }
    PyObject* type = segment_type();
    if (type == nullptr) return nullptr;
    bool busy = false;
    ulmora::Result<std::unique_ptr<LiveSegment>> opened = std::unique_ptr<LiveSegment>();
    {
      GilRelease nogil;
      opened = readonly ? LiveSegment::open_readonly(path) : LiveSegment::open(path, &busy, keys);
    }
    if (!opened.ok()) {
      if (busy) {
        PyErr_SetString(locked_error_type(), opened.error().text().c_str());
      } else if (opened.error().kind() == ulmora::ErrorKind::kIo ||
                 opened.error().kind() == ulmora::ErrorKind::kInvalidPayload) {
        raise_store_error(opened.error(), path);
      } else {
        PyErr_SetString(PyExc_RuntimeError, opened.error().message().c_str());
      }
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<SegmentObject*>(self)->live = new std::shared_ptr<LiveSegment>(std::move(opened.value()));
    return self;
  });
}

}  // namespace ulmora_py
