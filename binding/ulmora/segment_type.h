// The `ulmora._native.Segment` heap type: one live segment (writer lock,
// graph, payloads, log). Instances come from `open_segment`. Each holds a
// shared reference to the LiveSegment; a method copies it under the GIL
// before releasing the GIL, so close() from another thread never frees the
// segment under a running call (the core's own locks order the calls).
#pragma once

#include "pyref.h"

namespace ulmora_py {

// The type object, created once per process (borrowed); nullptr with an
// error set on failure.
PyObject* segment_type();
// open_segment(path, readonly=False, filter_keys=None) -> Segment. Loads
// with the GIL released.
PyObject* open_segment(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ulmora_py
