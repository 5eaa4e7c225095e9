// UTF-8 validation and decoding for untrusted text (decoded strings,
// environment values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ulmora::utf8 {

// Where and how a byte string stops being UTF-8.
struct Error {
  size_t valid_up_to;  // bytes before the first bad sequence
  uint8_t error_len;   // length of the bad sequence (1..3); 0 when the input ends inside a sequence
  // "invalid utf-8 sequence of 1 bytes from index 3" or
  // "incomplete utf-8 byte sequence from index 5".
  std::string message() const;
};

// Nothing when [p, p + n) is valid UTF-8 (no overlongs, no surrogates, at
// most U+10FFFF).
std::optional<Error> validate(const uint8_t* p, size_t n);

inline bool is_valid(std::string_view s) {
  return !validate(reinterpret_cast<const uint8_t*>(s.data()), s.size()).has_value();
}

// Decodes one code point at the front of [p, p + n); returns its byte length,
// or 0 when the bytes there are not a valid sequence.
size_t decode(const uint8_t* p, size_t n, char32_t& cp);

// Unicode White_Space property.
bool is_whitespace(char32_t cp);

// `s` without leading and trailing Unicode whitespace. Bytes that do not
// decode end the trimming on that side.
std::string_view trim(std::string_view s);

}  // namespace ulmora::utf8
