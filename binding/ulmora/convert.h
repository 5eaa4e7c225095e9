// Conversions between Python objects and the core's values for the
// `ulmora._native` extension: contiguous buffers, payload dicts, and
// StoreError -> Python exception. All functions need the GIL; every failure
// sets a Python exception and returns false / nullptr.
#pragma once

#include "pyref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/payload.h"

namespace ulmora_py {

using ulmoradb::Ref;

// A C-contiguous buffer of float32 or uint64 elements with a fixed number of
// dimensions, held for one call.
class Buffer {
 public:
  enum Kind { kF32, kU64 };
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();
  // TypeError/ValueError naming `name` when `obj` is not such a buffer.
  bool bind(PyObject* obj, Kind kind, int ndim, const char* name);
  uint64_t shape(int axis) const { return static_cast<uint64_t>(view_.shape[axis]); }
  const void* data() const { return view_.buf; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// dict -> Payload. TypeError naming the key for a key that is not str, a
// value of an unsupported type (nested dicts, None, sets, ...) or a list
// mixing kinds; OverflowError naming the key for an int outside i64. NumPy
// scalars are taken through their item().
bool to_payload(PyObject* dict, ulmora::Payload* out);
// None or a sequence of `n` items, each a dict or None. The error names the
// position of a bad item.
bool to_payloads(PyObject* seq, uint64_t n, std::vector<std::optional<ulmora::Payload>>* out);
PyObject* from_payload(const ulmora::Payload& p);

// Raises the exception for `e`: ValueError for refused input (bad vectors,
// ids, closed segment, PointExists, PointNotFound, VectorLengthMismatch),
// OSError (FileNotFoundError, ... by errno) for I/O failures with `path` as
// its filename, RuntimeError with the display text for everything else.
void raise_store_error(const ulmora::StoreError& e, const std::string& path);

// The exception types of the module (created at module execution).
PyObject* locked_error_type();
bool ensure_exception_types();

// A str path -> its bytes in the file system encoding (as os.fsencode gives
// them); false with an error set (not a str, or a NUL byte).
bool to_path(PyObject* obj, const char* name, std::string* out);

}  // namespace ulmora_py
