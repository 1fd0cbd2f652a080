// Trailing-zero trimming, built twice under two slot numbers so both give
// the same output. Written in C++ to keep the header usable from both.
#include <mirt/module.h>

#include <cstring>

namespace {

uint32_t twin_entry(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                    uint32_t src_len, uint32_t dst_cap) {
  if (mode == MR_MODE_COMPRESS) {
    uint32_t keep = src_len;
    while (keep > 0 && src[keep - 1] == 0) --keep;
    if (keep + 4 >= src_len || keep + 4 > dst_cap) return MR_DECLINED;
    for (int i = 0; i < 4; ++i) dst[i] = static_cast<unsigned char>(src_len >> (24 - 8 * i));
    std::memcpy(dst + 4, src, keep);
    return keep + 4;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src_len < 4) return MR_FAILED;
    uint32_t total = 0;
    for (int i = 0; i < 4; ++i) total = total << 8 | src[i];
    uint32_t keep = src_len - 4;
    if (total > dst_cap || keep > total) return MR_FAILED;
    std::memcpy(dst, src + 4, keep);
    std::memset(dst + keep, 0, total - keep);
    return total;
  }
  return MR_DECLINED;
}

}  // namespace

MR_ALGORITHM_MODULE(MODULE_SLOT, MODULE_NAME, twin_entry);
