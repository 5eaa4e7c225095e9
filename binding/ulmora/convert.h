// Conversions between Python objects and the core's values for the
// `ulmora._native` extension: payload dicts, paths, and
// StoreError -> Python exception. All functions need the GIL; every failure
// sets a Python exception and returns false / nullptr.
#pragma once

#include "numpy_bridge.h"
#include "pyref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "format/payload.h"

namespace ulmora_py {

using ulmora::binding::Buffer;
using ulmora::binding::raise_text;
using ulmora::binding::Ref;

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
// its filename, ReadOnlyError "{path}: {op}() is refused: ..." for a
// mutation of a read-only segment, RuntimeError with the display text for
// everything else.
void raise_store_error(const ulmora::StoreError& e, const std::string& path);

// The exception types of the module (created at module execution).
PyObject* locked_error_type();
PyObject* read_only_error_type();

// None (or nullptr) -> nothing; a sequence of str -> the keys. TypeError
// for another type or a non-str item, ValueError for an empty list or an
// empty key (check_filter_keys).
bool to_key_list(PyObject* obj, std::optional<std::vector<std::string>>* out);
bool ensure_exception_types();

// A str path -> its bytes in the file system encoding (as os.fsencode gives
// them); false with an error set (not a str, or a NUL byte).
bool to_path(PyObject* obj, const char* name, std::string* out);

}  // namespace ulmora_py
