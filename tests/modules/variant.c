/* One source for the loader's test modules: the symbols a module exports
 * are chosen with -D. The entry declines every block. */
#include <mirt/module.h>

#ifndef MODULE_SLOT
#define MODULE_SLOT 50
#endif
#ifndef MODULE_NAME
#define MODULE_NAME "Variant"
#endif

static uint32_t variant_entry(uint32_t mode, void *reserved, const unsigned char *src,
                              unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  (void)mode;
  (void)reserved;
  (void)src;
  (void)dst;
  (void)src_len;
  (void)dst_cap;
  return MR_DECLINED;
}

MR_EXPORT const int32_t MR_NUM = MODULE_SLOT;
MR_EXPORT const char *const MR_NAME = MODULE_NAME;
#ifndef MODULE_NO_ALGO
MR_EXPORT const mr_entry MR_ALGO = (mr_entry)variant_entry;
#else
/* Kept so the module still refers to its entry. */
MR_EXPORT const mr_entry MR_ENTRY_UNEXPORTED = (mr_entry)variant_entry;
#endif
#ifdef MODULE_TYPE
MR_EXPORT const int32_t MR_TYPE = MODULE_TYPE;
#endif
#ifdef MODULE_REQUIRE
MR_EXPORT const int32_t MR_REQUIRE = (int32_t)(MODULE_REQUIRE);
#endif
#ifdef MODULE_MEMORY
/* Reads the call context and says what a call needs. */
static uint64_t variant_memory(uint32_t mode, uint32_t block_size, uint32_t threads) {
  return 3 * (uint64_t)block_size + mode + threads;
}
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(variant_memory);
#endif
#ifdef MODULE_VERSION
MR_EXPORT const int32_t MR_VER = MODULE_VERSION;
MR_EXPORT const char *const MR_URL_GET = "@@HOME@@/updates/@@FILE@@.bin";
MR_EXPORT const char *const MR_URL_VER = "@@HOME@@/updates/@@FILE@@.ver";
#endif
