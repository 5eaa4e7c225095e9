#include "convert.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "segment/builder.h"

namespace ulmora_py {

using ulmora::ErrorKind;
using ulmora::Payload;
using ulmora::PayloadValue;

namespace {

PyObject* g_locked = nullptr;
PyObject* g_read_only = nullptr;

// UTF-8 text of a str (limited API: no PyUnicode_AsUTF8); nullptr on failure.
const char* utf8(PyObject* s) { return s ? PyUnicode_AsUTF8AndSize(s, nullptr) : nullptr; }

void raise_value_type(const std::string& key, PyObject* value, const char* what) {
  Ref name(PyType_GetName(Py_TYPE(value)));
  const char* tn = name ? utf8(name.get()) : nullptr;
  if (tn == nullptr) PyErr_Clear();
  raise_text(PyExc_TypeError, "payload key '" + key + "': " + what + " of type " + (tn ? tn : "?") +
                                  " is not supported (use bool, int, float, str or a list of one of them)");
}

// A NumPy scalar's Python value (its item()), or a new reference to `v`.
PyObject* plain(PyObject* v) {
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(v)), "__module__"));
  if (!module) {
    PyErr_Clear();
    return Py_NewRef(v);
  }
  const char* m = PyUnicode_Check(module.get()) ? utf8(module.get()) : nullptr;
  if (m != nullptr && std::strcmp(m, "numpy") == 0) {
    PyObject* item = PyObject_CallMethod(v, "item", nullptr);
    if (item != nullptr) return item;
    PyErr_Clear();
  }
  return Py_NewRef(v);
}

enum class Scalar { kBool, kInt, kFloat, kStr, kOther };

Scalar scalar_kind(PyObject* v) {
  if (PyBool_Check(v)) return Scalar::kBool;
  if (PyLong_Check(v)) return Scalar::kInt;
  if (PyFloat_Check(v)) return Scalar::kFloat;
  if (PyUnicode_Check(v)) return Scalar::kStr;
  return Scalar::kOther;
}

bool to_i64(PyObject* v, const std::string& key, int64_t* out) {
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow != 0) {
    raise_text(PyExc_OverflowError, "payload key '" + key + "': int does not fit in 64 bits");
    return false;
  }
  if (x == -1 && PyErr_Occurred()) return false;
  *out = x;
  return true;
}

// A payload str as UTF-8. A lone surrogate has no UTF-8 form; it is refused
// as a ValueError naming the key (`key` empty: the key itself).
bool to_str(PyObject* v, const std::string& key, std::string* out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(v, &n);
  if (s == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    raise_text(PyExc_ValueError, key.empty() ? "payload key holds a lone surrogate, which UTF-8 cannot encode"
                                             : "payload key '" + key +
                                                   "': str holds a lone surrogate, which UTF-8 cannot encode");
    return false;
  }
  out->assign(s, static_cast<size_t>(n));
  return true;
}

bool to_list_value(PyObject* list, const std::string& key, PayloadValue* out) {
  Ref seq(PySequence_Fast(list, "payload list"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Size(seq.get());
  std::vector<Ref> items;
  unsigned kinds = 0;  // bit per Scalar kind seen
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(plain(PySequence_GetItem(seq.get(), i)));
    if (!item) return false;
    const Scalar k = scalar_kind(item.get());
    if (k == Scalar::kOther) {
      raise_value_type(key, item.get(), "list element");
      return false;
    }
    kinds |= 1u << static_cast<unsigned>(k);
    items.push_back(std::move(item));
  }
  const unsigned kBool = 1u << 0, kInt = 1u << 1, kFloat = 1u << 2, kStr = 1u << 3;
  // Ints and floats mix into a float list; an empty list is a list of ints.
  if (kinds == kBool) {
    std::vector<bool> v;
    for (auto& it : items) v.push_back(it.get() == Py_True);
    out->v = std::move(v);
  } else if (kinds == kStr) {
    std::vector<std::string> v;
    for (auto& it : items) {
      std::string s;
      if (!to_str(it.get(), key, &s)) return false;
      v.push_back(std::move(s));
    }
    out->v = std::move(v);
  } else if (kinds == 0 || kinds == kInt) {
    std::vector<int64_t> v;
    for (auto& it : items) {
      int64_t x;
      if (!to_i64(it.get(), key, &x)) return false;
      v.push_back(x);
    }
    out->v = std::move(v);
  } else if ((kinds & ~(kInt | kFloat)) == 0) {
    std::vector<double> v;
    for (auto& it : items) {
      const double x = PyFloat_AsDouble(it.get());
      if (x == -1.0 && PyErr_Occurred()) return false;
      v.push_back(x);
    }
    out->v = std::move(v);
  } else {
    raise_text(PyExc_TypeError, "payload key '" + key + "': list mixes element types");
    return false;
  }
  return true;
}

bool to_value(PyObject* raw, const std::string& key, PayloadValue* out) {
  Ref v(plain(raw));
  switch (scalar_kind(v.get())) {
    case Scalar::kBool: out->v = v.get() == Py_True; return true;
    case Scalar::kInt: {
      int64_t x;
      if (!to_i64(v.get(), key, &x)) return false;
      out->v = x;
      return true;
    }
    case Scalar::kFloat: out->v = PyFloat_AsDouble(v.get()); return !PyErr_Occurred();
    case Scalar::kStr: {
      std::string s;
      if (!to_str(v.get(), key, &s)) return false;
      out->v = std::move(s);
      return true;
    }
    case Scalar::kOther: break;
  }
  if (PyList_Check(v.get()) || PyTuple_Check(v.get())) return to_list_value(v.get(), key, out);
  raise_value_type(key, v.get(), "value");
  return false;
}

}  // namespace

