// Seeded running checksums: Adler-32 for current containers (old ones use
// the ELF hash of common/keyword.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirt {

// Adler-32 continued from `seed`; a seed of 0 counts as 1.
uint32_t adler32(uint32_t seed, const uint8_t* data, size_t length);

// Adler-32 of A followed by B, from adler32(0, A), adler32(0, B) and B's
// length (seeds of 0 count as 1, as above).
uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t length_b);

}  // namespace mirt
