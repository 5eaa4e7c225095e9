#include "segment/filter.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "segment/segment.h"

namespace ulmora {

namespace {

using Op = Filter::Op;

bool is_range(Op op) { return op == Op::kGt || op == Op::kGte || op == Op::kLt || op == Op::kLte; }
bool is_compare(Op op) { return op == Op::kEq || op == Op::kNe || is_range(op); }
bool is_key_op(Op op) { return is_compare(op) || op == Op::kIn || op == Op::kNin || op == Op::kExists; }

const char* op_name(Op op) {
  switch (op) {
    case Op::kAll: return "all";
    case Op::kAnd: return "$and";
    case Op::kOr: return "$or";
    case Op::kNot: return "$not";
    case Op::kEq: return "$eq";
    case Op::kNe: return "$ne";
    case Op::kGt: return "$gt";
    case Op::kGte: return "$gte";
    case Op::kLt: return "$lt";
    case Op::kLte: return "$lte";
    case Op::kIn: return "$in";
    case Op::kNin: return "$nin";
    case Op::kExists: return "$exists";
    case Op::kIdIn: return "$id $in";
    case Op::kIdNin: return "$id $nin";
  }
  return "?";
}

// One scalar, stored or operand, without copying its text.
struct Scalar {
  enum Kind : uint8_t { kInt, kFloat, kStr, kBool } kind;
  int64_t i = 0;
  double d = 0;
  std::string_view s;
  bool b = false;
  static Scalar of_int(int64_t x) { return {kInt, x, 0, {}, false}; }
  static Scalar of_float(double x) { return {kFloat, 0, x, {}, false}; }
  static Scalar of_str(std::string_view x) { return {kStr, 0, 0, x, false}; }
  static Scalar of_bool(bool x) { return {kBool, 0, 0, {}, x}; }
};

Scalar scalar_of(const PayloadValue& v) {
  switch (v.kind()) {
    case PayloadValue::kInt: return Scalar::of_int(std::get<int64_t>(v.v));
    case PayloadValue::kFloat: return Scalar::of_float(std::get<double>(v.v));
    case PayloadValue::kStr: return Scalar::of_str(std::get<std::string>(v.v));
    default: return Scalar::of_bool(std::get<bool>(v.v));
  }
}

enum class Rel : uint8_t { kLess, kEqual, kGreater, kUnordered };

template <class T>
Rel order(const T& a, const T& b) {
  return a < b ? Rel::kLess : (b < a ? Rel::kGreater : Rel::kEqual);
}

// An int64 against a double, exactly: no rounding of either side.
Rel int_vs_float(int64_t i, double d) {
  if (std::isnan(d)) return Rel::kUnordered;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (d >= kTwo63) return Rel::kLess;
  if (d < -kTwo63) return Rel::kGreater;
  const double whole = std::trunc(d);
  const auto t = static_cast<int64_t>(whole);  // exact: |whole| < 2^63
  if (i != t) return i < t ? Rel::kLess : Rel::kGreater;
  const double frac = d - whole;
  return frac > 0 ? Rel::kLess : (frac < 0 ? Rel::kGreater : Rel::kEqual);
}

Rel flip(Rel r) { return r == Rel::kLess ? Rel::kGreater : (r == Rel::kGreater ? Rel::kLess : r); }

// How stored value `a` relates to operand `b`; different kinds are unordered.
Rel relate(const Scalar& a, const Scalar& b) {
  if (a.kind == Scalar::kInt && b.kind == Scalar::kInt) return order(a.i, b.i);
  if (a.kind == Scalar::kFloat && b.kind == Scalar::kFloat) {
    if (std::isnan(a.d) || std::isnan(b.d)) return Rel::kUnordered;
    return order(a.d, b.d);
  }
  if (a.kind == Scalar::kInt && b.kind == Scalar::kFloat) return int_vs_float(a.i, b.d);
  if (a.kind == Scalar::kFloat && b.kind == Scalar::kInt) return flip(int_vs_float(b.i, a.d));
  if (a.kind != b.kind) return Rel::kUnordered;
  if (a.kind == Scalar::kStr) return order(a.s, b.s);  // char_traits<char>: unsigned bytes
  return order(a.b, b.b);
}

bool holds(Op op, Rel r) {
  switch (op) {
    case Op::kEq: case Op::kIn: return r == Rel::kEqual;
    case Op::kGt: return r == Rel::kGreater;
    case Op::kGte: return r == Rel::kGreater || r == Rel::kEqual;
    case Op::kLt: return r == Rel::kLess;
    case Op::kLte: return r == Rel::kLess || r == Rel::kEqual;
    default: return false;
  }
}

// Calls f(scalar) for the value or each element of a list, until f is true.
template <class F>
bool any_element(const PayloadValue& v, F&& f) {
  switch (v.kind()) {
    case PayloadValue::kListInt:
      for (int64_t x : std::get<std::vector<int64_t>>(v.v))
        if (f(Scalar::of_int(x))) return true;
      return false;
    case PayloadValue::kListFloat:
      for (double x : std::get<std::vector<double>>(v.v))
        if (f(Scalar::of_float(x))) return true;
      return false;
    case PayloadValue::kListStr:
      for (const std::string& x : std::get<std::vector<std::string>>(v.v))
        if (f(Scalar::of_str(x))) return true;
      return false;
    case PayloadValue::kListBool:
      for (bool x : std::get<std::vector<bool>>(v.v))
        if (f(Scalar::of_bool(x))) return true;
      return false;
    default: return f(scalar_of(v));
  }
}

// Eq, In and the ranges on a present entry (Ne and Nin are their negations).
bool entry_matches(const Filter& f, const PayloadValue& stored) {
  const Op op = f.op == Op::kNe ? Op::kEq : (f.op == Op::kNin ? Op::kIn : f.op);
  return any_element(stored, [&](const Scalar& a) {
    for (const PayloadValue& operand : f.values)
      if (holds(op, relate(a, scalar_of(operand)))) return true;
    return false;
  });
}

Status invalid(const Filter& f, const std::string& what) {
  std::string where = f.key.empty() ? std::string(op_name(f.op)) : std::string(op_name(f.op)) + " on '" + f.key + "'";
  return StoreError::InvalidFilter(where + ": " + what);
}

Status check_operand(const Filter& f, const PayloadValue& v) {
  if (!v.is_scalar()) return invalid(f, "operand must be a number, string or bool");
  if (v.kind() == PayloadValue::kFloat && std::isnan(std::get<double>(v.v))) return invalid(f, "NaN operand");
  if (is_range(f.op) && v.kind() == PayloadValue::kBool) return invalid(f, "a range does not apply to a bool");
  return Status::Ok();
}

Status check_at(const Filter& f, uint64_t depth) {
  if (depth > kMaxFilterDepth) return StoreError::InvalidFilter("nesting deeper than 32 levels");
  const bool logic = f.op == Op::kAnd || f.op == Op::kOr || f.op == Op::kNot;
  if (!logic && !f.children.empty()) return invalid(f, "takes no sub-filters");
  if (!is_key_op(f.op) && !f.key.empty()) return invalid(f, "takes no key");
  if (f.op != Op::kIdIn && f.op != Op::kIdNin && !f.ids.empty()) return invalid(f, "takes no ids");
  if ((f.op == Op::kAnd || f.op == Op::kOr) && f.children.empty()) return invalid(f, "needs at least one filter");
  if (f.op == Op::kNot && f.children.size() != 1) return invalid(f, "needs exactly one filter");
  if (is_compare(f.op) && f.values.size() != 1) return invalid(f, "needs exactly one operand");
  if (!is_compare(f.op) && f.op != Op::kIn && f.op != Op::kNin && !f.values.empty()) {
    return invalid(f, "takes no operands");
  }
  for (const PayloadValue& v : f.values) ULMORA_TRY(check_operand(f, v));
  if (!std::is_sorted(f.ids.begin(), f.ids.end()) || std::adjacent_find(f.ids.begin(), f.ids.end()) != f.ids.end()) {
    return invalid(f, "ids must be sorted and distinct");
  }
  for (const Filter& c : f.children) ULMORA_TRY(check_at(c, depth + 1));
  return Status::Ok();
}

}  // namespace

// ---- Construction and checks -------------------------------------------------

Filter Filter::logic(Op op, std::vector<Filter> children) {
  Filter f;
  f.op = op;
  f.children = std::move(children);
  return f;
}

Filter Filter::negate(Filter child) {
  std::vector<Filter> one;
  one.push_back(std::move(child));
  return logic(Op::kNot, std::move(one));
}

Filter Filter::compare(Op op, std::string key, PayloadValue value) {
  Filter f;
  f.op = op;
  f.key = std::move(key);
  f.values.push_back(std::move(value));
  return f;
}

Filter Filter::in(bool negated, std::string key, std::vector<PayloadValue> values) {
  Filter f;
  f.op = negated ? Op::kNin : Op::kIn;
  f.key = std::move(key);
  f.values = std::move(values);
  return f;
}

Filter Filter::has(std::string key, bool exists) {
  Filter f;
  f.op = Op::kExists;
  f.key = std::move(key);
  f.exists = exists;
  return f;
}

Filter Filter::id_in(bool negated, std::vector<uint64_t> ids) {
  Filter f;
  f.op = negated ? Op::kIdNin : Op::kIdIn;
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  f.ids = std::move(ids);
  return f;
}

Status check_filter(const Filter& filter) { return check_at(filter, 1); }

bool same_filter(const Filter& a, const Filter& b) {
  if (a.op != b.op || a.exists != b.exists || a.key != b.key || a.values != b.values || a.ids != b.ids ||
      a.children.size() != b.children.size())
    return false;
  for (size_t i = 0; i < a.children.size(); ++i) {
    if (!same_filter(a.children[i], b.children[i])) return false;
  }
  return true;
}

uint64_t filter_hash(const Filter& f) {
  auto mix = [](uint64_t h, uint64_t x) { return (h ^ x) * 0x100000001B3ull + (h >> 29); };
  uint64_t h = mix(static_cast<uint64_t>(f.op), f.exists);
  h = mix(h, TextHash{}(f.key));
  for (const PayloadValue& v : f.values) h = mix(h, PayloadValueHash{}(v));
  h = mix(h, f.ids.size());
  for (uint64_t id : f.ids) h = mix(h, id);
  for (const Filter& c : f.children) h = mix(h, filter_hash(c));
  return h;
}

// ---- Evaluation against one payload --------------------------------------

bool matches(const Filter& f, uint64_t point_id, const Payload* payload) {
  switch (f.op) {
    case Op::kAll: return true;
    case Op::kAnd:
      for (const Filter& c : f.children)
        if (!matches(c, point_id, payload)) return false;
      return true;
    case Op::kOr:
      for (const Filter& c : f.children)
        if (matches(c, point_id, payload)) return true;
      return false;
    case Op::kNot: return !matches(f.children[0], point_id, payload);
    case Op::kIdIn: return std::binary_search(f.ids.begin(), f.ids.end(), point_id);
    case Op::kIdNin: return !std::binary_search(f.ids.begin(), f.ids.end(), point_id);
    default: break;
  }
  const PayloadValue* stored = nullptr;
  if (payload != nullptr) {
    if (auto it = payload->find(f.key); it != payload->end()) stored = &it->second;
  }
  if (f.op == Op::kExists) return (stored != nullptr) == f.exists;
  const bool negated = f.op == Op::kNe || f.op == Op::kNin;
  if (stored == nullptr) return negated;
  return entry_matches(f, *stored) != negated;
}

}  // namespace ulmora
