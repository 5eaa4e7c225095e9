#include "segment_type.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "convert.h"
#include "info.h"
#include "numpy_bridge.h"
#include "segment/live.h"
#include "vector/hnsw/search.h"

namespace ulmora_py {

namespace {

using ulmora::LiveSegment;
using ulmora::Status;
using ulmora::hnsw::ScoredNode;
using ulmora::hnsw::SearchOptions;
using ulmoradb::GilRelease;
using ulmoradb::guarded;

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
  const ulmoradb::NumpyHandles* np = ulmoradb::numpy_handles();
  if (np == nullptr) return nullptr;
  void* data = nullptr;
  PyObject* out = ulmoradb::new_array(*np, np->uint64, static_cast<Py_ssize_t>(ids.size()), -1, &data);
  if (out != nullptr && !ids.empty()) std::memcpy(data, ids.data(), ids.size() * 8);
  return out;
}

// ---- Mutations -------------------------------------------------------------

PyObject* seg_insert(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *vectors_obj, *ids_obj, *payloads_obj;
    unsigned long long threads = 1;
    if (!PyArg_ParseTuple(args, "OOOK:insert", &vectors_obj, &ids_obj, &payloads_obj, &threads)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer vectors, ids;
    if (!vectors.bind(vectors_obj, Buffer::kF32, 2, "vectors")) return nullptr;
    if (ids_obj != Py_None && !ids.bind(ids_obj, Buffer::kU64, 1, "ids")) return nullptr;
    std::vector<std::optional<ulmora::Payload>> payloads;
    const uint64_t rows = vectors.shape(0);
    if (payloads_obj != Py_None && !to_payloads(payloads_obj, rows, &payloads)) return nullptr;
    LiveSegment::InsertBatch batch;
    batch.vectors = static_cast<const float*>(vectors.data());
    batch.rows = rows;
    batch.dim = vectors.shape(1);
    if (ids_obj != Py_None) batch.ids = {static_cast<const uint64_t*>(ids.data()), static_cast<size_t>(ids.shape(0))};
    batch.payloads = payloads_obj != Py_None ? &payloads : nullptr;
    batch.threads = threads;
    ulmora::Result<std::vector<uint64_t>> done = std::vector<uint64_t>{};
    {
      GilRelease nogil;
      done = live->insert(batch);
    }
    if (!done.ok()) return fail(done.error(), *live);
    return u64_array(*done);
  });
}

PyObject* seg_delete(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer ids;
    if (!ids.bind(arg, Buffer::kU64, 1, "ids")) return nullptr;
    std::vector<uint64_t> copy(static_cast<const uint64_t*>(ids.data()),
                               static_cast<const uint64_t*>(ids.data()) + ids.shape(0));
    Status s;
    {
      GilRelease nogil;
      s = live->remove(copy);
    }
    if (!s.ok()) return fail(s.error(), *live);
    Py_RETURN_NONE;
  });
}

