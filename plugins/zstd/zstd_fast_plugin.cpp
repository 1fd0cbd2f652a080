// Zstandard at a fast level, for everyday use: several times quicker than
// the strong plugins and at least as small as the zstd tool's default
// level, as its window covers the whole block.
#include "common/zstd.h"

MR_ALGORITHM_MODULE(24, "Zstandard Fast Compression",
                    (mirt::plugin::self_checked_entry<mirt::plugin::zstd_compress<3>,
                                                      mirt::plugin::zstd_decompress>));
MR_THREADSAFE_MODULE();
MR_CONTEXT_MODULE();
MR_MEMORY_MODULE(mirt::plugin::zstd_memory<3>);
