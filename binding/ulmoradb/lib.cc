// The `ulmoradb` extension module: multi-phase initialisation whose single
// execution step adds the `Index` type. The module keeps no state of its own;
// the type object and the internal-failure exception type are created once
// per process and shared by every import.
#include <cstring>

#include "index.h"
#include "pyref.h"

namespace ulmoradb {

namespace {

PyObject* g_internal_error = nullptr;

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!ensure_internal_error_type()) return -1;
    PyObject* type = index_type();
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "Index", type);
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "ulmoradb",
    "",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* internal_error_type() { return g_internal_error; }

bool ensure_internal_error_type() {
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc(
        "ulmoradb.InternalError", "A broken internal invariant of the ulmoradb native code.", PyExc_BaseException,
        nullptr);
  }
  return g_internal_error != nullptr;
}

void raise_internal(const char* what) {
  PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
  Ref message(PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(strlen(what)), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

}  // namespace ulmoradb

PyMODINIT_FUNC PyInit_ulmoradb(void) { return PyModuleDef_Init(&ulmoradb::kModule); }
