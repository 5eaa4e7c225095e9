// The calling thread's random generator: ChaCha8 (8 rounds), keyed with 256
// bits from the OS entropy device when the thread first draws (the clock
// and an address mixed when there is none). Used for level assignment and
// sampling; not for anything that needs secrecy.
#pragma once

#include <cstdint>

namespace ulmora {

uint64_t thread_random_u64();
// Uniform double in [0, 1) from the top 53 bits of one draw.
double thread_random_unit();
// Uniform integer in [0, bound) (bound > 0), without modulo bias.
uint64_t thread_random_below(uint64_t bound);

}  // namespace ulmora