PyObject* seg_update_payload(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    unsigned long long id;
    PyObject* dict;
    if (!PyArg_ParseTuple(args, "KO:update_payload", &id, &dict)) return nullptr;
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
    const unsigned long long threads = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
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

SearchOptions options_for(size_t ef) {
  SearchOptions o;  // as ulmoradb.Index sets them for every Python call
  o.ef = ef;
  o.scan_cap = 0;
  o.early_exit_patience = 2;
  o.sq8_screen = false;
  return o;
}

PyObject* seg_search(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* query_obj;
    unsigned long long k, ef;
    if (!PyArg_ParseTuple(args, "OKK:search", &query_obj, &k, &ef)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer query;
    if (!query.bind(query_obj, Buffer::kF32, 1, "query")) return nullptr;
    std::vector<float> q(static_cast<const float*>(query.data()),
                         static_cast<const float*>(query.data()) + query.shape(0));
    const ulmoradb::NumpyHandles* np = ulmoradb::numpy_handles();
    if (np == nullptr) return nullptr;
    std::vector<ScoredNode> results;
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) -> Status {
      const auto& g = seg.hnsw();
      if (q.size() != g.dim()) return ulmora::StoreError::VectorLengthMismatch(g.dim(), q.size());
      if (k == 0) return Status::Ok();
      const ulmoradb::Limits lim = ulmoradb::effective_limits(k, ef == 0 ? g.ef_search() : ef, g.len());
      return g.search(q, lim.k, options_for(lim.ef), results);
    });
    if (!s.ok()) return fail(s.error(), *live);
    void *ids_data = nullptr, *scores_data = nullptr;
    const auto n = static_cast<Py_ssize_t>(results.size());
    Ref ids(ulmoradb::new_array(*np, np->uint64, n, -1, &ids_data));
    Ref scores(ids ? ulmoradb::new_array(*np, np->float32, n, -1, &scores_data) : nullptr);
    if (!scores) return nullptr;
    for (size_t i = 0; i < results.size(); ++i) {
      static_cast<uint64_t*>(ids_data)[i] = results[i].node;
      static_cast<float*>(scores_data)[i] = results[i].raw;
    }
    return PyTuple_Pack(2, ids.get(), scores.get());
  });
}

PyObject* seg_search_batch(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* queries_obj;
    unsigned long long k, ef, threads;
    if (!PyArg_ParseTuple(args, "OKKK:search_batch", &queries_obj, &k, &ef, &threads)) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    Buffer queries;
    if (!queries.bind(queries_obj, Buffer::kF32, 2, "queries")) return nullptr;
    const uint64_t rows = queries.shape(0), dim = queries.shape(1);
    if (const std::string over = ulmoradb::batch_budget_error(rows, k); !over.empty()) {
      PyErr_SetString(PyExc_OverflowError, over.c_str());
      return nullptr;
    }
    const ulmoradb::NumpyHandles* np = ulmoradb::numpy_handles();
    if (np == nullptr) return nullptr;
    void *ids_data = nullptr, *scores_data = nullptr;
    Ref ids(ulmoradb::new_array(*np, np->uint64, static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(k), &ids_data));
    Ref scores(ids ? ulmoradb::new_array(*np, np->float32, static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(k),
                                         &scores_data)
                   : nullptr);
    if (!scores) return nullptr;
    std::vector<float> copy(static_cast<const float*>(queries.data()),
                            static_cast<const float*>(queries.data()) + rows * dim);
    ulmoradb::BatchOutcome outcome;
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) -> Status {
      const auto& g = seg.hnsw();
      if (dim != g.dim()) return ulmora::StoreError::VectorLengthMismatch(g.dim(), dim);
      if (rows == 0 || k == 0) return Status::Ok();
      const ulmoradb::Limits lim = ulmoradb::effective_limits(k, ef == 0 ? g.ef_search() : ef, g.len());
      const SearchOptions opts = options_for(lim.ef);
      const ulmoradb::BatchJob job{copy.data(), rows, dim, static_cast<size_t>(k), static_cast<uint64_t*>(ids_data),
                                   static_cast<float*>(scores_data)};
      const size_t workers = ulmoradb::worker_count(threads, rows, ulmoradb::available_parallelism());
      const ulmoradb::GroupSearch group = [&](std::span<const float> q, size_t count, std::vector<ScoredNode>* outs,
                                              size_t* failed) {
        return g.search_group(q, count, lim.k, opts, outs, failed);
      };
      outcome = ulmoradb::run_batch(job, workers, group);
      return Status::Ok();
    });
    if (!s.ok()) return fail(s.error(), *live);
    if (outcome.kind != ulmoradb::BatchOutcome::Kind::kOk) {
      PyErr_SetString(PyExc_RuntimeError, outcome.text.c_str());
      return nullptr;
    }
    return PyTuple_Pack(2, ids.get(), scores.get());
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
    return info_dict(live->path(), info, *files);
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
      uint64_t dead = 0;
      for (uint64_t i = 0; i < g.len(); ++i) dead += g.live_vector(i) == nullptr || seg.deleted().count(g.point_id(i));
      dim = g.dim();
      metric = g.metric();
      next_id = seg.next_id();
      count = g.len() - dead;
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

