// Zstandard frames for the Zstandard plugins: the window covers the whole
// block, and the frame's own checksum (verified as the frame is decoded)
// guards the plain bytes.
#pragma once

// The size estimates are in the library's advanced interface.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <memory>

#include "common/plugin.h"

namespace mirt::plugin {

// The library's window limits for 32-bit targets, which every block fits.
inline constexpr int kZstdMinWindowLog = 10;
inline constexpr int kZstdMaxWindowLog = 30;

struct ZstdCctxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct ZstdDctxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

inline int zstd_window_log_for(uint32_t len) {
  int log = kZstdMinWindowLog;
  while (log < kZstdMaxWindowLog && (uint64_t{1} << log) < len) ++log;
  return log;
}

template <int Level>
uint32_t zstd_compress(const unsigned char* src, unsigned char* dst, uint32_t len,
                       uint32_t limit) {
  std::unique_ptr<ZSTD_CCtx, ZstdCctxFree> cctx(ZSTD_createCCtx());
  if (!cctx) return MR_DECLINED;
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, Level)) ||
      ZSTD_isError(
          ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, zstd_window_log_for(len))) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1)))
    return MR_DECLINED;
  const size_t produced = ZSTD_compress2(cctx.get(), dst, limit, src, len);
  if (ZSTD_isError(produced) || produced > limit) return MR_DECLINED;
  return static_cast<uint32_t>(produced);
}

// One frame; `consumed` tells where it ends.
inline uint32_t zstd_decompress(const unsigned char* src, unsigned char* dst, uint32_t len,
                                uint32_t cap, uint32_t& consumed) {
  std::unique_ptr<ZSTD_DCtx, ZstdDctxFree> dctx(ZSTD_createDCtx());
  if (!dctx) return MR_FAILED;
  // No block needs a larger window; refuse hostile headers early.
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kZstdMaxWindowLog)))
    return MR_FAILED;
  const size_t frame = ZSTD_findFrameCompressedSize(src, len);
  if (ZSTD_isError(frame) || frame > len) return MR_FAILED;
  consumed = static_cast<uint32_t>(frame);
  const size_t produced = ZSTD_decompressDCtx(dctx.get(), dst, cap, src, frame);
  if (ZSTD_isError(produced) || produced > cap) return MR_FAILED;
  return static_cast<uint32_t>(produced);
}

// The library's estimate for the level and window in use; a frame is
// decoded straight into the block, so the decoder needs its context only
// (beside which the library was measured to take under 300 KiB).
template <int Level>
uint64_t zstd_memory(uint32_t mode, uint32_t block_size, uint32_t) {
  if (mode != MR_MODE_COMPRESS) return ZSTD_estimateDCtxSize() + (256u << 10);
  ZSTD_compressionParameters params = ZSTD_getCParams(Level, block_size, 0);
  params.windowLog = static_cast<unsigned>(zstd_window_log_for(block_size));
  return ZSTD_estimateCCtxSize_usingCParams(params);
}

}  // namespace mirt::plugin
