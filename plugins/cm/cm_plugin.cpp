// Context mixing: the strongest and slowest bundled algorithm, for the
// "max" preset. The codec itself lives in cm_codec.cpp.
#include "cm/cm_codec.h"
#include "common/plugin.h"

namespace mirt {
namespace {

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  const uint32_t n = cm::encode(src, len, dst, limit);
  return n == cm::kDeclined ? MR_DECLINED : n;
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  const uint32_t n = cm::decode(src, len, dst, cap);
  return n == cm::kFailed ? MR_FAILED : n;
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(23, "Context Mixing", (mirt::plugin::entry<mirt::compress, mirt::decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
