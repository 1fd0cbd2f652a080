/*
 * mirt module interface.
 *
 * A module is a shared object that exports a few data objects whose values
 * the program reads after loading it:
 *
 *   MR_NUM      int32_t          slot number (algorithm 0..254, cipher 0..4)
 *   MR_NAME     const char *     display name
 *   MR_ALGO     mr_entry         entry function (algorithm or cipher form)
 *   MR_TYPE     int32_t          optional: MR_TYPE_ALGORITHM (default) or
 *                                MR_TYPE_CIPHER
 *   MR_VER      int32_t          optional: the module's packed version
 *   MR_REQUIRE  int32_t          optional: kind << 24 | packed version
 *   MR_URL_GET  const char *     optional: location of a newer module file
 *   MR_URL_VER  const char *     optional: location of its version file
 *   MR_SIGN     any              optional: looked up, not used
 *   MR_THREADSAFE int32_t        optional: non-zero when the entry may be
 *                                called from several threads at once
 *
 * The program compresses and expands blocks on several threads. An entry
 * of a module that does not export a non-zero MR_THREADSAFE is never
 * entered by two threads at the same time: the program holds a lock of
 * that module around every call. A module that declares itself
 * thread-safe keeps no state between calls outside its arguments (or
 * guards what it keeps), so calls for different blocks may overlap. Cipher
 * entries are always called from one thread, in block order.
 *
 * The MR_ALGORITHM_MODULE and MR_CIPHER_MODULE macros define the three
 * required symbols with the right linkage.
 *
 * Modules are opened with RTLD_GLOBAL and all export the same MR_ names,
 * so link each one with -Wl,-Bsymbolic: otherwise a module's own
 * references to its MR_ symbols may resolve to an earlier module's.
 */
#ifndef MIRT_MODULE_H
#define MIRT_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Packed versions: major * 65536 + minor * 256 + patch. */
#define MR_PACK_VERSION(major, minor, patch) \
  ((int32_t)(((major) << 16) | ((minor) << 8) | (patch)))
#define MR_PROGRAM_VERSION MR_PACK_VERSION(0, 8, 42)

/* MR_REQUIRE kinds, in bits 24..31. */
#define MR_REQUIRE_AT_LEAST(v) ((int32_t)((1u << 24) | ((uint32_t)(v) & 0xFFFFFFu)))
#define MR_REQUIRE_EXACTLY(v) ((int32_t)((2u << 24) | ((uint32_t)(v) & 0xFFFFFFu)))
#define MR_REQUIRE_AT_MOST(v) ((int32_t)((3u << 24) | ((uint32_t)(v) & 0xFFFFFFu)))

#define MR_TYPE_ALGORITHM 0
#define MR_TYPE_CIPHER 1

/* Algorithm entry modes and results. */
#define MR_MODE_COMPRESS 1u
#define MR_MODE_DECOMPRESS 2u
#define MR_DECLINED ((uint32_t)0xFFFFFFFFu) /* mode 1: block not taken */
#define MR_FAILED 0u                        /* mode 2: block not decoded */

/* Cipher entry modes. The state is 2048 bytes, owned by the program,
 * handed unchanged to every call of one stream in block order. */
#define MR_CIPHER_START_ENCRYPT 11
#define MR_CIPHER_START_DECRYPT 12
#define MR_CIPHER_ENCRYPT 6
#define MR_CIPHER_DECRYPT 7
#define MR_CIPHER_STATE_SIZE 2048

/*
 * Algorithm entry: mode 1 compresses src_len bytes of src into dst (capacity
 * dst_cap, twice the block size) and returns the stored length or
 * MR_DECLINED; mode 2 expands src into dst (capacity: the block size) and
 * returns the plain length, or 0 on failure. It must never read or write
 * outside the given buffers. `reserved` is always null.
 */
typedef uint32_t (*mr_algorithm_entry)(uint32_t mode, void *reserved,
                                       const unsigned char *src,
                                       unsigned char *dst, uint32_t src_len,
                                       uint32_t dst_cap);

/*
 * Cipher entry: modes 11 and 12 start a stream (src and dst null, len 0);
 * modes 6 and 7 encrypt or decrypt len bytes of src into dst (capacity
 * 2 * len) and must return exactly len.
 */
typedef int32_t (*mr_cipher_entry)(const unsigned char *src,
                                   unsigned char *dst, uint32_t len,
                                   unsigned char *state, int32_t mode);

/* MR_ALGO holds either entry form. */
typedef void (*mr_entry)(void);

#ifdef __cplusplus
}
#define MR_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define MR_EXPORT __attribute__((visibility("default")))
#endif

#define MR_ALGORITHM_MODULE(num, name, entry)                 \
  MR_EXPORT const int32_t MR_NUM = (num);                     \
  MR_EXPORT const char *const MR_NAME = (name);               \
  MR_EXPORT const mr_entry MR_ALGO = (mr_entry)(mr_algorithm_entry)(entry)

/* Declares the module's entry reentrant (see MR_THREADSAFE above). */
#define MR_THREADSAFE_MODULE() MR_EXPORT const int32_t MR_THREADSAFE = 1

#define MR_CIPHER_MODULE(num, name, entry)                    \
  MR_EXPORT const int32_t MR_TYPE = MR_TYPE_CIPHER;           \
  MR_EXPORT const int32_t MR_NUM = (num);                     \
  MR_EXPORT const char *const MR_NAME = (name);               \
  MR_EXPORT const mr_entry MR_ALGO = (mr_entry)(mr_cipher_entry)(entry)

#endif /* MIRT_MODULE_H */
