// The `Index` heap type: a read-only ANN index loaded from a segment
// snapshot. Each instance owns one restored HnswIndex and nothing else; the
// index is never mutated after construction, so every method takes shared
// access and searches from several Python threads may run at once.
#pragma once

#include "pyref.h"

namespace ulmoradb {

// The type object, created on the first call and reused for the life of the
// process (borrowed). Returns nullptr with an error set on failure.
PyObject* index_type();

}  // namespace ulmoradb
