#include "base/json.h"

#include <charconv>
#include <cmath>

namespace ulmora {

namespace {

// Lays out the shortest round-trip digits of `v`: plain decimal with a
// fractional part while the decimal point stays within `max_int_digits`
// digits (1.0, 12.34, 0.001234 down to `min_point` leading zeros), otherwise
// d.ddde-7 style with no plus sign and no exponent padding.
template <class F>
void append_float(std::string& out, F v, int max_int_digits, int min_point) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::scientific);
  const char* p = buf;
  const char* end = res.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[32];
  int length = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[length++] = *p;
  int sci_exp = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, sci_exp);
  const int kk = sci_exp + 1;  // 10^(kk-1) <= |v| < 10^kk
  const int k = kk - length;   // value = digits * 10^k
  if (k >= 0 && kk <= max_int_digits) {
    out.append(digits, static_cast<size_t>(length));
    out.append(static_cast<size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= max_int_digits) {
    out.append(digits, static_cast<size_t>(kk));
    out.push_back('.');
    out.append(digits + kk, static_cast<size_t>(length - kk));
  } else if (kk > min_point && kk <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-kk), '0');
    out.append(digits, static_cast<size_t>(length));
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out.append(digits + 1, static_cast<size_t>(length - 1));
    }
    out.push_back('e');
    char ebuf[8];
    auto er = std::to_chars(ebuf, ebuf + sizeof(ebuf), kk - 1);
    out.append(ebuf, er.ptr);
  }
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  out.append(buf, r.ptr);
}

}  // namespace

void JsonLine::append_f32(std::string& out, float v) { append_float(out, v, 13, -6); }

void JsonLine::append_f64(std::string& out, double v) { append_float(out, v, 16, -5); }

void JsonLine::append_string(std::string& out, std::string_view v) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void JsonLine::key(std::string_view k) {
  if (!first_) out_.push_back(',');
  first_ = false;
  append_string(out_, k);
  out_.push_back(':');
}

JsonLine& JsonLine::u64(std::string_view k, uint64_t v) {
  key(k);
  append_u64(out_, v);
  return *this;
}

JsonLine& JsonLine::opt_u64(std::string_view k, std::optional<uint64_t> v) {
  key(k);
  if (v) append_u64(out_, *v);
  else out_ += "null";
  return *this;
}

JsonLine& JsonLine::f32(std::string_view k, float v) {
  key(k);
  append_f32(out_, v);
  return *this;
}

JsonLine& JsonLine::opt_f32(std::string_view k, std::optional<float> v) {
  key(k);
  if (v) append_f32(out_, *v);
  else out_ += "null";
  return *this;
}

JsonLine& JsonLine::f64(std::string_view k, double v) {
  key(k);
  append_f64(out_, v);
  return *this;
}

JsonLine& JsonLine::boolean(std::string_view k, bool v) {
  key(k);
  out_ += v ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::str(std::string_view k, std::string_view v) {
  key(k);
  append_string(out_, v);
  return *this;
}

JsonLine& JsonLine::opt_str(std::string_view k, std::optional<std::string_view> v) {
  key(k);
  if (v) append_string(out_, *v);
  else out_ += "null";
  return *this;
}

const std::string& JsonLine::finish() {
  out_ += "}\n";
  return out_;
}

}  // namespace ulmora
