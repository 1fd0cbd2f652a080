// x86 branch conversion before LZMA2: relative call and jump targets
// become absolute, so repeated calls to one function look alike.
#include "common/detect.h"
#include "common/lzma2.h"

namespace mirt {
namespace {

// Below one near call or jump per KiB the filter is not worth a second
// LZMA2 pass.
constexpr coding::X86Thresholds kX86{4096, 1024, 0, true};

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  if (!coding::looks_like_x86(src, len, kX86)) return MR_DECLINED;
  return plugin::lzma2_encode(LZMA_FILTER_X86, nullptr, src, len, dst, limit);
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  return plugin::lzma2_decode(LZMA_FILTER_X86, nullptr, src, len, dst, cap);
}

uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t) {
  return plugin::lzma2_memory(LZMA_FILTER_X86, nullptr, mode, block_size);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(20, "x86 + LZMA2 Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
