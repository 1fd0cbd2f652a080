// Context mixing: the strongest and slowest bundled algorithm, for the
// "max" preset. The codec itself lives in cm_codec.cpp.
#include <cstddef>

#include "cm/cm_codec.h"
#include "common/plugin.h"

namespace mirt {
namespace {

cm::Progress progress() {
  const mr_call_context* c = plugin::call_context();
  if (c == nullptr || c->size < offsetof(mr_call_context, host) + sizeof c->host) return {};
  return {c->progress, c->host};
}

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  const uint32_t n = cm::encode(src, len, dst, limit, progress());
  return n == cm::kDeclined ? MR_DECLINED : n;
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  const uint32_t n = cm::decode(src, len, dst, cap, cm::Kernels::kBest, progress());
  return n == cm::kFailed ? MR_FAILED : n;
}

// One model per call, whatever the thread count: the codec runs on one.
uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t) {
  return cm::memory_bound(mode == MR_MODE_COMPRESS, block_size);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(23, "Context Mixing",
                    (mirt::plugin::entry_with_context<mirt::plugin::entry<mirt::compress, mirt::decompress>>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
