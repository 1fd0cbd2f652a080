// Slot 22: block sorting of the whole block, then context-mixing coding of
// the sorted bytes (bwt_codec.h). It reads the call context: one block
// may keep several threads busy, and it reports its progress.
#include "bwt/bwt_codec.h"
#include "common/plugin.h"

namespace mirt {
namespace {

static_assert(bwt::kDeclined == MR_DECLINED && bwt::kFailed == MR_FAILED);

uint32_t compress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t limit) {
  return bwt::encode(src, len, dst, limit, bwt::Tasks(plugin::call_context()));
}

uint32_t decompress(const unsigned char* src, unsigned char* dst, uint32_t len, uint32_t cap) {
  return bwt::decode(src, len, dst, cap, bwt::Tasks(plugin::call_context()));
}

uint64_t memory(uint32_t mode, uint32_t block_size, uint32_t threads) {
  return bwt::memory_for(mode == MR_MODE_COMPRESS, block_size, threads);
}

}  // namespace
}  // namespace mirt

MR_ALGORITHM_MODULE(22, "BWT Compression",
                    (mirt::plugin::entry_with_context<mirt::plugin::entry<mirt::compress, mirt::decompress>>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::memory);
