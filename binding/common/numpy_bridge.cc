#include "numpy_bridge.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "args.h"

namespace ulmora::binding {

namespace {

NumpyHandles g_numpy{};
bool g_numpy_ready = false;

// Positions in NumPy's C API table; fixed since NumPy 1.0 and kept by 2.x.
constexpr int kApiVersionSlot = 0;  // unsigned (*)(void): the C ABI version
constexpr int kArrayTypeSlot = 2;   // PyTypeObject: numpy.ndarray
constexpr int kNewFromDescrSlot = 94;

// The leading field of every ndarray object after the object header.
struct ArrayHead {
  PyObject_HEAD
  char* data;
};

// The `_ARRAY_API` capsule of NumPy 2 (numpy._core) or 1.x (numpy.core).
Ref api_capsule() {
  const char* const modules[] = {"numpy._core.multiarray", "numpy.core.multiarray"};
  for (const char* name : modules) {
    Ref multiarray(PyImport_ImportModule(name));
    Ref capsule(multiarray ? PyObject_GetAttrString(multiarray.get(), "_ARRAY_API") : nullptr);
    if (capsule || name == modules[1]) return capsule;  // the last failure stays set
    PyErr_Clear();
  }
  return Ref();
}

void** api_table() {
  Ref capsule = api_capsule();
  if (!capsule) return nullptr;
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return nullptr;
  // The ABI major version is 1 for NumPy 1.x and 2 for 2.x; both keep the
  // slots used here.
  const unsigned abi = reinterpret_cast<unsigned (*)()>(table[kApiVersionSlot])();
  if (abi >> 24 != 1 && abi >> 24 != 2) {
    PyErr_Format(PyExc_ImportError, "unsupported NumPy C ABI version 0x%x", abi);
    return nullptr;
  }
  return table;
}

bool lookup_numpy(NumpyHandles* out) {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  void** table = api_table();
  if (table == nullptr) return false;
  Ref dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
  Ref u64(dtype ? PyObject_CallFunction(dtype.get(), "s", "uint64") : nullptr);
  Ref f32(u64 ? PyObject_CallFunction(dtype.get(), "s", "float32") : nullptr);
  Ref b8(f32 ? PyObject_CallFunction(dtype.get(), "s", "bool") : nullptr);
  if (!b8) return false;
  *out = NumpyHandles{static_cast<PyTypeObject*>(table[kArrayTypeSlot]),
                      reinterpret_cast<NewFromDescrFn>(table[kNewFromDescrSlot]), u64.release(), f32.release(),
                      b8.release()};
  return true;
}

// Replaces the pending Python error with the internal-failure exception,
// keeping the original error's text.
void raise_numpy_unavailable() {
  std::string text = "NumPy's array interface could not be accessed";
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  // The only way to read a pending error under the 3.11 limited API; newer
  // headers mark it deprecated in favour of a 3.12-only call.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyErr_Fetch(&type, &value, &tb);
#pragma GCC diagnostic pop
  if (value != nullptr) {
    Ref str(PyObject_Str(value));
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
    if (utf8 != nullptr) text += std::string(": ") + utf8;
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  raise_internal(text.c_str());
}

// "f" with no byte-order mark or a native one; '<' only on little-endian
// hosts and '>' only on big-endian ones.
bool is_native_f32(const char* format) {
  if (format == nullptr) return false;
  char order = '@';
  if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') order = *format++;
  if (std::strcmp(format, "f") != 0) return false;
  if (order == '<') return std::endian::native == std::endian::little;
  if (order == '>' || order == '!') return std::endian::native == std::endian::big;
  return true;
}

// TypeError naming the argument; for arrays it also states their ndim and
// dtype, for other objects their type.
void raise_not_f32_array(PyObject* obj, bool is_array, int ndim, const char* func, const char* name) {
  const std::string what = "a " + std::to_string(ndim) + "-dimensional float32 numpy.ndarray in native byte order";
  if (!is_array) {
    raise_arg_type(func, name, what.c_str(), obj);
    return;
  }
  Ref dims(PyObject_GetAttrString(obj, "ndim"));
  Ref dtype(dims ? PyObject_GetAttrString(obj, "dtype") : nullptr);
  Ref dtype_str(dtype ? PyObject_Str(dtype.get()) : nullptr);
  if (!dtype_str) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s", func, name, what.c_str());
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not an array of ndim %S and dtype %U", func,
               name, what.c_str(), dims.get(), dtype_str.get());
}

}  // namespace

const NumpyHandles* numpy_handles() {
  if (g_numpy_ready) return &g_numpy;
  NumpyHandles found{};
  if (!lookup_numpy(&found)) {
    raise_numpy_unavailable();
    return nullptr;
  }
  // The import may have let another thread finish the lookup first.
  if (g_numpy_ready) {
    Py_DECREF(found.uint64);
    Py_DECREF(found.float32);
    Py_DECREF(found.bool8);
  } else {
    g_numpy = found;  // kept for the life of the process
    g_numpy_ready = true;
  }
  return &g_numpy;
}

Buffer::~Buffer() {
  if (held_) PyBuffer_Release(&view_);
}

bool Buffer::bind_ndarray(const NumpyHandles& np, PyObject* obj, int ndim, const char* func, const char* name) {
  const bool is_array = PyObject_TypeCheck(obj, np.ndarray);
  if (is_array && PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0) {
    held_ = true;
    if (view_.ndim == ndim && view_.itemsize == sizeof(float) && is_native_f32(view_.format)) return true;
  }
  PyErr_Clear();  // a dtype NumPy cannot export is just another wrong dtype
  raise_not_f32_array(obj, is_array, ndim, func, name);
  return false;
}

namespace {

// The format character of a buffer without its byte-order prefix.
char format_char(const char* format) {
  if (format == nullptr) return 'B';
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return format[0] != '\0' && format[1] == '\0' ? format[0] : '?';
}

}  // namespace

bool Buffer::bind(PyObject* obj, Kind kind, int ndim, const char* name) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous array", name);
    return false;
  }
  held_ = true;
  const char f = format_char(view_.format);
  const bool type_ok = kind == kF32 ? (f == 'f' && view_.itemsize == 4)
                                    : ((f == 'Q' || f == 'L' || f == 'K') && view_.itemsize == 8);
  if (!type_ok) {
    PyErr_Format(PyExc_TypeError, "%s must hold %s elements", name, kind == kF32 ? "float32" : "uint64");
    return false;
  }
  if (view_.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must be %d-dimensional, got %d dimensions", name, ndim, view_.ndim);
    return false;
  }
  return true;
}

