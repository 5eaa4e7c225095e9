// The internal-failure exception and native-text raising. Each extension
// module links its own copy, so each has its own exception type.
#include <cstring>

#include "pyref.h"

namespace ulmora::binding {

namespace {
PyObject* g_internal_error = nullptr;  // kept for the life of the process
}

PyObject* internal_error_type() { return g_internal_error; }

bool ensure_internal_error_type(const char* qualified_name, const char* doc) {
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc(qualified_name, doc, PyExc_BaseException, nullptr);
  }
  return g_internal_error != nullptr;
}

void raise_internal(const char* what) {
  PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
  Ref message(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

void raise_text(PyObject* type, const std::string& text) {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace ulmora::binding
