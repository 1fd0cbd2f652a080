// Raw LZMA2 behind an optional filter, shared by the LZMA2 plugins. The
// stored form carries no header of its own: LZMA2 chunks carry their
// properties, and the dictionary never needs to exceed the block.
#pragma once

#include <lzma.h>

#include <cstdint>

#include "common/plugin.h"

namespace mirt::plugin {

inline constexpr uint32_t kLzmaPreset = 9 | LZMA_PRESET_EXTREME;
// Above this the extra search of the extreme preset costs the most and buys
// nothing: on 32 MiB blocks it took 13-25% more time for a size within
// 0.2% either way (logs, libraries, documentation), 1.8% on headers, where
// block sorting wins anyway.
inline constexpr uint32_t kLzmaExtremeLimit = 16u << 20;

inline uint32_t preset_for(uint32_t len) {
  return len > kLzmaExtremeLimit ? 9 : kLzmaPreset;
}

inline uint32_t dictionary_for(uint32_t len) {
  return len < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : len;
}

// The filter chain: `filter` (LZMA_VLI_UNKNOWN for none), then LZMA2 at
// the preset with a dictionary of `dictionary` bytes. `ok` is false when
// the preset cannot be had.
struct Lzma2Chain {
  Lzma2Chain(lzma_vli filter, void* filter_options, uint32_t dictionary) {
    ok = !lzma_lzma_preset(&lzma, preset_for(dictionary));
    lzma.dict_size = dictionary_for(dictionary);
    int n = 0;
    if (filter != LZMA_VLI_UNKNOWN) filters[n++] = {filter, filter_options};
    filters[n++] = {LZMA_FILTER_LZMA2, &lzma};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
  }
  Lzma2Chain(const Lzma2Chain&) = delete;
  Lzma2Chain& operator=(const Lzma2Chain&) = delete;

  lzma_options_lzma lzma{};
  lzma_filter filters[3];
  bool ok = false;
};

// The literal context and position bits travel in the stream, so the
// decoder needs no hint.
inline uint32_t lzma2_encode(lzma_vli filter, void* filter_options, const unsigned char* src,
                             uint32_t len, unsigned char* dst, uint32_t limit,
                             bool text = false) {
  Lzma2Chain chain(filter, filter_options, len);
  if (!chain.ok) return MR_DECLINED;
  if (text) {
    chain.lzma.lc = 4;
    chain.lzma.lp = 0;
    chain.lzma.pb = 0;
  }
  size_t produced = 0;
  if (lzma_raw_buffer_encode(chain.filters, nullptr, src, len, dst, &produced, limit) != LZMA_OK)
    return MR_DECLINED;
  return produced <= limit ? static_cast<uint32_t>(produced) : MR_DECLINED;
}

inline uint32_t lzma2_decode(lzma_vli filter, void* filter_options, const unsigned char* src,
                             uint32_t len, unsigned char* dst, uint32_t cap) {
  Lzma2Chain chain(filter, filter_options, cap);
  if (!chain.ok) return MR_FAILED;
  size_t in_pos = 0;
  size_t out_pos = 0;
  if (lzma_raw_buffer_decode(chain.filters, nullptr, src, &in_pos, len, dst, &out_pos, cap) !=
      LZMA_OK)
    return MR_FAILED;
  // Trailing bytes after the end marker mean the block is not what we wrote.
  if (in_pos != len || out_pos > cap) return MR_FAILED;
  return static_cast<uint32_t>(out_pos);
}

// The library's figures for the chain and dictionary in use.
inline uint64_t lzma2_memory(lzma_vli filter, void* filter_options, uint32_t mode,
                             uint32_t block_size) {
  Lzma2Chain chain(filter, filter_options, block_size);
  if (!chain.ok) return UINT64_MAX;
  return mode == MR_MODE_COMPRESS ? lzma_raw_encoder_memusage(chain.filters)
                                  : lzma_raw_decoder_memusage(chain.filters);
}

}  // namespace mirt::plugin
