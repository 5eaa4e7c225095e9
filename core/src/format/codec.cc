#include "format/codec.h"

#include "base/utf8.h"

namespace ulmora {

bool Decoder::fail(std::string message) {
  if (!failed_) {
    failed_ = true;
    error_ = std::move(message);
  }
  return false;
}

bool Decoder::boolean(bool& v) {
  uint8_t b = 0;
  if (!u8(b)) return false;
  if (b > 1) return fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
  v = b == 1;
  return true;
}

bool Decoder::string(std::string& v) {
  uint64_t len = 0;
  if (!u64(len)) return false;
  if (len > remaining()) return fail_eof();
  const size_t n = static_cast<size_t>(len);
  if (auto err = utf8::validate(p_, n)) return fail("string is not valid utf8: " + err->message());
  v.assign(reinterpret_cast<const char*>(p_), n);
  p_ += n;
  return true;
}

bool Decoder::option(bool& present) {
  uint8_t tag = 0;
  if (!u8(tag)) return false;
  if (tag > 1) return fail("tag for enum is not valid, found " + std::to_string(tag));
  present = tag == 1;
  return true;
}

bool Decoder::variant(uint32_t& index, uint32_t variants) {
  uint32_t v = 0;
  if (!u32(v)) return false;
  if (v >= variants) {
    return fail("invalid value: integer `" + std::to_string(v) + "`, expected variant index 0 <= i < " +
                std::to_string(variants));
  }
  index = v;
  return true;
}

bool Decoder::bytes(void* out, size_t n) {
  if (n > remaining()) return fail_eof();
  if (n) std::memcpy(out, p_, n);
  p_ += n;
  return true;
}

// Fixed-width elements can only fail by running out of bytes, so the whole
// run is checked before the vector grows: a corrupt count never allocates.
template <class T>
bool Decoder::array(uint64_t count, std::vector<T>& out) {
  if (count > remaining() / sizeof(T)) return fail_eof();
  const size_t n = static_cast<size_t>(count);
  const size_t old = out.size();
  out.resize(old + n);
  if constexpr (std::endian::native == std::endian::little) {
    if (n) std::memcpy(out.data() + old, p_, n * sizeof(T));
  } else {
    for (size_t i = 0; i < n; ++i) out[old + i] = load_le<T>(p_ + i * sizeof(T));
  }
  p_ += n * sizeof(T);
  return true;
}

bool Decoder::f32_array(uint64_t count, std::vector<float>& out) { return array(count, out); }
bool Decoder::u64_array(uint64_t count, std::vector<uint64_t>& out) { return array(count, out); }
bool Decoder::i64_array(uint64_t count, std::vector<int64_t>& out) { return array(count, out); }
bool Decoder::f64_array(uint64_t count, std::vector<double>& out) { return array(count, out); }

}  // namespace ulmora