bool to_payload(PyObject* dict, Payload* out) {
  if (!PyDict_Check(dict)) {
    Ref name(PyType_GetName(Py_TYPE(dict)));
    const char* tn = name ? utf8(name.get()) : "?";
    PyErr_Format(PyExc_TypeError, "payload must be a dict, not %s", tn ? tn : "?");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      Ref r(PyObject_Repr(key));
      const char* text = r ? utf8(r.get()) : nullptr;
      if (text == nullptr) PyErr_Clear();
      raise_text(PyExc_TypeError, std::string("payload key ") + (text ? text : "?") + " is not a str");
      return false;
    }
    std::string k;
    if (!to_str(key, std::string(), &k)) return false;
    PayloadValue v;
    if (!to_value(value, k, &v)) return false;
    (*out)[k] = std::move(v);
  }
  return true;
}

bool to_payloads(PyObject* seq, uint64_t n, std::vector<std::optional<Payload>>* out) {
  Ref fast(PySequence_Fast(seq, "payloads must be a sequence of dicts or None"));
  if (!fast) return false;
  const Py_ssize_t size = PySequence_Size(fast.get());
  if (size < 0) return false;
  if (static_cast<uint64_t>(size) != n) {
    PyErr_Format(PyExc_ValueError, "got %zd payloads for %llu vectors", size, static_cast<unsigned long long>(n));
    return false;
  }
  out->assign(static_cast<size_t>(n), std::nullopt);
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item(PySequence_GetItem(fast.get(), i));
    if (!item) return false;
    if (item.get() == Py_None) continue;
    Payload p;
    if (!to_payload(item.get(), &p)) {
      // Say which row the bad payload belongs to, keeping the type. Only the
      // plain types are rebuilt from a message: others (UnicodeError and the
      // like) take other constructor arguments and pass through unchanged.
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      const bool plain_type = type == PyExc_TypeError || type == PyExc_ValueError || type == PyExc_OverflowError;
      Ref text(plain_type && value ? PyObject_Str(value) : nullptr);
      const char* t = text ? utf8(text.get()) : nullptr;
      if (t == nullptr && plain_type) PyErr_Clear();
      if (t != nullptr) {
        PyErr_Format(type, "payloads[%zd]: %s", i, t);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
      } else {
        PyErr_Restore(type, value, tb);
      }
      return false;
    }
    (*out)[static_cast<size_t>(i)] = std::move(p);
  }
  return true;
}