// get(id) -> (vector float32 array, payload dict or None) or None when not live.
PyObject* seg_get(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const unsigned long long id = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    auto live = live_of(self);
    if (!live) return nullptr;
    bool found = false;
    std::vector<float> vector;
    std::optional<ulmora::Payload> payload;
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) {
      const auto& g = seg.hnsw();
      auto at = g.index_of(id);
      if (at && g.live_vector(*at) != nullptr && !seg.deleted().count(id)) {
        found = true;
        vector.assign(g.vector(*at), g.vector(*at) + g.dim());
        if (auto it = seg.payloads().find(id); it != seg.payloads().end()) payload = it->second;
      }
      return Status::Ok();
    });
    if (!s.ok()) return fail(s.error(), *live);
    if (!found) Py_RETURN_NONE;
    const ulmoradb::NumpyHandles* np = ulmoradb::numpy_handles();
    if (np == nullptr) return nullptr;
    void* data = nullptr;
    Ref vec(ulmoradb::new_array(*np, np->float32, static_cast<Py_ssize_t>(vector.size()), -1, &data));
    if (!vec) return nullptr;
    std::memcpy(data, vector.data(), vector.size() * sizeof(float));
    Ref py_payload(payload ? from_payload(*payload) : Py_NewRef(Py_None));
    if (!py_payload) return nullptr;
    return PyTuple_Pack(2, vec.get(), py_payload.get());
  });
}

PyObject* seg_ids(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto live = live_of(self);
    if (!live) return nullptr;
    std::vector<uint64_t> ids;
    Status s = with_segment(*live, [&](const ulmora::Segment& seg) {
      const auto& g = seg.hnsw();
      for (uint64_t i = 0; i < g.len(); ++i) {
        if (g.live_vector(i) != nullptr && !seg.deleted().count(g.point_id(i))) ids.push_back(g.point_id(i));
      }
      return Status::Ok();
    });
    if (!s.ok()) return fail(s.error(), *live);
    return u64_array(ids);
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
    {"insert", as_cfunction(seg_insert), METH_VARARGS, "insert(vectors, ids, payloads, threads) -> ids"},
    {"delete", as_cfunction(seg_delete), METH_O, "delete(ids)"},
    {"update_payload", as_cfunction(seg_update_payload), METH_VARARGS, "update_payload(id, payload)"},
    {"compact", as_cfunction(seg_compact), METH_O, "compact(threads)"},
    {"close", as_cfunction(seg_close), METH_NOARGS, "close()"},
    {"search", as_cfunction(seg_search), METH_VARARGS, "search(query, k, ef) -> (ids, scores)"},
    {"search_batch", as_cfunction(seg_search_batch), METH_VARARGS, "search_batch(queries, k, ef, threads)"},
    {"info", as_cfunction(seg_info), METH_NOARGS, "info() -> dict"},
    {"meta", as_cfunction(seg_meta), METH_NOARGS, "meta() -> (dim, metric, next_id, live)"},
    {"path", as_cfunction(seg_path), METH_NOARGS, "path() -> str"},
    {"get", as_cfunction(seg_get), METH_O, "get(id) -> (vector, payload) or None"},
    {"ids", as_cfunction(seg_ids), METH_NOARGS, "ids() -> live ids"},
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

PyObject* segment_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyObject* open_segment(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!to_path(arg, "path", &path)) return nullptr;
    PyObject* type = segment_type();
    if (type == nullptr) return nullptr;
    bool busy = false;
    ulmora::Result<std::unique_ptr<LiveSegment>> opened = std::unique_ptr<LiveSegment>();
    {
      GilRelease nogil;
      opened = LiveSegment::open(path, &busy);
    }
    if (!opened.ok()) {
      if (busy) {
        PyErr_SetString(locked_error_type(), opened.error().text().c_str());
      } else if (opened.error().kind() == ulmora::ErrorKind::kIo) {
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
