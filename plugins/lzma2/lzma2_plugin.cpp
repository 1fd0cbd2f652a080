// LZMA2 at preset 9 (extreme up to 16 MiB), the dictionary covering the
// block; text gets more literal context.
#include "common/detect.h"
#include "common/lzma2.h"

namespace mirt {
namespace {

// Mostly printable: bytes carry little position information, and more
// literal context pays off.
constexpr uint32_t kTextRatio = 9;

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  return plugin::lzma2_encode(LZMA_VLI_UNKNOWN, nullptr, src, len, dst, limit,
                              coding::looks_like_text(src, len, kTextRatio));
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  return plugin::lzma2_decode(LZMA_VLI_UNKNOWN, nullptr, src, len, dst, cap);
}

uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t) {
  return plugin::lzma2_memory(LZMA_VLI_UNKNOWN, nullptr, mode, block_size);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(17, "LZMA2 Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
