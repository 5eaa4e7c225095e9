// Argument binding for the vectorcall-style methods (METH_FASTCALL |
// METH_KEYWORDS) and the scalar conversions the methods share.
//
// Every failure sets a Python exception and returns false; messages name the
// function and the argument. Called with the GIL held.
#pragma once

#include "pyref.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ulmora::binding {

inline constexpr size_t kMaxParams = 12;

// The parameter list of one method: names in binding order, the first
// `required` of them mandatory, the first `positional` of them (all by
// default) accepted by position, the rest keyword-only.
class ParamList {
 public:
  ParamList(const char* func, std::initializer_list<const char*> names, size_t required,
            size_t positional = kMaxParams);

  // Places each argument into slots[i] (borrowed) by position or keyword;
  // slots of omitted optional parameters are nullptr. Unknown keywords,
  // duplicates, too many positionals and a missing required argument raise
  // TypeError in CPython's usual wording.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
  // The same for a type's constructor slot: a tuple of positional
  // arguments and a dict of keywords (or nullptr).
  bool bind(PyObject* args, PyObject* kwds, PyObject** slots) const;

  const char* func() const { return func_; }
  const char* name(size_t i) const { return names_[i]; }

 private:
  // Position of keyword `key`, or -1. Interned names match by identity.
  int find(PyObject* key) const;

  const char* func_;
  const char* names_[kMaxParams];
  mutable PyObject* interned_[kMaxParams] = {};  // created at first bind
  size_t count_;
  size_t required_;
  size_t positional_;
};

// An integer in 0..2^64-1: int, any object with __index__ (NumPy integers
// included). TypeError for other types, OverflowError outside the range.
bool to_u64(PyObject* obj, const char* func, const char* name, uint64_t* out);

// A Python bool, or NumPy's boolean scalar through its truth value.
// TypeError for everything else (ints included).
bool to_bool(PyObject* obj, const char* func, const char* name, bool* out);

// Sets TypeError "{func}() argument '{name}' must be {what}, not {type}".
void raise_arg_type(const char* func, const char* name, const char* what, PyObject* got);

}  // namespace ulmora::binding
