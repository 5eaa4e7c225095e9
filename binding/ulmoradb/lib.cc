// The `ulmoradb` extension module: multi-phase initialisation whose single
// execution step adds the `Index` type. The module keeps no state of its own;
// the type object and the internal-failure exception type are created once
// per process and shared by every import.
#include "index.h"
#include "pyref.h"

namespace ulmoradb {

namespace {

using ulmora::binding::ensure_internal_error_type;
using ulmora::binding::guarded;

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!ensure_internal_error_type("ulmoradb.InternalError",
                                    "A broken internal invariant of the ulmoradb native code.")) {
      return -1;
    }
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

}  // namespace ulmoradb

PyMODINIT_FUNC PyInit_ulmoradb(void) { return PyModuleDef_Init(&ulmoradb::kModule); }
