/* Claims half of every block and decodes it wrongly: must never win. */
#include <mirt/module.h>
#include <string.h>

static uint32_t broken_entry(uint32_t mode, void *reserved, const unsigned char *src,
                             unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  (void)reserved;
  if (mode == MR_MODE_COMPRESS) {
    uint32_t half = src_len / 2;
    if (half == 0 || half > dst_cap) return MR_DECLINED;
    memcpy(dst, src, half);
    return half;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    /* Right length, wrong bytes. */
    uint32_t out = src_len * 2 <= dst_cap ? src_len * 2 : dst_cap;
    memset(dst, 0x5A, out);
    return out;
  }
  return MR_DECLINED;
}

MR_ALGORITHM_MODULE(30, "Broken Decoder", broken_entry);
