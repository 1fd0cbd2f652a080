/* A keyed add stream. The keystream position lives in the state, so blocks
 * decrypt only in the order they were encrypted. */
#include <mirt/module.h>
#include <string.h>

#ifndef MODULE_SLOT
#define MODULE_SLOT 4
#endif

static const unsigned char key[] = "loopback test key";

struct stream_state {
  uint32_t position;
  uint32_t started;
};

static unsigned char keystream(uint32_t position) {
  return (unsigned char)(key[position % (sizeof key - 1)] + position * 7u);
}

static int32_t stream_entry(const unsigned char *src, unsigned char *dst, uint32_t len,
                            unsigned char *state, int32_t mode) {
  struct stream_state s;
  uint32_t i;
  if (mode == MR_CIPHER_START_ENCRYPT || mode == MR_CIPHER_START_DECRYPT) {
    memset(state, 0, MR_CIPHER_STATE_SIZE);
    s.position = 0;
    s.started = (uint32_t)mode;
    memcpy(state, &s, sizeof s);
    return 0;
  }
  memcpy(&s, state, sizeof s);
  if (mode == MR_CIPHER_ENCRYPT && s.started != MR_CIPHER_START_ENCRYPT) return -1;
  if (mode == MR_CIPHER_DECRYPT && s.started != MR_CIPHER_START_DECRYPT) return -1;
  for (i = 0; i < len; ++i) {
    unsigned char k = keystream(s.position++);
    dst[i] = (unsigned char)(mode == MR_CIPHER_ENCRYPT ? src[i] + k : src[i] - k);
  }
  memcpy(state, &s, sizeof s);
  return (int32_t)len;
}

MR_CIPHER_MODULE(MODULE_SLOT, "stream", stream_entry);