namespace {

PyObject* value_to_py(const PayloadValue& v) {
  auto list = [](const auto& xs, auto make) -> PyObject* {
    Ref out(PyList_New(static_cast<Py_ssize_t>(xs.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < xs.size(); ++i) {
      PyObject* x = make(xs[i]);
      if (x == nullptr) return nullptr;
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), x);
    }
    return out.release();
  };
  auto str = [](const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  };
  switch (v.kind()) {
    case PayloadValue::kInt: return PyLong_FromLongLong(std::get<0>(v.v));
    case PayloadValue::kFloat: return PyFloat_FromDouble(std::get<1>(v.v));
    case PayloadValue::kStr: return str(std::get<2>(v.v));
    case PayloadValue::kBool: return PyBool_FromLong(std::get<3>(v.v));
    case PayloadValue::kListInt: return list(std::get<4>(v.v), [](int64_t x) { return PyLong_FromLongLong(x); });
    case PayloadValue::kListFloat: return list(std::get<5>(v.v), [](double x) { return PyFloat_FromDouble(x); });
    case PayloadValue::kListStr: return list(std::get<6>(v.v), str);
    case PayloadValue::kListBool: return list(std::get<7>(v.v), [](bool x) { return PyBool_FromLong(x); });
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* from_payload(const Payload& p) {
  Ref out(PyDict_New());
  if (!out) return nullptr;
  for (const auto& [k, v] : p) {
    Ref value(value_to_py(v));
    if (!value) return nullptr;
    Ref key(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), "replace"));
    if (!key || PyDict_SetItem(out.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return out.release();
}

void raise_store_error(const ulmora::StoreError& e, const std::string& path) {
  switch (e.kind()) {
    case ErrorKind::kInvalidPayload:
    case ErrorKind::kInvalidFilter: return raise_text(PyExc_ValueError, e.text());
    case ErrorKind::kPointExists:
    case ErrorKind::kPointNotFound:
    case ErrorKind::kVectorLengthMismatch: return raise_text(PyExc_ValueError, e.message());
    case ErrorKind::kReadOnly: return raise_text(g_read_only, path + ": " + e.text());
    case ErrorKind::kIo: {
      // The text ends in "(os error N)": raise the OSError subclass for N.
      int err = EIO;
      if (size_t at = e.text().rfind("(os error "); at != std::string::npos) {
        err = std::atoi(e.text().c_str() + at + 10);
      }
      Ref text(PyUnicode_DecodeUTF8(e.message().data(), static_cast<Py_ssize_t>(e.message().size()), "replace"));
      Ref file(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
      if (!text || !file) return;
      Ref exc(PyObject_CallFunction(PyExc_OSError, "iOO", err, text.get(), file.get()));
      if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
      return;
    }
    default: return raise_text(PyExc_RuntimeError, e.message());
  }
}

PyObject* locked_error_type() { return g_locked; }

PyObject* read_only_error_type() { return g_read_only; }

bool ensure_exception_types() {
  if (g_locked == nullptr) {
    g_locked = PyErr_NewExceptionWithDoc("ulmora.SegmentLockedError",
                                         "The segment is open for writing by another process or handle.",
                                         PyExc_RuntimeError, nullptr);
  }
  if (g_read_only == nullptr) {
    g_read_only = PyErr_NewExceptionWithDoc("ulmora.ReadOnlyError",
                                            "A mutation of a segment or collection opened with readonly=True.",
                                            PyExc_PermissionError, nullptr);
  }
  return g_locked != nullptr && g_read_only != nullptr && ulmora::binding::ensure_internal_error_type(
                                   "ulmora.InternalError", "A broken internal invariant of the ulmora native code.");
}

bool to_key_list(PyObject* obj, std::optional<std::vector<std::string>>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  const Py_ssize_t n = PyList_Check(obj) || PyTuple_Check(obj) ? PySequence_Size(obj) : -1;
  if (n < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "filter_keys must be a list of str");
    return false;
  }
  std::vector<std::string> keys;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return false;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &len) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "filter_keys must be a list of str");
      return false;
    }
    keys.emplace_back(text, static_cast<size_t>(len));
  }
  if (std::string bad = ulmora::check_filter_keys(keys); !bad.empty()) {
    PyErr_SetString(PyExc_ValueError, bad.c_str());
    return false;
  }
  *out = std::move(keys);
  return true;
}

bool to_path(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str", name);
    return false;
  }
  // The file system encoding with surrogateescape gives back the bytes of a
  // name that is not valid UTF-8, as os.fsencode does.
  Ref bytes(PyUnicode_EncodeFSDefault(obj));
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &n) != 0) return false;
  out->assign(data, static_cast<size_t>(n));
  if (out->find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s contains a NUL byte", name);
    return false;
  }
  return true;
}

}  // namespace ulmora_py
