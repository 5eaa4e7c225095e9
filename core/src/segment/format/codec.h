// The value encoding shared by snapshots and log records: fixed-width
// little-endian integers and floats, u64 length prefixes, u32 variant
// indices, one-byte option tags and bools. No alignment, no padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ulmora {

// Never reserve more than this many bytes up front for one container, so a
// corrupt count fails at end of data instead of allocating.
inline constexpr size_t kMaxReserveBytes = size_t{1} << 20;

inline size_t reserve_limit(uint64_t count, size_t element_size) {
  uint64_t cap = kMaxReserveBytes / (element_size ? element_size : 1);
  return static_cast<size_t>(count < cap ? count : cap);
}

// Reads values from a byte buffer. Every read returns false on failure and
// records the first error's text (the decode message, e.g.
// "io error: unexpected end of file"). Reads never pass the buffer's end.
class Decoder {
 public:
  Decoder(const uint8_t* data, size_t len) : p_(data), end_(data + len), begin_(data) {}

  bool u8(uint8_t& v);
  bool u32(uint32_t& v);
  bool u64(uint64_t& v);
  bool i64(int64_t& v);
  bool f32(float& v);
  bool f64(double& v);
  bool boolean(bool& v);
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

  bool fail(std::string message);
  bool fail_eof() { return fail("io error: unexpected end of file"); }

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  size_t position() const { return static_cast<size_t>(p_ - begin_); }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
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
  void u32(uint32_t v) { raw(&v, 4); }
  void u64(uint64_t v) { raw(&v, 8); }
  void i64(int64_t v) { raw(&v, 8); }
  void f32(float v) { raw(&v, 4); }
  void f64(double v) { raw(&v, 8); }
  void boolean(bool v) { out_.push_back(v ? 1 : 0); }
  void string(const std::string& v) { u64(v.size()); raw(v.data(), v.size()); }
  void raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  std::vector<uint8_t>& buffer() { return out_; }

 private:
  std::vector<uint8_t>& out_;
};

}  // namespace ulmora
