// Raw LZMA2 behind an optional filter, shared by the LZMA2 plugins. The
// stored form carries no header of its own: LZMA2 chunks carry their
// properties, and the dictionary never needs to exceed the block.
#pragma once

#include <lzma.h>

#include <cstdint>

#include "common/plugin.h"

namespace mirt::plugin {

inline constexpr uint32_t kLzmaPreset = 9 | LZMA_PRESET_EXTREME;

inline uint32_t dictionary_for(uint32_t len) {
  return len < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : len;
}

// `filter` is LZMA_VLI_UNKNOWN for plain LZMA2. The literal context and
// position bits travel in the stream, so the decoder needs no hint.
inline uint32_t lzma2_encode(lzma_vli filter, void* filter_options, const unsigned char* src,
                             uint32_t len, unsigned char* dst, uint32_t limit,
                             bool text = false) {
  lzma_options_lzma lzma{};
  if (lzma_lzma_preset(&lzma, kLzmaPreset)) return MR_DECLINED;
  lzma.dict_size = dictionary_for(len);
  if (text) {
    lzma.lc = 4;
    lzma.lp = 0;
    lzma.pb = 0;
  }
  lzma_filter chain[3];
  int n = 0;
  if (filter != LZMA_VLI_UNKNOWN) chain[n++] = {filter, filter_options};
  chain[n++] = {LZMA_FILTER_LZMA2, &lzma};
  chain[n] = {LZMA_VLI_UNKNOWN, nullptr};
  size_t produced = 0;
  if (lzma_raw_buffer_encode(chain, nullptr, src, len, dst, &produced, limit) != LZMA_OK)
    return MR_DECLINED;
  return produced <= limit ? static_cast<uint32_t>(produced) : MR_DECLINED;
}

inline uint32_t lzma2_decode(lzma_vli filter, void* filter_options, const unsigned char* src,
                             uint32_t len, unsigned char* dst, uint32_t cap) {
  lzma_options_lzma lzma{};
  if (lzma_lzma_preset(&lzma, kLzmaPreset)) return MR_FAILED;
  lzma.dict_size = dictionary_for(cap);
  lzma_filter chain[3];
  int n = 0;
  if (filter != LZMA_VLI_UNKNOWN) chain[n++] = {filter, filter_options};
  chain[n++] = {LZMA_FILTER_LZMA2, &lzma};
  chain[n] = {LZMA_VLI_UNKNOWN, nullptr};
  size_t in_pos = 0;
  size_t out_pos = 0;
  if (lzma_raw_buffer_decode(chain, nullptr, src, &in_pos, len, dst, &out_pos, cap) != LZMA_OK)
    return MR_FAILED;
  // Trailing bytes after the end marker mean the block is not what we wrote.
  if (in_pos != len || out_pos > cap) return MR_FAILED;
  return static_cast<uint32_t>(out_pos);
}

}  // namespace mirt::plugin
