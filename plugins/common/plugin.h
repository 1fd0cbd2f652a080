// Shared pieces of the bundled algorithm plugins. Everything here is
// header-only and hidden, so each plugin stays one self-contained object.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>

#include "mirt/module.h"

namespace mirt::plugin {

// Every stored form ends with the CRC-32 of the plain block, big-endian.
// Containers written to a pipe or with -n carry no checksums of their
// own, so without it a damaged block could decode to wrong bytes unnoticed.
inline constexpr uint32_t kCheckLength = 4;

inline uint32_t plain_check(const unsigned char* data, uint32_t len) {
  return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), data, len));
}

inline void put_check(unsigned char* out, uint32_t value) {
  for (uint32_t i = 0; i < kCheckLength; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * (kCheckLength - 1 - i)));
}

inline uint32_t get_check(const unsigned char* in) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < kCheckLength; ++i) value = value << 8 | in[i];
  return value;
}

// The largest stored form worth producing: anything not smaller than the
// block loses to the copy algorithm anyway.
inline uint32_t output_limit(uint32_t src_len, uint32_t dst_cap) {
  if (src_len == 0) return 0;
  return src_len - 1 < dst_cap ? src_len - 1 : dst_cap;
}

inline uint32_t unsupported_mode(uint32_t mode) {
  std::printf("Unsupported mode: %i\n", static_cast<int>(mode));
  return MR_DECLINED;
}

// Every entry follows the same dispatch; Compress and Decompress return
// MR_DECLINED and MR_FAILED for their own failures. Compress gets a limit
// that leaves room for the check; Decompress sees the stored form without
// it and must never write more than `cap` bytes.
template <uint32_t (*Compress)(const unsigned char*, unsigned char*, uint32_t, uint32_t),
          uint32_t (*Decompress)(const unsigned char*, unsigned char*, uint32_t, uint32_t)>
uint32_t entry(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
               uint32_t src_len, uint32_t dst_cap) {
  if (mode == MR_MODE_COMPRESS) {
    if (src == nullptr || dst == nullptr) return MR_DECLINED;
    const uint32_t limit = output_limit(src_len, dst_cap);
    if (limit <= kCheckLength) return MR_DECLINED;
    const uint32_t body = Compress(src, dst, src_len, limit - kCheckLength);
    if (body == MR_DECLINED || body > limit - kCheckLength) return MR_DECLINED;
    put_check(dst + body, plain_check(src, src_len));
    return body + kCheckLength;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src == nullptr || dst == nullptr || src_len <= kCheckLength || dst_cap == 0)
      return MR_FAILED;
    const uint32_t body = src_len - kCheckLength;
    const uint32_t produced = Decompress(src, dst, body, dst_cap);
    if (produced == MR_FAILED || produced > dst_cap) return MR_FAILED;
    if (plain_check(dst, produced) != get_check(src + body)) return MR_FAILED;
    return produced;
  }
  return unsupported_mode(mode);
}

// For formats that carry a check of their own and verify it when they
// decode (a zlib or bzip2 stream, a Zstandard frame with its checksum):
// the same dispatch without a second check.
template <uint32_t (*Compress)(const unsigned char*, unsigned char*, uint32_t, uint32_t),
          uint32_t (*Decompress)(const unsigned char*, unsigned char*, uint32_t, uint32_t)>
uint32_t self_checked_entry(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
                            uint32_t src_len, uint32_t dst_cap) {
  if (mode == MR_MODE_COMPRESS) {
    if (src == nullptr || dst == nullptr) return MR_DECLINED;
    const uint32_t limit = output_limit(src_len, dst_cap);
    if (limit == 0) return MR_DECLINED;
    const uint32_t stored = Compress(src, dst, src_len, limit);
    return stored == MR_DECLINED || stored > limit ? MR_DECLINED : stored;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src == nullptr || dst == nullptr || src_len == 0 || dst_cap == 0) return MR_FAILED;
    const uint32_t produced = Decompress(src, dst, src_len, dst_cap);
    return produced > dst_cap ? MR_FAILED : produced;
  }
  return unsupported_mode(mode);
}

}  // namespace mirt::plugin
