// The compact filter form made by ulmora.filters (nested tuples) -> the
// core's Filter. Needs the GIL; a malformed form sets ValueError/TypeError
// and returns false (the package checks filters first, so these errors
// only reach direct callers of the native module).
#pragma once

#include "pyref.h"

#include "segment/filter.h"

namespace ulmora_py {

bool to_filter(PyObject* compact, ulmora::Filter* out);

}  // namespace ulmora_py
