#include "args.h"

#include <algorithm>
#include <stdexcept>

namespace ulmora::binding {

ParamList::ParamList(const char* func, std::initializer_list<const char*> names, size_t required,
                     size_t positional)
    : func_(func), count_(names.size()), required_(required), positional_(std::min(positional, names.size())) {
  if (names.size() > kMaxParams || required > positional_) throw std::logic_error("bad parameter list");
  size_t i = 0;
  for (const char* n : names) names_[i++] = n;
}

int ParamList::find(PyObject* key) const {
  for (size_t i = 0; i < count_; ++i) {
    if (interned_[i] == key) return static_cast<int>(i);
  }
  if (!PyUnicode_Check(key)) return -1;
  for (size_t i = 0; i < count_; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

bool ParamList::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
  if (interned_[0] == nullptr) {
    for (size_t i = 0; i < count_; ++i) {
      interned_[i] = PyUnicode_InternFromString(names_[i]);  // kept for the process
      if (interned_[i] == nullptr) return false;
    }
  }
  if (static_cast<size_t>(nargs) > positional_) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", func_, positional_, nargs);
    return false;
  }
  for (size_t i = 0; i < count_; ++i) slots[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    if (key == nullptr) return false;
    const int pos = find(key);
    if (pos < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", func_, key);
      return false;
    }
    if (slots[pos] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func_, names_[pos]);
      return false;
    }
    slots[pos] = args[nargs + j];
  }
  for (size_t i = 0; i < required_; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func_, names_[i], i + 1);
      return false;
    }
  }
  return true;
}

bool ParamList::bind(PyObject* args, PyObject* kwds, PyObject** slots) const {
  const Py_ssize_t nargs = PyTuple_Size(args);
  const Py_ssize_t nkw = kwds != nullptr ? PyDict_Size(kwds) : 0;
  if (nargs < 0 || nkw < 0) return false;
  // Gathered into the vectorcall form: positionals, then keyword values in
  // the order of their names.
  std::vector<PyObject*> flat(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
  Ref kwnames;
  if (nkw > 0) {
    kwnames = Ref(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, j = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      PyTuple_SetItem(kwnames.get(), j, Py_NewRef(key));
      flat[static_cast<size_t>(nargs + j++)] = value;
    }
  }
  return bind(flat.data(), nargs, kwnames.get(), slots);
}

void raise_arg_type(const char* func, const char* name, const char* what, PyObject* got) {
  Ref type_name(PyType_GetName(Py_TYPE(got)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", func, name, what, type_name.get());
}

namespace {

// Replaces the OverflowError of an int outside 0..2^64-1 with one that names
// the argument, keeping CPython's conversion wording.
void raise_u64_overflow(PyObject* value, const char* func, const char* name) {
  PyErr_Clear();
  Ref zero(PyLong_FromLong(0));
  if (!zero) return;
  const int negative = PyObject_RichCompareBool(value, zero.get(), Py_LT);
  if (negative < 0) return;
  PyErr_Format(PyExc_OverflowError, "%s() argument '%s': %s", func, name,
               negative ? "can't convert negative int to unsigned" : "int too big to convert");
}

}  // namespace

bool to_u64(PyObject* obj, const char* func, const char* name, uint64_t* out) {
  Ref converted;
  PyObject* value = obj;
  if (!PyLong_Check(obj)) {
    if (!PyIndex_Check(obj)) {
      raise_arg_type(func, name, "an integer", obj);
      return false;
    }
    converted = Ref(PyNumber_Index(obj));
    if (!converted) return false;
    value = converted.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) raise_u64_overflow(value, func, name);
    return false;
  }
  *out = static_cast<uint64_t>(v);
  return true;
}

namespace {

// NumPy's boolean scalar type, when NumPy is already imported. Looked up
// through sys.modules so that checking an argument never imports NumPy.
bool is_numpy_bool(PyObject* obj) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* numpy = modules ? PyDict_GetItemString(modules, "numpy") : nullptr;  // borrowed
  if (numpy == nullptr || numpy == Py_None) return false;
  Ref bool_type(PyObject_GetAttrString(numpy, "bool_"));
  if (!bool_type) {
    PyErr_Clear();
    return false;
  }
  return PyType_Check(bool_type.get()) &&
         PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(bool_type.get()));
}

}  // namespace

bool to_bool(PyObject* obj, const char* func, const char* name, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  raise_arg_type(func, name, "bool", obj);
  return false;
}

}  // namespace ulmora::binding
