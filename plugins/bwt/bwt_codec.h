// Block-sorting codec: the Burrows-Wheeler transform of the whole block
// (suffix sorting by libdivsufsort), then a bitwise context-mixing coder
// of the sorted bytes. Pure functions, no state kept between calls, so
// blocks can be coded on several threads at once.
#pragma once

#include <cstdint>

namespace mirt::bwt {

inline constexpr uint32_t kDeclined = 0xFFFFFFFFu;
inline constexpr uint32_t kFailed = 0;

// Larger blocks are declined: the suffix array is 32-bit and the encoder
// needs about 5 bytes per input byte.
inline constexpr uint32_t kMaxBlock = 1u << 30;

// Stores `len` bytes of `src` in at most `limit` bytes of `dst`. Returns
// the stored length, or kDeclined when it would not fit or memory is short.
uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit);

// Expands a stored form into at most `cap` bytes. Returns the plain length,
// or kFailed for malformed input. Damaged input never reads or writes
// outside the given buffers, but may decode to wrong bytes: the caller
// checks the result.
uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap);

// The transform on its own. The block is cut into chains_for(n) equal
// parts that the inverse rebuilds side by side: walking one part is a chain
// of cache misses, several at once overlap them.
inline constexpr int kMaxChains = 8;
inline int chains_for(uint32_t n) { return n < 65536 ? 1 : kMaxChains; }

// Writes the sorted last column of the `n` bytes to `out`, and in `starts`
// the chains_for(n) - 1 positions where the walks of all parts but the last
// begin. Returns the primary index (1..n), or 0 when memory is short.
uint32_t forward(const unsigned char* src, uint32_t n, unsigned char* out, uint32_t* starts);
// Undoes forward(); `out` may be `last`. False for an impossible index or
// no memory. Positions out of range are refused; others that are wrong
// give wrong bytes, never a write outside `out`.
bool inverse(const unsigned char* last, uint32_t n, uint32_t primary, const uint32_t* starts,
             unsigned char* out);

}  // namespace mirt::bwt
