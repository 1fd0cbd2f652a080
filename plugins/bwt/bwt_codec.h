// Block-sorting codec: long repeats removed first (a hashed context
// predicts them, an escape byte stands for each), the Burrows-Wheeler
// transform of the whole rest (suffix sorting by libdivsufsort), then a
// context-mixing coder of the sorted bytes as runs (bwt_model.h). Pure
// functions, no state kept between calls, so blocks can be coded on
// several threads at once.
//
// Memory per call, for a block of n bytes: encoding about 6.1 n (copy
// without repeats, suffix array, sorted bytes, marks) plus 3 MiB of
// tables; decoding about 5.1 n beside the destination (sorted bytes, the
// inverse's links, marks; 6.1 n past 16 MiB) plus 3 MiB.
#pragma once

#include <cstdint>

namespace mirt::bwt {

inline constexpr uint32_t kDeclined = 0xFFFFFFFFu;
inline constexpr uint32_t kFailed = 0;

// Larger blocks are declined: the suffix array is 32-bit and the encoder
// needs about 6 bytes per input byte.
inline constexpr uint32_t kMaxBlock = 1u << 30;

// Stores `len` bytes of `src` in at most `limit` bytes of `dst`. Returns
// the stored length, or kDeclined when it would not fit or memory is short.
uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit);

// Expands a stored form into at most `cap` bytes. Returns the plain length,
// or kFailed for malformed input. Damaged input never reads or writes
// outside the given buffers, but may decode to wrong bytes: the caller
// checks the result.
uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap);

// The long-repeat pass on its own. A position whose previous kRepeatOrder
// bytes were seen before predicts the bytes that followed them then; when
// at least kRepeatMin of them are right, they become one escape byte in
// `out` and a mark (length - kRepeatMin + 1) in `marks`. An escape byte of
// the block stays, with a mark of 0. Returns the reduced length and sets
// `mark_count`, or returns 0 when `cap` bytes or `mark_cap` marks do not
// suffice or memory is short.
inline constexpr uint32_t kRepeatOrder = 8;
inline constexpr uint32_t kRepeatMin = 80;
uint32_t remove_repeats(const unsigned char* src, uint32_t n, unsigned char escape, unsigned char* out,
                        uint32_t cap, uint32_t* marks, uint32_t mark_cap, uint32_t& mark_count);
// Undoes remove_repeats() into exactly `n` bytes of `out`. Returns n, or
// kFailed when the reduced form and its marks do not give exactly n bytes.
uint32_t restore_repeats(const unsigned char* src, uint32_t m, unsigned char escape, const uint32_t* marks,
                         uint32_t mark_count, unsigned char* out, uint32_t n);
// The escape byte: the block's rarest, so it rarely needs escaping.
unsigned char least_used_byte(const unsigned char* src, uint32_t n);

// The transform on its own. The block is cut into chains_for(n) equal
// parts that the inverse rebuilds side by side: walking one part is a chain
// of cache misses, several at once overlap them. Blocks that fit in the
// cache need fewer parts (each costs a start in the stored form).
inline constexpr int kMaxChains = 8;
inline int chains_for(uint32_t n) { return n < 65536 ? 1 : n < (1u << 21) ? 4 : kMaxChains; }

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
