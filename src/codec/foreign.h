// Non-container input given to the decompressor.
#pragma once

#include <cstdint>

namespace mirt {

// `magic` holds the four bytes already read from `input`, big-endian.
// Returns the number of bytes written to `output`, 0 on failure.
uint64_t decompress_foreign(int input, int output, uint32_t magic);

}  // namespace mirt
