#include "base/utf8.h"

namespace ulmora::utf8 {

namespace {

inline bool is_cont(uint8_t b) { return (b & 0xC0) == 0x80; }

// Sequence width announced by a lead byte; 0 for bytes that cannot start one.
inline int lead_width(uint8_t b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// Allowed range of the second byte, which rules out overlongs, surrogates
// and code points above U+10FFFF.
inline bool second_ok(uint8_t lead, uint8_t b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return is_cont(b);
  }
}

// Checks the sequence starting at p[i]; returns its width, or the error.
// `error_len` 0 marks input ending inside the sequence.
inline int check_one(const uint8_t* p, size_t n, size_t i, uint8_t& error_len) {
  const uint8_t lead = p[i];
  const int w = lead_width(lead);
  if (w == 0) { error_len = 1; return -1; }
  if (w == 1) return 1;
  for (int k = 1; k < w; ++k) {
    if (i + k >= n) { error_len = 0; return -1; }
    const uint8_t b = p[i + k];
    const bool ok = k == 1 ? second_ok(lead, b) : is_cont(b);
    if (!ok) { error_len = static_cast<uint8_t>(k); return -1; }
  }
  return w;
}

}  // namespace

std::string Error::message() const {
  if (error_len == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::optional<Error> validate(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case; skip them eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      __builtin_memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    uint8_t error_len = 0;
    const int w = check_one(p, n, i, error_len);
    if (w < 0) return Error{i, error_len};
    i += static_cast<size_t>(w);
  }
  return std::nullopt;
}

size_t decode(const uint8_t* p, size_t n, char32_t& cp) {
  if (n == 0) return 0;
  uint8_t error_len = 0;
  const int w = check_one(p, n, 0, error_len);
  if (w < 0) return 0;
  static constexpr uint8_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t v = p[0] & kLeadMask[w];
  for (int k = 1; k < w; ++k) v = (v << 6) | (p[k] & 0x3F);
  cp = v;
  return static_cast<size_t>(w);
}

bool is_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t begin = 0, end = s.size();
  while (begin < end) {
    char32_t cp;
    const size_t w = decode(p + begin, end - begin, cp);
    if (w == 0 || !is_whitespace(cp)) break;
    begin += w;
  }
  while (end > begin) {
    // Step back to the start of the last sequence (at most 3 continuation bytes).
    size_t start = end - 1;
    while (start > begin && end - start < 4 && is_cont(p[start])) --start;
    char32_t cp;
    const size_t w = decode(p + start, end - start, cp);
    if (w != end - start || !is_whitespace(cp)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace ulmora::utf8
