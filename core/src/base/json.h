// Compact JSON object lines for trace files: members in call order, no
// whitespace, shortest round-trip floats with a fractional part, null for
// non-finite values, JSON string escapes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ulmora {

class JsonLine {
 public:
  JsonLine() { out_.reserve(512); out_.push_back('{'); }
  JsonLine& u64(std::string_view key, uint64_t v);
  JsonLine& opt_u64(std::string_view key, std::optional<uint64_t> v);  // null when absent
  JsonLine& f32(std::string_view key, float v);
  JsonLine& opt_f32(std::string_view key, std::optional<float> v);
  JsonLine& f64(std::string_view key, double v);
  JsonLine& boolean(std::string_view key, bool v);
  JsonLine& str(std::string_view key, std::string_view v);
  JsonLine& opt_str(std::string_view key, std::optional<std::string_view> v);
  // Closes the object and appends the line feed; returns the whole line.
  const std::string& finish();

  static void append_f32(std::string& out, float v);
  static void append_f64(std::string& out, double v);
  static void append_string(std::string& out, std::string_view v);

 private:
  void key(std::string_view k);
  std::string out_;
  bool first_ = true;
};

}  // namespace ulmora
