#include "format/codec.h"

#include <cmath>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

namespace ulmora {
namespace {

constexpr const char* kEof = "io error: unexpected end of file";

TEST(Codec, FixedWidthRoundTripIsLittleEndian) {
  std::vector<uint8_t> buf;
  Encoder e(buf);
  e.u8(0xAB);
  e.u32(0x01020304);
  e.u64(0x0102030405060708ull);
  e.i64(-2);
  e.f32(-1.5f);
  e.f64(std::numeric_limits<double>::quiet_NaN());
  e.boolean(true);
  e.string("h\xC3\xA9");
  ASSERT_EQ(buf.size(), 1u + 4 + 8 + 8 + 4 + 8 + 1 + 8 + 3);
  EXPECT_EQ(buf[1], 0x04);  // least significant byte first
  EXPECT_EQ(buf[5], 0x08);

  Decoder d(buf.data(), buf.size());
  uint8_t a;
  uint32_t b;
  uint64_t c;
  int64_t i;
  float f;
  double g;
  bool t;
  std::string s;
  ASSERT_TRUE(d.u8(a) && d.u32(b) && d.u64(c) && d.i64(i) && d.f32(f) && d.f64(g) && d.boolean(t) && d.string(s));
  EXPECT_EQ(a, 0xAB);
  EXPECT_EQ(b, 0x01020304u);
  EXPECT_EQ(c, 0x0102030405060708ull);
  EXPECT_EQ(i, -2);
  EXPECT_EQ(f, -1.5f);
  EXPECT_TRUE(std::isnan(g));
  EXPECT_TRUE(t);
  EXPECT_EQ(s, "h\xC3\xA9");
  EXPECT_EQ(d.remaining(), 0u);
  EXPECT_EQ(d.position(), buf.size());
}

// Every read on too few bytes fails with the end-of-data text.
TEST(Codec, ShortInputFailsAtEndOfData) {
  using Read = std::function<bool(Decoder&)>;
  const std::pair<size_t, Read> reads[] = {
      {1, [](Decoder& d) { uint8_t v; return d.u8(v); }},
      {4, [](Decoder& d) { uint32_t v; return d.u32(v); }},
      {8, [](Decoder& d) { uint64_t v; return d.u64(v); }},
      {8, [](Decoder& d) { int64_t v; return d.i64(v); }},
      {4, [](Decoder& d) { float v; return d.f32(v); }},
      {8, [](Decoder& d) { double v; return d.f64(v); }},
      {1, [](Decoder& d) { bool v; return d.boolean(v); }},
      {1, [](Decoder& d) { bool v; return d.option(v); }},
      {4, [](Decoder& d) { uint32_t v; return d.variant(v, 3); }},
      {8, [](Decoder& d) { std::string v; return d.string(v); }},
  };
  const uint8_t zeros[8] = {};
  for (const auto& [need, read] : reads) {
    for (size_t have = 0; have < need; ++have) {
      Decoder d(zeros, have);
      EXPECT_FALSE(read(d));
      EXPECT_TRUE(d.failed());
      EXPECT_EQ(d.error(), kEof);
    }
    Decoder d(zeros, need);
    EXPECT_TRUE(read(d));
  }
}

TEST(Codec, TagAndVariantErrors) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::function<bool(Decoder&)> read;
    std::string error;
  };
  const Case cases[] = {
      {{2}, [](Decoder& d) { bool v; return d.boolean(v); }, "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {{255}, [](Decoder& d) { bool v; return d.boolean(v); }, "invalid u8 while decoding bool, expected 0 or 1, found 255"},
      {{2}, [](Decoder& d) { bool v; return d.option(v); }, "tag for enum is not valid, found 2"},
      {{3, 0, 0, 0}, [](Decoder& d) { uint32_t v; return d.variant(v, 3); },
       "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {{8, 0, 0, 0}, [](Decoder& d) { uint32_t v; return d.variant(v, 8); },
       "invalid value: integer `8`, expected variant index 0 <= i < 8"},
      {{255, 255, 255, 255}, [](Decoder& d) { uint32_t v; return d.variant(v, 8); },
       "invalid value: integer `4294967295`, expected variant index 0 <= i < 8"},
  };
  for (const auto& c : cases) {
    Decoder d(c.bytes.data(), c.bytes.size());
    EXPECT_FALSE(c.read(d));
    EXPECT_EQ(d.error(), c.error);
  }
  const uint8_t ok[] = {1, 0, 2, 0, 0, 0};
  Decoder d(ok, sizeof(ok));
  bool b = false, present = true;
  uint32_t idx = 0;
  EXPECT_TRUE(d.boolean(b) && d.option(present) && d.variant(idx, 3));
  EXPECT_TRUE(b);
  EXPECT_FALSE(present);
  EXPECT_EQ(idx, 2u);
}

TEST(Codec, StringErrors) {
  auto decode = [](uint64_t len, const std::string& bytes) {
    std::vector<uint8_t> buf;
    Encoder e(buf);
    e.u64(len);
    e.raw(bytes.data(), bytes.size());
    Decoder d(buf.data(), buf.size());
    std::string s;
    return d.string(s) ? "ok:" + s : d.error();
  };
  EXPECT_EQ(decode(3, "abc"), "ok:abc");
  EXPECT_EQ(decode(0, ""), "ok:");
  EXPECT_EQ(decode(3, "a\xFF" "c"), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(decode(2, "a\xC3"), "string is not valid utf8: incomplete utf-8 byte sequence from index 1");
  // The length is checked before the content: too few bytes is end of data.
  EXPECT_EQ(decode(4, "a\xFF" "c"), kEof);
  EXPECT_EQ(decode(~uint64_t{0}, "abc"), kEof);
}

TEST(Codec, ArraysCheckBytesBeforeGrowing) {
  std::vector<uint8_t> buf(40, 0);
  store_le<float>(buf.data(), 2.5f);
  for (uint64_t count : {uint64_t{11}, uint64_t{1} << 62, ~uint64_t{0}, (~uint64_t{0} / 4) + 2}) {
    Decoder d(buf.data(), buf.size());
    std::vector<float> out{7.0f};
    EXPECT_FALSE(d.f32_array(count, out));
    EXPECT_EQ(d.error(), kEof);
    EXPECT_EQ(out.size(), 1u);
  }
  Decoder d(buf.data(), buf.size());
  std::vector<float> out{7.0f};
  ASSERT_TRUE(d.f32_array(10, out));
  EXPECT_EQ(out.size(), 11u);
  EXPECT_EQ(out[1], 2.5f);
  std::vector<uint64_t> ids;
  Decoder d2(buf.data(), buf.size());
  EXPECT_FALSE(d2.u64_array(6, ids));
  EXPECT_TRUE(ids.empty());
}

TEST(Codec, FirstErrorIsKept) {
  const uint8_t b[] = {9};
  Decoder d(b, 1);
  bool v;
  EXPECT_FALSE(d.boolean(v));
  uint64_t x;
  EXPECT_FALSE(d.u64(x));
  EXPECT_EQ(d.error(), "invalid u8 while decoding bool, expected 0 or 1, found 9");
}

TEST(Codec, ReserveLimit) {
  EXPECT_EQ(reserve_limit(10, 4), 10u);
  EXPECT_EQ(reserve_limit(~uint64_t{0}, 4), 262144u);
  EXPECT_EQ(reserve_limit(~uint64_t{0}, 8), 131072u);
  EXPECT_EQ(reserve_limit(~uint64_t{0}, 0), size_t{1} << 20);
}

}  // namespace
}  // namespace ulmora
