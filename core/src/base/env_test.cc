#include "base/env.h"

#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

TEST(EnvParse, Flag) {
  for (const char* off : {"0", "false", "FALSE", "False", "fAlSe"}) EXPECT_FALSE(env::parse_flag(off)) << off;
  for (const char* on : {"", "1", "true", "off", "no", " false", "false ", "00", "falsey", "fals"})
    EXPECT_TRUE(env::parse_flag(on)) << on;
}

TEST(EnvParse, Count) {
  struct Case {
    const char* text;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"3", 3},
      {"+3", 3},
      {"1_0", 10},
      {"1_000", 1000},
      {"_1__2_", 12},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18_446_744_073_709_551_615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"_", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"++3", std::nullopt},
      {" 3", std::nullopt},
      {"3 ", std::nullopt},
      {"abc", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"\xD9\xA3", std::nullopt},  // a non-ASCII digit
  };
  for (const auto& c : cases) EXPECT_EQ(env::parse_count(c.text), c.value) << "'" << c.text << "'";
}

TEST(EnvParse, PositiveFloat) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", 1.5},
      {"1_5e-1", 1.5},  // underscores go first: 15e-1
      {"+2", 2.0},
      {"0.25", 0.25},
      {".5", 0.5},
      {"5.", 5.0},
      {"1E2", 100.0},
      {"1e+2", 100.0},
      {"0", std::nullopt},
      {"0.0", std::nullopt},
      {"-1", std::nullopt},
      {"-0.5", std::nullopt},
      {"inf", std::nullopt},
      {"NaN", std::nullopt},
      {"1e400", std::nullopt},  // overflows to infinity
      {"", std::nullopt},
      {".", std::nullopt},
      {"e5", std::nullopt},
      {"1e", std::nullopt},
      {"1.5x", std::nullopt},
      {" 1.5", std::nullopt},
      {"0x1p3", std::nullopt},
  };
  for (const auto& c : cases) {
    auto f = env::parse_positive_f32(c.text);
    auto d = env::parse_positive_f64(c.text);
    ASSERT_EQ(f.has_value(), c.value.has_value()) << c.text;
    ASSERT_EQ(d.has_value(), c.value.has_value()) << c.text;
    if (c.value) {
      EXPECT_EQ(*f, static_cast<float>(*c.value)) << c.text;
      EXPECT_EQ(*d, *c.value) << c.text;
    }
  }
  // Finite in double precision but not in single precision.
  EXPECT_FALSE(env::parse_positive_f32("1e39").has_value());
  EXPECT_EQ(env::parse_positive_f64("1e39"), 1e39);
}

TEST(EnvParse, List) {
  using Set = std::set<std::string>;
  EXPECT_EQ(env::parse_list(" a, ,b ,a"), (Set{"a", "b"}));
  EXPECT_EQ(env::parse_list(""), Set{});
  EXPECT_EQ(env::parse_list(" , ,"), Set{});
  EXPECT_EQ(env::parse_list("x"), Set{"x"});
  EXPECT_EQ(env::parse_list("a b,\xE3\x80\x80" "c\xC2\xA0"), (Set{"a b", "c"}));
  EXPECT_EQ(env::parse_list("A,a"), (Set{"A", "a"}));
}

TEST(EnvLookup, UnsetAndNonUtf8AreAbsent) {
  const char* name = "ULMORA_ENV_TEST_VALUE";
  unsetenv(name);
  EXPECT_FALSE(env::lookup(name).has_value());
  EXPECT_FALSE(env::flag(name).has_value());
  setenv(name, "", 1);
  EXPECT_EQ(env::lookup(name), "");
  EXPECT_EQ(env::flag(name), true);
  EXPECT_FALSE(env::count(name).has_value());
  setenv(name, "1_024", 1);
  EXPECT_EQ(env::count(name), 1024u);
  EXPECT_EQ(env::positive_f32(name), 1024.0f);
  EXPECT_EQ(env::positive_f64(name), 1024.0);
  setenv(name, "FALSE", 1);
  EXPECT_EQ(env::flag(name), false);
  setenv(name, "7\xFF", 1);
  EXPECT_FALSE(env::lookup(name).has_value());
  EXPECT_FALSE(env::flag(name).has_value());
  unsetenv(name);
}

}  // namespace
}  // namespace ulmora
