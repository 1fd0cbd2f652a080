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

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  unsigned int produced = cap;
  const int rc = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(dst), &produced,
                                            as_chars(src), len, 0, 0);
  return rc == BZ_OK ? produced : MR_FAILED;
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(9, "Bzip2 Compression", (mirt::plugin::self_checked_entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
