#include "base/utf8.h"

#include <gtest/gtest.h>

namespace ulmora {
namespace {

struct Utf8Case {
  std::string bytes;
  std::string error;  // empty when valid
};

TEST(Utf8, ValidationErrors) {
  const Utf8Case cases[] = {
      {"", ""},
      {"plain ascii text", ""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
      {"\xF4\x8F\xBF\xBF", ""},  // U+10FFFF
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
      {"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xC3(", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xE2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xF0\x9F\x98(", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // bad before the end
      {"\xC3", "incomplete utf-8 byte sequence from index 0"},
      {"a\xE2\x82", "incomplete utf-8 byte sequence from index 1"},
      {"abcd\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 4"},
      {"0123456789abcdef\xFF", "invalid utf-8 sequence of 1 bytes from index 16"},  // after the ASCII fast path
      {"0123456\xC3\xA9" "89abcdef\xC3", "incomplete utf-8 byte sequence from index 17"},
  };
  for (const auto& c : cases) {
    auto err = utf8::validate(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(err ? err->message() : "", c.error) << c.bytes;
    EXPECT_EQ(utf8::is_valid(c.bytes), c.error.empty());
  }
}

TEST(Utf8, DecodeAndTrim) {
  char32_t cp = 0;
  EXPECT_EQ(utf8::decode(reinterpret_cast<const uint8_t*>("\xE2\x80\x83x"), 4, cp), 3u);
  EXPECT_EQ(cp, U'\u2003');
  EXPECT_EQ(utf8::trim(" \t\n a b \r\v\f"), "a b");
  EXPECT_EQ(utf8::trim("\xE3\x80\x80key\xC2\xA0\xE2\x80\xA8"), "key");  // U+3000, U+00A0, U+2028
  EXPECT_EQ(utf8::trim("\xE2\x80\x8Bkey"), "\xE2\x80\x8Bkey");            // U+200B is not whitespace
  EXPECT_EQ(utf8::trim("   "), "");
  EXPECT_EQ(utf8::trim("\xFF a \xFF"), "\xFF a \xFF");  // undecodable bytes stop trimming
}

}  // namespace
}  // namespace ulmora
