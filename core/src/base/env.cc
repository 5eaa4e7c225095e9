#include "base/env.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/utf8.h"

namespace ulmora::env {

namespace {

std::string without_underscores(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '_') out.push_back(c);
  return out;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whole-text decimal float: [+-] digits [. digits] [(e|E) [+-] digits], with
// at least one mantissa digit (".5" and "5." are accepted).
bool is_decimal_float(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

template <class T>
std::optional<T> parse_positive(std::string_view text) {
  std::string s = without_underscores(text);
  if (!is_decimal_float(s)) return std::nullopt;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (*first == '+') ++first;  // from_chars takes no plus sign
  T value{};
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  // Out of range means overflow to infinity or underflow to zero: both absent.
  if (ec != std::errc() || ptr != last) return std::nullopt;
  if (!std::isfinite(value) || !(value > 0)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> lookup(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  std::string s(v);
  if (!utf8::is_valid(s)) return std::nullopt;
  return s;
}

bool parse_flag(std::string_view text) {
  if (text == "0") return false;
  if (text.size() != 5) return true;
  static constexpr char kFalse[] = "false";
  for (size_t i = 0; i < 5; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kFalse[i]) return true;
  }
  return false;
}

std::optional<uint64_t> parse_count(std::string_view text) {
  std::string s = without_underscores(text);
  std::string_view digits = s;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (!is_digit(c)) return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<float> parse_positive_f32(std::string_view text) { return parse_positive<float>(text); }

std::optional<double> parse_positive_f64(std::string_view text) { return parse_positive<double>(text); }

std::set<std::string> parse_list(std::string_view text) {
  std::set<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = utf8::trim(text.substr(start, comma - start));
    if (!piece.empty()) out.emplace(piece);
    start = comma + 1;
  }
  return out;
}

std::optional<bool> flag(const char* name) {
  auto v = lookup(name);
  if (!v) return std::nullopt;
  return parse_flag(*v);
}

std::optional<uint64_t> count(const char* name) {
  auto v = lookup(name);
  if (!v) return std::nullopt;
  return parse_count(*v);
}

std::optional<float> positive_f32(const char* name) {
  auto v = lookup(name);
  if (!v) return std::nullopt;
  return parse_positive_f32(*v);
}

std::optional<double> positive_f64(const char* name) {
  auto v = lookup(name);
  if (!v) return std::nullopt;
  return parse_positive_f64(*v);
}

}  // namespace ulmora::env
