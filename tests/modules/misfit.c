/* Modules that export the required names, but not as the variables the
 * loader reads: each must be refused, never read as data or called. The
 * misfit is chosen with -D. */
#include <mirt/module.h>

#ifndef MISFIT_ALGO_DATA
static uint32_t declining_entry(uint32_t mode, void *reserved, const unsigned char *src,
                                unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  (void)mode;
  (void)reserved;
  (void)src;
  (void)dst;
  (void)src_len;
  (void)dst_cap;
  return MR_DECLINED;
}
#endif

/* Numbers where pointers belong keep their own size in clang's sanitizer
 * builds, which pad objects (and so would hide the misfit). */
#ifdef __clang__
#define MISFIT_UNPADDED __attribute__((no_sanitize("address")))
#else
#define MISFIT_UNPADDED
#endif

MR_EXPORT const int32_t MR_NUM = 80;

#ifdef MISFIT_NAME_INT
MISFIT_UNPADDED MR_EXPORT const int32_t MR_NAME = 0x41414141;
#elif defined(MISFIT_NAME_WILD)
/* A pointer that leads into no loaded object. */
MR_EXPORT const char *const MR_NAME = (const char *)(uintptr_t)0x10;
#else
MR_EXPORT const char *const MR_NAME = "Misfit";
#endif

#ifdef MISFIT_ALGO_FUNCTION
/* The entry itself where a pointer to it belongs. */
MR_EXPORT uint32_t MR_ALGO(uint32_t mode, void *reserved, const unsigned char *src,
                           unsigned char *dst, uint32_t src_len, uint32_t dst_cap) {
  return declining_entry(mode, reserved, src, dst, src_len, dst_cap);
}
#elif defined(MISFIT_ALGO_DATA)
/* A pointer to data, not code. */
static const unsigned char not_code[16] = {0xFF};
MR_EXPORT const mr_entry MR_ALGO = (mr_entry)(uintptr_t)not_code;
#else
MR_EXPORT const mr_entry MR_ALGO = (mr_entry)declining_entry;
#endif

#ifdef MISFIT_MEMORY_DATA
/* A memory function that is not code. */
static const unsigned char not_a_function[16] = {0xFF};
MR_EXPORT const mr_memory_function MR_MEMORY = (mr_memory_function)(uintptr_t)not_a_function;
#endif

#ifdef MISFIT_URL_INT
/* An optional name of the wrong size. */
MR_EXPORT const int32_t MR_VER = 0x010000;
MISFIT_UNPADDED MR_EXPORT const int32_t MR_URL_GET = 7;
MR_EXPORT const char *const MR_URL_VER = "@@HOME@@/updates/@@FILE@@.ver";
#endif
