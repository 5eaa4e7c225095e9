// Adler-32 (RFC 1950): the one checksum of snapshot trailers and log records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ulmora {

// Continues a running checksum; start with 1 (the checksum of zero bytes).
uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len);

inline uint32_t adler32(const uint8_t* data, size_t len) { return adler32_update(1, data, len); }

}  // namespace ulmora
