// The `ulmora._native.Segment` heap type: one live segment (writer lock,
// graph, payloads, log). Instances come from `open_segment`. Each holds a
// shared reference to the LiveSegment; a method copies it under the GIL
// before releasing the GIL, so close() from another thread never frees the
// segment under a running call (the core's own locks order the calls).
#pragma once

#include <memory>

#include "pyref.h"
#include "segment/live.h"

namespace ulmora_py {

// The live segment of a Segment object, or nullptr with ValueError when it
// is closed (for the methods defined in other files).
std::shared_ptr<ulmora::LiveSegment> segment_live(PyObject* self);
// Lookups by id (segment_get.cc): get(id), get_many(ids), contains(ids).
PyObject* segment_get(PyObject* self, PyObject* arg);
PyObject* segment_get_many(PyObject* self, PyObject* arg);
PyObject* segment_contains(PyObject* self, PyObject* arg);

// The type object, created once per process (borrowed); nullptr with an
// error set on failure.
PyObject* segment_type();
// open_segment(path, readonly=False, filter_keys=None) -> Segment. Loads
// with the GIL released.
PyObject* open_segment(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ulmora_py
