// Brotli with a window covering the block: its highest quality on blocks
// up to 512 KiB, where the static dictionary and optimal parsing pay off;
// above that the highest quality costs several times the whole of the
// other plugins together and rarely wins a block, so a lower one is used.
#include <brotli/decode.h>
#include <brotli/encode.h>

#include "common/plugin.h"

namespace mirt {
namespace {

constexpr uint32_t kBestQualityLimit = 512u << 10;
constexpr int kLargeBlockQuality = 9;

int quality_for(uint32_t len) {
  return len <= kBestQualityLimit ? BROTLI_MAX_QUALITY : kLargeBlockQuality;
}

int window_bits_for(uint32_t len) {
  int bits = BROTLI_MIN_WINDOW_BITS;
  // The window holds 2^bits - 16 bytes.
  while (bits < BROTLI_MAX_WINDOW_BITS && (uint64_t{1} << bits) - 16 < len) ++bits;
  return bits;
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  size_t produced = limit;
  if (!BrotliEncoderCompress(quality_for(len), window_bits_for(len), BROTLI_MODE_GENERIC, len, src,
                             &produced, dst))
    return MR_DECLINED;
  return produced <= limit ? static_cast<uint32_t>(produced) : MR_DECLINED;
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  size_t produced = cap;
  if (BrotliDecoderDecompress(len, src, &produced, dst) != BROTLI_DECODER_RESULT_SUCCESS)
    return MR_FAILED;
  return produced <= cap ? static_cast<uint32_t>(produced) : MR_FAILED;
}

// Measured, with room to spare: the decoder keeps a ring buffer of the
// window the stream names (at most 16 MiB, whatever the block) and under
// 1 MiB of tables; the encoder takes 12-20 MiB at its highest quality on
// blocks up to 512 KiB, and 35-57 MiB at the lower one above.
uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t) {
  if (mode != MR_MODE_COMPRESS) return (uint64_t{1} << BROTLI_MAX_WINDOW_BITS) + (1u << 20);
  if (block_size <= kBestQualityLimit) return (8u << 20) + 32 * uint64_t{block_size};
  return (40u << 20) + 2 * (uint64_t{1} << window_bits_for(block_size));
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(18, "Brotli Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
