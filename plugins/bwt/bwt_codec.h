// Block-sorting codec: long repeats removed first (a hashed context
// predicts them, an escape byte stands for each), the Burrows-Wheeler
// transform of the whole rest (suffix sorting by libdivsufsort), then a
// context-mixing coder of the sorted bytes as runs. Pure functions, no
// state kept between calls, so blocks can be coded on several threads at
// once; one block can also use several threads (common/tasks.h).
//
// Two stored forms. The first codes the sorted bytes in one stream
// (bwt_model_v1.h). The second (bwt_model.h, bwt_parts.cpp) cuts them
// into parts of about 1 MiB coded independently, and rebuilds the block
// from sampled rows, so both directions of one block keep every core
// busy; where the parts fall depends only on the block, so the bytes are
// the same for every thread count. New blocks get the second form; both
// decode.
//
// Memory per call beside src and dst, for a block of n bytes: encoding at
// most 5 n (the reduced block and its suffix array, 32-bit) plus about
// 3 MiB; decoding 4 n (the next-row table; the sorted bytes live in the
// destination) plus about 3 MiB. memory_for() gives the bound.
#pragma once

#include <cstdint>
#include <memory>

#include "common/tasks.h"

namespace mirt::bwt {

using plugin::Tasks;

inline constexpr uint32_t kDeclined = 0xFFFFFFFFu;
inline constexpr uint32_t kFailed = 0;

// Larger blocks are declined: the suffix array is 32-bit.
inline constexpr uint32_t kMaxBlock = 1u << 30;

enum class Form { kFirst = 1, kParts = 2 };

// Stores `len` bytes of `src` in at most `limit` bytes of `dst`. Returns
// the stored length, or kDeclined when it would not fit or memory is short.
uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                const Tasks& tasks = Tasks(), Form form = Form::kParts);

// Expands a stored form of either kind into at most `cap` bytes. Returns
// the plain length, or kFailed for malformed input. Damaged input never
// reads or writes outside the given buffers, but may decode to wrong
// bytes: the caller checks the result.
uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap,
                const Tasks& tasks = Tasks());

// Working memory of one call beside src and dst, an upper bound.
uint64_t memory_for(bool compress, uint32_t block_size, uint32_t threads);

// ---- The stages, for tests and fuzzing --------------------------------------

// The long-repeat pass. A position whose previous kRepeatOrder bytes were
// seen before predicts the bytes that followed them then; when at least
// kRepeatMin of them are right, they become one escape byte in `out` and
// a mark (length - kRepeatMin + 1) in `marks`. An escape byte of the block
// stays, with a mark of 0. Positions that are a multiple of `stride` (a
// power of two) are remembered. Returns the reduced length and sets
// `mark_count`, or returns 0 when `cap` bytes or `mark_cap` marks do not
// suffice or memory is short.
inline constexpr uint32_t kRepeatOrder = 8;
inline constexpr uint32_t kRepeatMin = 80;
uint32_t remove_repeats(const unsigned char* src, uint32_t n, unsigned char escape, unsigned char* out, uint32_t cap,
                        uint32_t* marks, uint32_t mark_cap, uint32_t& mark_count, uint32_t stride = 1);
// Undoes remove_repeats() into exactly `n` bytes of `out`; `src` may be
// the last m bytes of `out`. Returns n, or kFailed when the reduced form
// and its marks do not give exactly n bytes.
uint32_t restore_repeats(const unsigned char* src, uint32_t m, unsigned char escape, const uint32_t* marks,
                         uint32_t mark_count, unsigned char* out, uint32_t n, uint32_t stride = 1);
// The escape byte: the block's rarest, so it rarely needs escaping.
unsigned char least_used_byte(const unsigned char* src, uint32_t n);

// The transform. The block is cut into chains_for(n) equal parts that the
// inverse rebuilds side by side. Blocks that fit in the cache need fewer
// parts (each costs a start in the stored form).
inline constexpr int kMaxChains = 16;
int chains_for(uint32_t n, Form form);

// Sorts the `n` bytes into `sa` (n + kSortSlack entries) and overwrites it
// from its start with the last column; sets in `starts` the rows (indexes
// of the last column) of the first positions of all parts but the first.
// Returns the primary index (1..n), or 0 when memory is short. The space
// past the last column is free for the caller.
inline constexpr uint32_t kSortSlack = 4;
uint32_t sort_block(const unsigned char* src, uint32_t n, int chains, std::unique_ptr<int32_t[]>& sa,
                    uint32_t* starts);
// The same into `out`.
uint32_t forward(const unsigned char* src, uint32_t n, unsigned char* out, uint32_t* starts, Form form);
// Undoes forward(), writing byte_of[c] for each byte c; `out` may be
// `last`. False for an impossible index or no memory. Positions out of
// range are refused; others that are wrong give wrong bytes, never a
// write outside `out`.
bool inverse(const unsigned char* last, uint32_t n, uint32_t primary, const uint32_t* starts, Form form,
             const unsigned char* byte_of, unsigned char* out, const Tasks& tasks = Tasks());

}  // namespace mirt::bwt
