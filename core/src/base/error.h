// StoreError: the one error value of the segment store and the graph core,
// and Result<T>, the value-or-error type every fallible operation returns.
// Errors are values: nothing in the core throws across its API.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace ulmora {

enum class ErrorKind : uint8_t {
  kPointNotFound = 0,
  kPointExists = 1,
  kVectorLengthMismatch = 2,
  kIo = 3,
  kSerialization = 4,
  kWalCorruption = 5,
  kInvalidPayload = 6,
  kSearchFailed = 7,
  kMemoryCapExceeded = 8,
  kInvalidFilter = 9,
  kReadOnly = 10,
};

class StoreError {
 public:
  static StoreError PointNotFound(uint64_t id) { return StoreError(ErrorKind::kPointNotFound, id, 0, {}); }
  static StoreError PointExists(uint64_t id) { return StoreError(ErrorKind::kPointExists, id, 0, {}); }
  static StoreError VectorLengthMismatch(uint64_t expected, uint64_t got) {
    return StoreError(ErrorKind::kVectorLengthMismatch, expected, got, {});
  }
  // `description` is the system's description of the I/O failure.
  static StoreError Io(std::string description) { return StoreError(ErrorKind::kIo, 0, 0, std::move(description)); }
  // `message` is the source error's own message (a decode error, or one of
  // the fixed snapshot texts).
  static StoreError Serialization(std::string message) {
    return StoreError(ErrorKind::kSerialization, 0, 0, std::move(message));
  }
  static StoreError WalCorruption(std::string text) { return StoreError(ErrorKind::kWalCorruption, 0, 0, std::move(text)); }
  static StoreError InvalidPayload(std::string text) { return StoreError(ErrorKind::kInvalidPayload, 0, 0, std::move(text)); }
  static StoreError SearchFailed(std::string text) { return StoreError(ErrorKind::kSearchFailed, 0, 0, std::move(text)); }
  static StoreError MemoryCapExceeded(std::string text) {
    return StoreError(ErrorKind::kMemoryCapExceeded, 0, 0, std::move(text));
  }
  // `text` names the offending part of the filter.
  static StoreError InvalidFilter(std::string text) { return StoreError(ErrorKind::kInvalidFilter, 0, 0, std::move(text)); }
  // A mutation of a segment opened read-only; `text` names the call.
  static StoreError ReadOnly(std::string text) { return StoreError(ErrorKind::kReadOnly, 0, 0, std::move(text)); }

  ErrorKind kind() const { return kind_; }
  // The point id (PointNotFound, PointExists) or the expected length.
  uint64_t first() const { return a_; }
  uint64_t second() const { return b_; }
  // The carried text (empty for the numeric variants).
  const std::string& text() const { return text_; }

  // The display text: no trailing newline, no error chain.
  std::string message() const {
    switch (kind_) {
      case ErrorKind::kPointNotFound: return "Point with ID " + std::to_string(a_) + " not found";
      case ErrorKind::kPointExists: return "Point with ID " + std::to_string(a_) + " already exists";
      case ErrorKind::kVectorLengthMismatch:
        return "Vector length mismatch: expected " + std::to_string(a_) + ", got " + std::to_string(b_);
      case ErrorKind::kIo: return "I/O error: " + text_;
      case ErrorKind::kSerialization: return "Serialization error: " + text_;
      case ErrorKind::kWalCorruption: return "WAL corruption: " + text_;
      case ErrorKind::kInvalidPayload: return "Invalid payload: " + text_;
      case ErrorKind::kSearchFailed: return "Search failed: " + text_;
      case ErrorKind::kMemoryCapExceeded: return "Memory cap exceeded: " + text_;
      case ErrorKind::kInvalidFilter: return "Invalid filter: " + text_;
      case ErrorKind::kReadOnly: return "Read-only segment: " + text_;
    }
    return "unknown error";
  }

 private:
  StoreError(ErrorKind kind, uint64_t a, uint64_t b, std::string text)
      : kind_(kind), a_(a), b_(b), text_(std::move(text)) {}
  ErrorKind kind_;
  uint64_t a_;
  uint64_t b_;
  std::string text_;
};

// Value or StoreError. Check ok() before value(); error() only when !ok().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(StoreError error) : v_(std::in_place_index<1>, std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const StoreError& error() const { return std::get<1>(v_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::variant<T, StoreError> v_;
};

// Success or StoreError.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(StoreError error) : error_(std::move(error)), ok_(false) {}
  static Status Ok() { return Status(); }
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const StoreError& error() const { return std::get<1>(error_); }

 private:
  std::variant<std::monostate, StoreError> error_;
  bool ok_ = true;
};

}  // namespace ulmora

// Propagates the error of a Status or Result expression.
#define ULMORA_TRY(expr)                            \
  do {                                              \
    auto ulmora_try_status_ = (expr);               \
    if (!ulmora_try_status_.ok()) return ulmora_try_status_.error(); \
  } while (0)
