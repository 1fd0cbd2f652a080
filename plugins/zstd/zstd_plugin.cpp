// Zstandard at a high level, its window sized to cover the whole block.
#include <zstd.h>

#include <memory>

#include "common/plugin.h"

namespace mirt {
namespace {

constexpr int kLevel = 19;
// The library's window limits for 32-bit targets, which every block fits.
constexpr int kMinWindowLog = 10;
constexpr int kMaxWindowLog = 30;

struct CctxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DctxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

int window_log_for(uint32_t len) {
  int log = kMinWindowLog;
  while (log < kMaxWindowLog && (uint64_t{1} << log) < len) ++log;
  return log;
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(ZSTD_createCCtx());
  if (!cctx) return MR_DECLINED;
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, kLevel)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, window_log_for(len))) ||
      // The block length is known to the caller; the checksum is the container's job.
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1)))
    return MR_DECLINED;
  const size_t produced = ZSTD_compress2(cctx.get(), dst, limit, src, len);
  if (ZSTD_isError(produced) || produced > limit) return MR_DECLINED;
  return static_cast<uint32_t>(produced);
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  std::unique_ptr<ZSTD_DCtx, DctxFree> dctx(ZSTD_createDCtx());
  if (!dctx) return MR_FAILED;
  // No block needs a larger window; refuse hostile headers early.
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog)))
    return MR_FAILED;
  const size_t produced = ZSTD_decompressDCtx(dctx.get(), dst, cap, src, len);
  if (ZSTD_isError(produced) || produced > cap) return MR_FAILED;
  return static_cast<uint32_t>(produced);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(16, "Zstandard Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
