// The `ulmora._native` extension: build(), open_segment(), info() and the
// Segment type, on the CPython limited API. Native work (loading, building,
// inserting, compacting, searching) runs with the GIL released; a build is
// watched in slices of ~100 ms to report progress and take Ctrl-C.
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "convert.h"
#include "info.h"
#include "segment/builder.h"
#include "segment/inspect.h"
#include "segment_type.h"

// The shared binding sources (numpy_bridge, args) report broken invariants
// through these; this module has its own exception type for them.
namespace ulmoradb {

namespace {
PyObject* g_internal_error = nullptr;
}

PyObject* internal_error_type() { return g_internal_error; }

bool ensure_internal_error_type() {
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc("ulmora.InternalError",
                                                 "A broken internal invariant of the ulmora native code.",
                                                 PyExc_BaseException, nullptr);
  }
  return g_internal_error != nullptr;
}

void raise_internal(const char* what) {
  PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
  Ref message(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace ulmoradb

namespace ulmora_py {

namespace {

using ulmoradb::GilRelease;
using ulmoradb::guarded;

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
//       progress[, seed]) -> (points, insert_seconds, total_seconds, bytes)
PyObject* build(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *path_obj, *vectors_obj, *ids_obj, *payloads_obj, *progress, *seed_obj = Py_None;
    unsigned int metric;
    unsigned long long m, efc, threads;
    if (!PyArg_ParseTuple(args, "OOOOIKKKO|O:build", &path_obj, &vectors_obj, &ids_obj, &payloads_obj, &metric, &m,
                          &efc, &threads, &progress, &seed_obj)) {
      return nullptr;
    }
    std::optional<uint64_t> seed;
    if (seed_obj != Py_None) {
      const unsigned long long value = PyLong_AsUnsignedLongLong(seed_obj);
      if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
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
    request.vectors = static_cast<const float*>(vectors.data());
    if (ids_obj != Py_None) request.ids = {static_cast<const uint64_t*>(ids.data()), static_cast<size_t>(ids.shape(0))};
    request.payloads = payloads_obj != Py_None ? &payloads : nullptr;
    request.metric = static_cast<ulmora::Metric>(metric);
    request.m = m;
    request.ef_construction = efc;
    request.threads = threads;
    request.seed = seed;
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

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!ensure_exception_types()) return -1;
    PyObject* type = segment_type();
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "Segment", type) != 0) return -1;
    if (PyModule_AddObjectRef(module, "SegmentLockedError", locked_error_type()) != 0) return -1;
    return PyModule_AddObjectRef(module, "InternalError", ulmoradb::internal_error_type());
  });
}

PyMethodDef kFunctions[] = {
    {"build", build, METH_VARARGS,
     "build(path, vectors, ids, payloads, metric, m, ef_construction, threads, progress[, seed])"},
    {"open_segment", open_segment, METH_O, "open_segment(path) -> Segment"},
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
