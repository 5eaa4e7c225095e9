// The `ulmora._native` extension: build(), open_segment(), info() and the
// Segment type, on the CPython limited API. Native work (loading, building,
// inserting, compacting, searching) runs with the GIL released; a build is
// watched in slices of ~100 ms to report progress and take Ctrl-C.
#include <chrono>
#include <future>
#include <thread>

#include "args.h"
#include "convert.h"
#include "info.h"
#include "segment/builder.h"
#include "segment/inspect.h"
#include "segment_type.h"

namespace ulmora_py {

namespace {

using ulmora::binding::GilRelease;
using ulmora::binding::guarded;
using ulmora::binding::ParamList;
using ulmora::binding::to_u64;

// Calls progress(done, total) (when given) and checks for signals. False
// with the error set when either raised.
bool report(PyObject* progress, uint64_t done, uint64_t total) {
  if (progress != Py_None) {
    Ref r(PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(done),
                                static_cast<unsigned long long>(total)));
    if (!r) return false;
  }
  return PyErr_CheckSignals() == 0;
}

// build(path, vectors, ids, payloads, metric, m, ef_construction, threads,
//       progress[, seed, filter_keys]) -> (points, insert_seconds, total_seconds, bytes)
PyObject* build(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const ParamList params(
        "build",
        {"path", "vectors", "ids", "payloads", "metric", "m", "ef_construction", "threads", "progress", "seed",
         "filter_keys"},
        9);
    PyObject* slots[11];
    if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
    PyObject *path_obj = slots[0], *vectors_obj = slots[1], *ids_obj = slots[2], *payloads_obj = slots[3];
    PyObject* progress = slots[8];
    PyObject* seed_obj = slots[9] ? slots[9] : Py_None;
    uint64_t metric = 0, m = 0, efc = 0, threads = 0;
    if (!to_u64(slots[4], "build", "metric", &metric) || !to_u64(slots[5], "build", "m", &m) ||
        !to_u64(slots[6], "build", "ef_construction", &efc) || !to_u64(slots[7], "build", "threads", &threads)) {
      return nullptr;
    }
    std::optional<uint64_t> seed;
    if (seed_obj != Py_None) {
      uint64_t value = 0;
      if (!to_u64(seed_obj, "build", "seed", &value)) return nullptr;
      seed = value;
    }
    std::string path;
    if (!to_path(path_obj, "path", &path)) return nullptr;
    if (metric > 2) {
      PyErr_SetString(PyExc_ValueError, "metric must be 0 (cosine), 1 (dot) or 2 (euclidean)");
      return nullptr;
    }
    Buffer vectors, ids;
    if (!vectors.bind(vectors_obj, Buffer::kF32, 2, "vectors")) return nullptr;
    if (ids_obj != Py_None && !ids.bind(ids_obj, Buffer::kU64, 1, "ids")) return nullptr;
    std::vector<std::optional<ulmora::Payload>> payloads;
    ulmora::BuildRequest request;
    request.rows = vectors.shape(0);
    request.dim = vectors.shape(1);
    if (payloads_obj != Py_None && !to_payloads(payloads_obj, request.rows, &payloads)) return nullptr;
    request.vectors = vectors.floats();
    if (ids_obj != Py_None) request.ids = {ids.u64s(), ids.shape(0)};
    request.payloads = payloads_obj != Py_None ? &payloads : nullptr;
    request.metric = static_cast<ulmora::Metric>(metric);
    request.m = m;
    request.ef_construction = efc;
    request.threads = threads;
    request.seed = seed;
    if (!to_key_list(slots[10], &request.filter_keys)) return nullptr;
    // Refuse bad input before starting anything.
    if (std::string bad = ulmora::check_build_request(request); !bad.empty()) {
      PyErr_SetString(PyExc_ValueError, bad.c_str());
      return nullptr;
    }

    ulmora::Progress control;
    bool busy = false;
    std::packaged_task<ulmora::Result<ulmora::BuildStats>()> task(
        [&] { return ulmora::build_segment(path, request, &control, &busy); });
    auto result = task.get_future();
    std::thread worker;
    {
      GilRelease nogil;
      worker = std::thread(std::move(task));
    }
    bool interrupted = false;
    for (;;) {
      std::future_status st;
      {
        GilRelease nogil;
        st = result.wait_for(std::chrono::milliseconds(100));
      }
      if (!report(progress, control.done.load(), request.rows)) {
        interrupted = true;  // the callback raised or a signal handler did (Ctrl-C)
        control.cancel = true;
      }
      if (st == std::future_status::ready || interrupted) break;
    }
    {
      GilRelease nogil;
      worker.join();
    }
    auto built = result.get();
    if (interrupted) return nullptr;  // the pending exception; the build left no file
    if (!built.ok()) {
      if (busy) {
        PyErr_SetString(locked_error_type(), built.error().text().c_str());
      } else {
        raise_store_error(built.error(), path);
      }
      return nullptr;
    }
    const ulmora::BuildStats& s = built.value();
    return Py_BuildValue("(KddK)", static_cast<unsigned long long>(s.points), s.insert_seconds, s.total_seconds,
                         static_cast<unsigned long long>(s.bytes));
  });
}

PyObject* info(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!to_path(arg, "path", &path)) return nullptr;
    ulmora::Result<std::pair<ulmora::SegmentInfo, ulmora::FileInfo>> found = ulmora::StoreError::Io("");
    {
      GilRelease nogil;
      found = ulmora::inspect(path);
    }
    if (!found.ok()) {
      if (found.error().kind() == ulmora::ErrorKind::kIo) {
        raise_store_error(found.error(), path);
      } else {
        PyErr_SetString(PyExc_RuntimeError, found.error().message().c_str());
      }
      return nullptr;
    }
    return info_dict(path, found->first, found->second);
  });
}

// check_payloads(payloads) -> None: converts payloads (dicts or None) as an
// insert does and raises what an insert would raise, keeping nothing, so a
// caller writing to several segments can refuse a batch before any write.
PyObject* check_payloads(PyObject*, PyObject* seq) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref fast(PySequence_Fast(seq, "payloads must be a sequence of dicts or None"));
    if (!fast) return nullptr;
    const Py_ssize_t n = PySequence_Size(fast.get());
    if (n < 0) return nullptr;
    std::vector<std::optional<ulmora::Payload>> payloads;
    if (!to_payloads(fast.get(), static_cast<uint64_t>(n), &payloads)) return nullptr;
    Py_RETURN_NONE;
  });
}

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!ensure_exception_types()) return -1;
    PyObject* type = segment_type();
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "Segment", type) != 0) return -1;
    if (PyModule_AddObjectRef(module, "SegmentLockedError", locked_error_type()) != 0) return -1;
    if (PyModule_AddObjectRef(module, "ReadOnlyError", read_only_error_type()) != 0) return -1;
    return PyModule_AddObjectRef(module, "InternalError", ulmora::binding::internal_error_type());
  });
}

PyMethodDef kFunctions[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)), METH_FASTCALL | METH_KEYWORDS,
     "build(path, vectors, ids, payloads, metric, m, ef_construction, threads, progress[, seed, filter_keys])"},
    {"open_segment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_segment)),
     METH_FASTCALL | METH_KEYWORDS, "open_segment(path[, readonly, filter_keys]) -> Segment"},
    {"check_payloads", check_payloads, METH_O, "check_payloads(payloads) -> None"},
    {"info", info, METH_O, "info(path) -> dict"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "ulmora._native", "Native core of the ulmora package.", 0, kFunctions,
                       kSlots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace ulmora_py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ulmora_py::kModule); }
