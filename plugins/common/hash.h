// Hashing of our modelling codecs: multipliers that spread the bits of
// small numbers over a word, and the hashes built from them.
#pragma once

#include <cstdint>

namespace mirt::coding {

// Odd multipliers with well-spread bits; the first is 2^32 divided by the
// golden ratio.
inline constexpr uint32_t kSpread1 = 0x9E3779B1u;
inline constexpr uint32_t kSpread2 = 0x85EBCA77u;
inline constexpr uint32_t kSpread3 = 0xC2B2AE3Du;
inline constexpr uint32_t kSpread4 = 0x27D4EB2Fu;
// The same for 64-bit words: 2^64 divided by the golden ratio, and a
// second one.
inline constexpr uint64_t kSpread64a = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kSpread64b = 0xD6E8FEB86659FD93ull;
// Rolling hash of a byte string: h = (h + byte + 1) * kStringStep.
inline constexpr uint32_t kStringStep = 0x2F0F3D1u;

// Every input bit changes about half of the output bits.
inline uint32_t mix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

// Context number k with one or two values, fully mixed: callers take the
// low bits as an index and the high ones as a check.
inline uint32_t hash3(uint32_t k, uint32_t a, uint32_t b) {
  return mix32(k * kSpread1 + a * kSpread2 + b * kSpread3 + kSpread4);
}
inline uint32_t hash2(uint32_t k, uint32_t a) { return hash3(k, a, 0); }

// Two values to a `bits`-bit index (1..32), with one multiplication less.
inline uint32_t hash_to_bits(uint32_t a, uint32_t b, int bits) {
  return ((a * kSpread1) ^ (b * kSpread2)) * kSpread3 >> (32 - bits);
}

}  // namespace mirt::coding