size_t Buffer::size() const {
  size_t n = 1;
  for (int i = 0; i < view_.ndim; ++i) n *= static_cast<size_t>(view_.shape[i]);
  return n;
}

bool Buffer::aligned() const {
  return view_.buf != nullptr && reinterpret_cast<uintptr_t>(view_.buf) % alignof(float) == 0;
}

bool Buffer::c_contiguous() const {
  if (view_.strides == nullptr) return true;
  Py_ssize_t expected = view_.itemsize;
  for (int i = view_.ndim - 1; i >= 0; --i) {
    if (view_.shape[i] == 0) return true;
    if (view_.shape[i] > 1 && view_.strides[i] != expected) return false;
    expected *= view_.shape[i];
  }
  return true;
}

namespace {

// All exponent bits set: NaN or +-infinity.
inline bool non_finite_bits(uint32_t bits) { return (bits & 0x7F800000u) == 0x7F800000u; }

// Whole blocks are tested without a branch per element, so the test
// vectorises; the block holding a bad element is then searched one by one.
constexpr size_t kFiniteBlock = 64;

bool block_has_non_finite(const float* p) {
  uint32_t bad = 0;
  for (size_t j = 0; j < kFiniteBlock; ++j) bad |= non_finite_bits(std::bit_cast<uint32_t>(p[j])) ? 1u : 0u;
  return bad != 0;
}

}  // namespace

size_t first_non_finite(const float* data, size_t n) {
  size_t i = 0;
  while (i + kFiniteBlock <= n && !block_has_non_finite(data + i)) i += kFiniteBlock;
  for (; i < n; ++i) {
    if (non_finite_bits(std::bit_cast<uint32_t>(data[i]))) return i;
  }
  return n;
}

size_t copy_finite(const float* src, size_t n, float* dst) {
  const size_t good = first_non_finite(src, n);
  std::copy_n(src, good, dst);
  return good;
}

PyObject* new_array(const NumpyHandles& np, PyObject* dtype, Py_ssize_t rows, Py_ssize_t cols, void** data) {
  const Py_ssize_t dims[2] = {rows, cols};
  Py_INCREF(dtype);  // stolen by the constructor, even on failure
  PyObject* array = np.new_from_descr(np.ndarray, dtype, cols < 0 ? 1 : 2, dims, nullptr, nullptr, 0, nullptr);
  if (array == nullptr) return nullptr;
  *data = reinterpret_cast<ArrayHead*>(array)->data;
  return array;
}

}  // namespace ulmora::binding
