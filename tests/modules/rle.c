/* Run-length coding: (count, byte) pairs; enough to shrink zero fill and
 * repetitive text. */
#include <mirt/module.h>
#include <stddef.h>

#ifndef MODULE_SLOT
#define MODULE_SLOT 1
#endif
#ifndef MODULE_NAME
#define MODULE_NAME "Test RLE"
#endif

static uint32_t encode(const unsigned char *src, unsigned char *dst, uint32_t len, uint32_t cap) {
  uint32_t out = 0;
  uint32_t i = 0;
  while (i < len) {
    uint32_t run = 1;
    while (i + run < len && run < 255 && src[i + run] == src[i]) ++run;
    if (out + 2 > cap || out + 2 >= len) return MR_DECLINED;
    dst[out++] = (unsigned char)run;
    dst[out++] = src[i];
    i += run;
  }
  return out;
}

static uint32_t decode(const unsigned char *src, unsigned char *dst, uint32_t len, uint32_t cap) {
  uint32_t out = 0;
  uint32_t i;
  if (len % 2 != 0) return MR_FAILED;
  for (i = 0; i < len; i += 2) {
    uint32_t run = src[i];
    uint32_t k;
    if (run == 0 || run > cap - out) return MR_FAILED;
    for (k = 0; k < run; ++k) dst[out++] = src[i + 1];
  }
  return out;
}

static uint32_t rle_entry(uint32_t mode, void *reserved, const unsigned char *src,
                          unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  (void)reserved;
  if (mode == MR_MODE_COMPRESS) return encode(src, dst, src_len, dst_cap);
  if (mode == MR_MODE_DECOMPRESS) return decode(src, dst, src_len, dst_cap);
  return MR_DECLINED;
}

MR_ALGORITHM_MODULE(MODULE_SLOT, MODULE_NAME, rle_entry);
