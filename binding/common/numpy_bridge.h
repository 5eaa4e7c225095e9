// NumPy access without NumPy's C headers. Query arrays are read through the
// buffer protocol (which also yields the element format, so no dtype object
// has to be inspected). Result arrays are created through NumPy's C array
// API table, taken from its `_ARRAY_API` capsule: only three long-stable
// entries are used (the ABI version, the ndarray type, PyArray_NewFromDescr)
// together with the array object's leading `data` field. Everything is
// looked up once per process, at the first search call, so importing the
// module and constructing an Index never touch NumPy.
//
// All functions need the GIL.
#pragma once

#include "pyref.h"

#include <cstddef>
#include <cstdint>

namespace ulmora::binding {

// PyArray_NewFromDescr: (subtype, descr (stolen), nd, dims, strides, data,
// flags, obj) -> new array.
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*,
                                     int, PyObject*);

struct NumpyHandles {
  PyTypeObject* ndarray;  // numpy.ndarray
  NewFromDescrFn new_from_descr;
  PyObject* uint64;   // numpy.dtype("uint64")
  PyObject* float32;  // numpy.dtype("float32")
  PyObject* bool8;    // numpy.dtype("bool")
};

// The process-wide handles, importing NumPy on first use. On failure raises
// the internal-failure exception (NumPy's array interface could not be
// accessed) and returns nullptr; a later call tries again.
const NumpyHandles* numpy_handles();

// A buffer held for the duration of one call: the one wrapper both modules
// read arrays through. The two binders are the two modules' acceptance rules
// (and their messages); the accessors are the same for both.
class Buffer {
 public:
  enum Kind { kF32, kU64 };
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  // ulmoradb's rule: `obj` must be an ndarray (or subclass) with `ndim`
  // dimensions and float32 elements in native byte order, of any layout;
  // otherwise TypeError naming `func` and the argument.
  bool bind_ndarray(const NumpyHandles& np, PyObject* obj, int ndim, const char* func, const char* name);
  // ulmora's rule: any C-contiguous buffer of `kind` elements; TypeError for
  // another layout or element type, ValueError for another ndim.
  bool bind(PyObject* obj, Kind kind, int ndim, const char* name);

  size_t shape(int axis) const { return static_cast<size_t>(view_.shape[axis]); }
  size_t size() const;
  const void* data() const { return view_.buf; }
  const float* floats() const { return static_cast<const float*>(view_.buf); }
  const uint64_t* u64s() const { return static_cast<const uint64_t*>(view_.buf); }
  // Data pointer present and aligned for float.
  bool aligned() const;
  // Row-major contiguity; axes of length 1 may have any stride.
  bool c_contiguous() const;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// First NaN or infinity among data[0, n), or n when all are finite.
size_t first_non_finite(const float* data, size_t n);

// Copies n floats into dst and returns the index of the first non-finite
// one, or n (the copy is then complete).
size_t copy_finite(const float* src, size_t n, float* dst);

// New C-contiguous, writeable, owning array: 1-D of `rows` elements when
// cols < 0, else (rows, cols). *data receives its (uninitialised) storage,
// which the caller fills before handing the array out.
PyObject* new_array(const NumpyHandles& np, PyObject* dtype, Py_ssize_t rows, Py_ssize_t cols, void** data);

}  // namespace ulmora::binding
