// Context-mixing block codec: many context models predict each bit, an
// online-trained mixer combines them, an adaptive probability map refines
// the result and a binary arithmetic coder spends the bits.
//
// Stored form: one parameter byte (two for the third model set), the
// plain length (LEB128), the coded bits. The parameters hold the hash
// table size and the options the encoder chose for the block; everything
// else the decoder rebuilds.
#pragma once

#include <cstdint>

namespace mirt::cm {

// Results, as the plugin entry expects them.
inline constexpr uint32_t kDeclined = 0xFFFFFFFFu;  // encode: not smaller, or no memory
inline constexpr uint32_t kFailed = 0;              // decode: malformed

// Parameter byte: bits 0-3 table size (2^(12 + v) lines of 64 bytes),
// bit 4 x86 branch transform, bit 5 text models, bit 6 the second model
// set (blocks written before it existed have it clear), bit 7 the text
// transform (second model set only; the length of the transformed block
// follows the plain length).
// The third model set writes the combination no earlier block has, the
// text transform without the second set (bits 0-5 as above), and a second
// byte: bits 0-3 the set (3), bit 4 the text transform, the rest clear.
// In memory the parameters are one word: the first byte's bits, with
// kModel3 for the third set (kModel2 clear).
using Params = uint32_t;
inline constexpr Params kTableMask = 0x0F;
inline constexpr Params kX86 = 0x10;
inline constexpr Params kText = 0x20;
inline constexpr Params kModel2 = 0x40;
inline constexpr Params kWords = 0x80;
inline constexpr Params kModel3 = 0x100;
inline constexpr Params kKnownBits = kTableMask | kX86 | kText | kModel2 | kWords | kModel3;
inline constexpr int kMinTableBits = 12;

// What the encoder picks for a block: table size from the length, the
// transform and model set from the bytes.
Params choose_params(const unsigned char* src, uint32_t len);

// The largest table size value (bits 0-3) the model set (kModel2, kModel3
// or neither)
// uses for a block of `len` bytes; the decoder refuses larger ones, so
// damaged input cannot ask for more.
Params table_param_for(uint32_t len, Params model = kModel3);

// Bytes the codec allocates for these parameters and block length.
uint64_t memory_for(Params params, uint32_t len);

// The mixer runs on vector instructions where the build has them (SSE2 on
// x86-64); the portable kernels give the very same results and can be
// asked for, so tests can compare the two.
enum class Kernels { kBest, kPortable };

// Told how many plain bytes are finished, every 64 KiB or so, if set.
struct Progress {
  void (*report)(void* host, uint64_t done) = nullptr;
  void* host = nullptr;
};

// Returns the stored length, or kDeclined when it would exceed `limit`.
uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                const Progress& progress = Progress{});
uint32_t encode_with(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                     Params params, Kernels kernels = Kernels::kBest, const Progress& progress = Progress{});

// Returns the plain length (at most `cap`), or kFailed.
uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap,
                Kernels kernels = Kernels::kBest, const Progress& progress = Progress{});

// The most memory one call may need for a block of up to `len` bytes:
// encoding (with the filtered copy the x86 transform needs) or decoding.
uint64_t memory_bound(bool encoding, uint32_t len);

// The reversible x86 call/jump address transform, in place.
void x86_forward(unsigned char* data, uint32_t len);
void x86_inverse(unsigned char* data, uint32_t len);

}  // namespace mirt::cm
