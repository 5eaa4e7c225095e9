#include "filter_convert.h"

#include <string>
#include <utility>
#include <vector>

#include "convert.h"

namespace ulmora_py {

namespace {

using ulmora::Filter;
using ulmora::PayloadValue;
using Op = Filter::Op;

// Deeper forms are refused here, before the core's own depth check, so a
// crafted form cannot exhaust the stack.
constexpr int kMaxConvertDepth = 64;

bool malformed(const char* what) {
  raise_text(PyExc_ValueError, std::string("malformed compact filter: ") + what);
  return false;
}

bool item(PyObject* tuple, Py_ssize_t i, PyObject** out) {
  *out = PyTuple_GetItem(tuple, i);  // borrowed
  return *out != nullptr;
}

bool to_text(PyObject* s, std::string* out) {
  if (!PyUnicode_Check(s)) return malformed("a key or tag is not a str");
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return false;
  out->assign(p, static_cast<size_t>(n));
  return true;
}

bool to_value(PyObject* v, PayloadValue* out) {
  if (PyBool_Check(v)) {
    out->v = v == Py_True;
  } else if (PyLong_Check(v)) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) return malformed("an int operand does not fit in 64 bits");
    if (x == -1 && PyErr_Occurred()) return false;
    out->v = static_cast<int64_t>(x);
  } else if (PyFloat_Check(v)) {
    out->v = PyFloat_AsDouble(v);
  } else if (PyUnicode_Check(v)) {
    std::string s;
    if (!to_text(v, &s)) return false;
    out->v = std::move(s);
  } else {
    return malformed("an operand is not bool, int, float or str");
  }
  return true;
}

bool tag_is(PyObject* tag, const char* name) { return PyUnicode_CompareWithASCIIString(tag, name) == 0; }

bool convert(PyObject* t, Filter* out, int depth);

bool children_of(PyObject* seq, std::vector<Filter>* out, int depth) {
  if (!PyTuple_Check(seq)) return malformed("children are not a tuple");
  for (Py_ssize_t i = 0; i < PyTuple_Size(seq); ++i) {
    Filter child;
    if (!convert(PyTuple_GetItem(seq, i), &child, depth + 1)) return false;
    out->push_back(std::move(child));
  }
  return true;
}

Op compare_op(PyObject* name) {
  static const std::pair<const char*, Op> kOps[] = {{"$eq", Op::kEq}, {"$ne", Op::kNe},   {"$gt", Op::kGt},
                                                    {"$gte", Op::kGte}, {"$lt", Op::kLt}, {"$lte", Op::kLte}};
  for (const auto& [text, op] : kOps)
    if (PyUnicode_Check(name) && tag_is(name, text)) return op;
  return Op::kAll;  // not a comparison
}

bool convert_key_op(PyObject* t, PyObject* tag, Py_ssize_t n, Filter* out) {
  PyObject *a = nullptr, *b = nullptr, *c = nullptr;
  if (tag_is(tag, "cmp") && n == 4 && item(t, 1, &a) && item(t, 2, &b) && item(t, 3, &c)) {
    out->op = compare_op(a);
    if (out->op == Op::kAll) return malformed("unknown comparison");
    out->values.emplace_back();
    return to_text(b, &out->key) && to_value(c, &out->values.back());
  }
  if (tag_is(tag, "in") && n == 4 && item(t, 1, &a) && item(t, 2, &b) && item(t, 3, &c)) {
    if (!PyTuple_Check(c)) return malformed("$in values are not a tuple");
    out->op = PyObject_IsTrue(a) ? Op::kNin : Op::kIn;
    out->values.resize(static_cast<size_t>(PyTuple_Size(c)));
    for (Py_ssize_t i = 0; i < PyTuple_Size(c); ++i)
      if (!to_value(PyTuple_GetItem(c, i), &out->values[static_cast<size_t>(i)])) return false;
    return to_text(b, &out->key);
  }
  if (tag_is(tag, "exists") && n == 3 && item(t, 1, &a) && item(t, 2, &b)) {
    out->op = Op::kExists;
    out->exists = PyObject_IsTrue(b) == 1;
    return to_text(a, &out->key);
  }
  if (tag_is(tag, "id") && n == 3 && item(t, 1, &a) && item(t, 2, &b)) {
    Buffer ids;
    if (!ids.bind(b, Buffer::kU64, 1, "ids")) return false;
    *out = Filter::id_in(PyObject_IsTrue(a) == 1, std::vector<uint64_t>(ids.u64s(), ids.u64s() + ids.shape(0)));
    return true;
  }
  return malformed("unknown tag or wrong length");
}

bool convert(PyObject* t, Filter* out, int depth) {
  if (depth > kMaxConvertDepth) return malformed("nested too deeply");
  if (!PyTuple_Check(t) || PyTuple_Size(t) < 1) return malformed("a node is not a non-empty tuple");
  const Py_ssize_t n = PyTuple_Size(t);
  PyObject* tag = PyTuple_GetItem(t, 0);
  if (!PyUnicode_Check(tag)) return malformed("a tag is not a str");
  PyObject* a = nullptr;
  if (tag_is(tag, "all") && n == 1) {
    *out = Filter::all();
    return true;
  }
  if ((tag_is(tag, "and") || tag_is(tag, "or")) && n == 2 && item(t, 1, &a)) {
    out->op = tag_is(tag, "and") ? Op::kAnd : Op::kOr;
    return children_of(a, &out->children, depth);
  }
  if (tag_is(tag, "not") && n == 2 && item(t, 1, &a)) {
    out->op = Op::kNot;
    out->children.emplace_back();
    return convert(a, &out->children.back(), depth + 1);
  }
  return convert_key_op(t, tag, n, out);
}

}  // namespace

bool to_filter(PyObject* compact, ulmora::Filter* out) { return convert(compact, out, 1); }

}  // namespace ulmora_py
