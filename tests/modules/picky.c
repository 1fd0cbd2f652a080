/* Run-length coding that can be told to fail, for the block pipeline
 * tests:
 *  - mode 1 declines any block whose first byte is 0xEE;
 *  - mode 2 fails on a block whose first plain byte is 0xDD while the
 *    environment variable MIRT_PICKY_FAIL is set;
 *  - without MODULE_THREADSAFE, two calls that overlap abort the process:
 *    the program promised never to enter such a module twice at once. */
#include <mirt/module.h>
#include <stdlib.h>
#include <time.h>

#ifndef MODULE_SLOT
#define MODULE_SLOT 50
#endif
#ifndef MODULE_NAME
#define MODULE_NAME "Picky RLE"
#endif

#ifndef MODULE_THREADSAFE
static int g_inside;
#endif

static uint32_t encode(const unsigned char *src, unsigned char *dst, uint32_t len, uint32_t cap) {
  uint32_t out = 0;
  uint32_t i = 0;
  if (len > 0 && src[0] == 0xEE) return MR_DECLINED;
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
  if (len > 1 && src[1] == 0xDD && getenv("MIRT_PICKY_FAIL") != NULL) return MR_FAILED;
  for (i = 0; i < len; i += 2) {
    uint32_t run = src[i];
    uint32_t k;
    if (run == 0 || run > cap - out) return MR_FAILED;
    for (k = 0; k < run; ++k) dst[out++] = src[i + 1];
  }
  return out;
}

static uint32_t picky_entry(uint32_t mode, void *reserved, const unsigned char *src,
                            unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  uint32_t result;
  const struct timespec pause = {0, 2000000};
  (void)reserved;
#ifndef MODULE_THREADSAFE
  if (__atomic_fetch_add(&g_inside, 1, __ATOMIC_SEQ_CST) != 0) abort();
  /* Long enough that unserialised calls would meet here. */
  nanosleep(&pause, NULL);
#else
  (void)pause;
#endif
  if (mode == MR_MODE_COMPRESS)
    result = encode(src, dst, src_len, dst_cap);
  else if (mode == MR_MODE_DECOMPRESS)
    result = decode(src, dst, src_len, dst_cap);
  else
    result = MR_DECLINED;
#ifndef MODULE_THREADSAFE
  __atomic_fetch_sub(&g_inside, 1, __ATOMIC_SEQ_CST);
#endif
  return result;
}

MR_ALGORITHM_MODULE(MODULE_SLOT, MODULE_NAME, picky_entry);
#ifdef MODULE_THREADSAFE
MR_THREADSAFE_MODULE();
#endif
