// x86 branch conversion before LZMA2: relative call and jump targets
// become absolute, so repeated calls to one function look alike.
#include "common/lzma2.h"

namespace mirt {
namespace {

// Near calls and jumps (E8/E9) whose 32-bit displacement is small: common
// in machine code, rare elsewhere. Below one per KiB the filter is not
// worth a second LZMA2 pass.
bool looks_like_x86(const unsigned char* src, uint32_t len) {
  if (len < 4096) return false;
  uint64_t branches = 0;
  for (uint32_t i = 0; i + 4 < len; ++i) {
    if ((src[i] & 0xFE) == 0xE8 && (src[i + 4] == 0x00 || src[i + 4] == 0xFF)) {
      ++branches;
      i += 4;
    }
  }
  return branches * 1024 >= len;
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  if (!looks_like_x86(src, len)) return MR_DECLINED;
  return plugin::lzma2_encode(LZMA_FILTER_X86, nullptr, src, len, dst, limit);
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  return plugin::lzma2_decode(LZMA_FILTER_X86, nullptr, src, len, dst, cap);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(20, "x86 + LZMA2 Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
