// LZ4 HC: the cheapest block to expand after copy. The default HC level;
// the optimal-parsing levels above it gain well under 1% at twice the time.
#include <lz4.h>
#include <lz4hc.h>

#include "common/plugin.h"

namespace mirt {
namespace {

constexpr uint32_t kMaxInput = LZ4_MAX_INPUT_SIZE;

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  if (len > kMaxInput) return MR_DECLINED;
  const int cap = static_cast<int>(limit > kMaxInput ? kMaxInput : limit);
  const int produced = LZ4_compress_HC(reinterpret_cast<const char*>(src),
                                       reinterpret_cast<char*>(dst), static_cast<int>(len), cap,
                                       LZ4HC_CLEVEL_DEFAULT);
  return produced > 0 ? static_cast<uint32_t>(produced) : MR_DECLINED;
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  if (len > kMaxInput) return MR_FAILED;
  const int room = static_cast<int>(cap > kMaxInput ? kMaxInput : cap);
  const int produced = LZ4_decompress_safe(reinterpret_cast<const char*>(src),
                                           reinterpret_cast<char*>(dst), static_cast<int>(len),
                                           room);
  return produced > 0 ? static_cast<uint32_t>(produced) : MR_FAILED;
}

// The compressor's state; the decompressor needs nothing beside its buffers.
uint64_t memory(uint32_t mode, uint32_t, uint32_t) {
  return mode == MR_MODE_COMPRESS ? static_cast<uint64_t>(LZ4_sizeofStateHC()) : 0;
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(19, "LZ4 HC Compression",
                    (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
