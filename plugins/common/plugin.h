// Shared pieces of the bundled algorithm plugins. Everything here is
// header-only and hidden, so each plugin stays one self-contained object.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mirt/module.h"

namespace mirt::plugin {

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
// MR_DECLINED and MR_FAILED for their own failures.
template <uint32_t (*Compress)(const unsigned char*, unsigned char*, uint32_t, uint32_t),
          uint32_t (*Decompress)(const unsigned char*, unsigned char*, uint32_t, uint32_t)>
uint32_t entry(uint32_t mode, void*, const unsigned char* src, unsigned char* dst,
               uint32_t src_len, uint32_t dst_cap) {
  if (mode == MR_MODE_COMPRESS) {
    if (src == nullptr || dst == nullptr) return MR_DECLINED;
    const uint32_t limit = output_limit(src_len, dst_cap);
    if (limit == 0) return MR_DECLINED;
    return Compress(src, dst, src_len, limit);
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src == nullptr || dst == nullptr || src_len == 0 || dst_cap == 0) return MR_FAILED;
    return Decompress(src, dst, src_len, dst_cap);
  }
  return unsupported_mode(mode);
}

}  // namespace mirt::plugin
