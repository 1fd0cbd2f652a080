// Slot 4: a zlib stream at maximum compression.
#include <zlib.h>

#include "common/plugin.h"

namespace mirt {
namespace {

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    return MR_DECLINED;
  z.next_in = const_cast<Bytef*>(src);
  z.avail_in = len;
  z.next_out = dst;
  z.avail_out = limit;
  const int rc = deflate(&z, Z_FINISH);
  const uint32_t produced = static_cast<uint32_t>(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END ? produced : MR_DECLINED;
}

// One zlib stream; `consumed` tells where it ends.
uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap,
                    uint32_t& consumed) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return MR_FAILED;
  z.next_in = const_cast<Bytef*>(src);
  z.avail_in = len;
  z.next_out = dst;
  z.avail_out = cap;
  const int rc = inflate(&z, Z_FINISH);
  const uint32_t produced = static_cast<uint32_t>(z.total_out);
  consumed = len - z.avail_in;
  inflateEnd(&z);
  return rc == Z_STREAM_END ? produced : MR_FAILED;
}

// zlib's own figures: deflate (1 << (windowBits + 2)) + (1 << (memLevel + 9))
// bytes, inflate 1 << windowBits, each beside a few KiB of state.
uint64_t memory(uint32_t mode, uint32_t, uint32_t) {
  constexpr uint64_t kState = 8 << 10;
  return mode == MR_MODE_COMPRESS ? (1u << 17) + (1u << 18) + kState : (1u << 15) + kState;
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(4, "Zlib Compression", (mirt::plugin::self_checked_entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
