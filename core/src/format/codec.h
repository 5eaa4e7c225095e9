// The value encoding shared by snapshots and log records: fixed-width
// little-endian integers and floats, u64 length prefixes, u32 variant
// indices, one-byte option tags and bools. No alignment, no padding.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ulmora {

// Never reserve more than this many bytes up front for one container, so a
// corrupt count fails at end of data instead of allocating.
inline constexpr size_t kMaxReserveBytes = size_t{1} << 20;

inline size_t reserve_limit(uint64_t count, size_t element_size) {
  uint64_t cap = kMaxReserveBytes / (element_size ? element_size : 1);
  return static_cast<size_t>(count < cap ? count : cap);
}

// Little-endian loads and stores of unaligned bytes.
template <class T>
inline T load_le(const uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
  if constexpr (std::endian::native == std::endian::little) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  } else {
    uint8_t r[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) r[i] = p[sizeof(T) - 1 - i];
    T v;
    std::memcpy(&v, r, sizeof(T));
    return v;
  }
}

template <class T>
inline void store_le(uint8_t* p, T v) {
  static_assert(std::is_trivially_copyable_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
  std::memcpy(p, &v, sizeof(T));
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(p[i], p[sizeof(T) - 1 - i]);
  }
}

// Reads values from a byte buffer. Every read returns false on failure and
// records the first error's text (the decode message, e.g.
// "io error: unexpected end of file"). Reads never pass the buffer's end.
// After a failure the decoder's position is unspecified; callers stop.
class Decoder {
 public:
  Decoder(const uint8_t* data, size_t len) : p_(data), end_(data + len), begin_(data) {}

  bool u8(uint8_t& v) {
    if (p_ == end_) return fail_eof();
    v = *p_++;
    return true;
  }
  bool u32(uint32_t& v) { return fixed(v); }
  bool u64(uint64_t& v) { return fixed(v); }
  bool i64(int64_t& v) { return fixed(v); }
  bool f32(float& v) { return fixed(v); }
  bool f64(double& v) { return fixed(v); }
  bool boolean(bool& v);
  // u64 byte length, then UTF-8 bytes.
  bool string(std::string& v);
  // Option tag: 0 absent, 1 present, anything else an error.
  bool option(bool& present);
  // Enumeration index below `variants`; error text names the bound.
  bool variant(uint32_t& index, uint32_t variants);
  // Copies `n` raw bytes (n already known to be available or not).
  bool bytes(void* out, size_t n);
  // `count` little-endian f32 values appended to `out`; fails cleanly if the
  // bytes are not there (checked before any growth).
  bool f32_array(uint64_t count, std::vector<float>& out);
  bool u64_array(uint64_t count, std::vector<uint64_t>& out);
  bool i64_array(uint64_t count, std::vector<int64_t>& out);
  bool f64_array(uint64_t count, std::vector<double>& out);

  // The unread bytes, for decoders that walk a region before copying it.
  const uint8_t* peek() const { return p_; }
  // Moves past `n` bytes; end-of-data error when fewer remain.
  bool skip(size_t n) {
    if (n > remaining()) return fail_eof();
    p_ += n;
    return true;
  }

  // Records the first error; always returns false.
  bool fail(std::string message);
  bool fail_eof() {
    fail("io error: unexpected end of file");
    return false;  // visibly false, so callers' outputs are not flagged as maybe-unset
  }

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  size_t position() const { return static_cast<size_t>(p_ - begin_); }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  template <class T>
  bool fixed(T& v) {
    if (remaining() < sizeof(T)) return fail_eof();
    v = load_le<T>(p_);
    p_ += sizeof(T);
    return true;
  }
  template <class T>
  bool array(uint64_t count, std::vector<T>& out);

  const uint8_t* p_;
  const uint8_t* end_;
  const uint8_t* begin_;
  bool failed_ = false;
  std::string error_;
};

// Appends values to a byte vector.
class Encoder {
 public:
  explicit Encoder(std::vector<uint8_t>& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u32(uint32_t v) { le(v); }
  void u64(uint64_t v) { le(v); }
  void i64(int64_t v) { le(v); }
  void f32(float v) { le(v); }
  void f64(double v) { le(v); }
  void boolean(bool v) { out_.push_back(v ? 1 : 0); }
  void string(const std::string& v) { u64(v.size()); raw(v.data(), v.size()); }
  void raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  // A list body of fixed-width values (the count is written separately).
  template <class T>
  void array(const T* values, size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      raw(values, n * sizeof(T));
    } else {
      for (size_t i = 0; i < n; ++i) le(values[i]);
    }
  }
  std::vector<uint8_t>& buffer() { return out_; }

 private:
  template <class T>
  void le(T v) {
    uint8_t b[sizeof(T)];
    store_le(b, v);
    raw(b, sizeof(T));
  }
  std::vector<uint8_t>& out_;
};

}  // namespace ulmora
