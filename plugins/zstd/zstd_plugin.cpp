// Zstandard at a high level, its window sized to cover the whole block.
#include "common/zstd.h"

MR_ALGORITHM_MODULE(16, "Zstandard Compression",
                    (mirt::plugin::self_checked_entry<mirt::plugin::zstd_compress<19>,
                                                      mirt::plugin::zstd_decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::plugin::zstd_memory<19>);
