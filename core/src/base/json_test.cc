#include "base/json.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

std::string F32(float v) {
  std::string s;
  JsonLine::append_f32(s, v);
  return s;
}

std::string F64(double v) {
  std::string s;
  JsonLine::append_f64(s, v);
  return s;
}

TEST(JsonFloat, SinglePrecision) {
  const std::pair<float, const char*> cases[] = {
      {1.0f, "1.0"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {-2.0f, "-2.0"},
      {0.1f, "0.1"},
      {1.5f, "1.5"},
      {-12.34f, "-12.34"},
      {0.3333333432674408f, "0.33333334"},
      {123456.0f, "123456.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e13"},
      {1.25e15f, "1.25e15"},
      {0.001234f, "0.001234"},
      {1e-6f, "0.000001"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {std::numeric_limits<float>::max(), "3.4028235e38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(F32(v), text) << text;
}

TEST(JsonFloat, DoublePrecision) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {0.30000000000000004, "0.30000000000000004"},
      {2.5, "2.5"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1e17, "1e17"},
      {0.0001, "0.0001"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {123.456e-10, "1.23456e-8"},
      {5e-324, "5e-324"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(F64(v), text) << text;
}

TEST(JsonFloat, NonFiniteIsNull) {
  EXPECT_EQ(F32(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(F32(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(F64(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonFloat, ShortestFormReadsBack) {
  uint32_t bits = 0x3F800001;
  for (int i = 0; i < 2000; ++i, bits = bits * 2654435761u + 12345) {
    float v;
    std::memcpy(&v, &bits, 4);
    if (!std::isfinite(v)) continue;
    EXPECT_EQ(std::strtof(F32(v).c_str(), nullptr), v) << F32(v);
  }
}

TEST(JsonString, Escapes) {
  std::string s;
  JsonLine::append_string(s, std::string("q\" b\\ \b\f\n\r\t \x01\x1f\x7f caf\xC3\xA9 /", 23));
  EXPECT_EQ(s, "\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f\x7f caf\xC3\xA9 /\"");
  s.clear();
  JsonLine::append_string(s, std::string("\0", 1));
  EXPECT_EQ(s, "\"\\u0000\"");
}

TEST(JsonLine, CompactObjectInCallOrder) {
  JsonLine line;
  line.u64("id", 18446744073709551615ull)
      .opt_u64("entry", std::nullopt)
      .opt_u64("best", 7)
      .f32("score", 0.5f)
      .opt_f32("missing", std::nullopt)
      .f32("nan", std::nanf(""))
      .f64("elapsed_ms", 3.0)
      .boolean("exact", false)
      .str("metric", "Cosine+SQ8")
      .opt_str("none", std::nullopt);
  EXPECT_EQ(line.finish(),
            "{\"id\":18446744073709551615,\"entry\":null,\"best\":7,\"score\":0.5,\"missing\":null,\"nan\":null,"
            "\"elapsed_ms\":3.0,\"exact\":false,\"metric\":\"Cosine+SQ8\",\"none\":null}\n");
  EXPECT_EQ(JsonLine().finish(), "{}\n");
}

}  // namespace
}  // namespace ulmora
