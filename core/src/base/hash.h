// SipHash-1-3 (one compression round, three finalisation rounds), as used
// to order capped neighbour scans.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ulmora {

// SipHash-1-3 of `data` with the 128-bit key (k0, k1).
uint64_t siphash13(const uint8_t* data, size_t len, uint64_t k0, uint64_t k1);

}  // namespace ulmora
