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

namespace ulmoradb {

// PyArray_NewFromDescr: (subtype, descr (stolen), nd, dims, strides, data,
// flags, obj) -> new array.
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*,
                                     int, PyObject*);

struct NumpyHandles {
  PyTypeObject* ndarray;  // numpy.ndarray
  NewFromDescrFn new_from_descr;
  PyObject* uint64;   // numpy.dtype("uint64")
  PyObject* float32;  // numpy.dtype("float32")
};

// The process-wide handles, importing NumPy on first use. On failure raises
// the internal-failure exception (NumPy's array interface could not be
// accessed) and returns nullptr; a later call tries again.
const NumpyHandles* numpy_handles();

// A float32 ndarray of native byte order and a fixed number of dimensions,
// held through its buffer for the duration of one call.
class F32Array {
 public:
  F32Array() = default;
  F32Array(const F32Array&) = delete;
  F32Array& operator=(const F32Array&) = delete;
  ~F32Array();

  // Accepts `obj` when it is an ndarray (or subclass) with `ndim` dimensions
  // and float32 elements in native byte order; otherwise TypeError naming
  // the argument.
  bool bind(const NumpyHandles& np, PyObject* obj, int ndim, const char* func, const char* name);

  size_t shape(int axis) const { return static_cast<size_t>(view_.shape[axis]); }
  size_t size() const;
  const float* data() const { return static_cast<const float*>(view_.buf); }
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

}  // namespace ulmoradb
