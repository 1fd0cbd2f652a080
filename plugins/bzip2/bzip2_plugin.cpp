// Slot 9: a bzip2 stream with 900k blocks.
#include <bzlib.h>

#include "common/plugin.h"

namespace mirt {
namespace {

char* as_chars(const unsigned char* p) {
  return const_cast<char*>(reinterpret_cast<const char*>(p));
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  unsigned int produced = limit;
  const int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(dst), &produced, as_chars(src),
                                          len, 9, 0, 0);
  return rc == BZ_OK ? produced : MR_DECLINED;
}

// One bzip2 stream; `consumed` tells where it ends.
uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap,
                    uint32_t& consumed) {
  bz_stream s{};
  if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return MR_FAILED;
  s.next_in = as_chars(src);
  s.avail_in = len;
  s.next_out = reinterpret_cast<char*>(dst);
  s.avail_out = cap;
  int rc;
  for (;;) {
    const unsigned int in = s.avail_in;
    const unsigned int out = s.avail_out;
    rc = BZ2_bzDecompress(&s);
    // Stuck: the input ended or the output is full before the stream did.
    if (rc != BZ_OK || (s.avail_in == in && s.avail_out == out)) break;
  }
  const uint32_t produced = cap - s.avail_out;
  consumed = len - s.avail_in;
  BZ2_bzDecompressEnd(&s);
  return rc == BZ_STREAM_END ? produced : MR_FAILED;
}

// libbzip2's own figures for 900k blocks: 400k + 8 x 900k to compress,
// 100k + 4 x 900k to decompress.
uint64_t memory(uint32_t mode, uint32_t, uint32_t) {
  return mode == MR_MODE_COMPRESS ? 400000 + 8 * 900000 : 100000 + 4 * 900000;
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(9, "Bzip2 Compression", (mirt::plugin::self_checked_entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
