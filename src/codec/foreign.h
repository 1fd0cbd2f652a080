// Non-container input given to the decompressor.
#pragma once

#include <cstdint>

#include "codec/codec.h"

namespace mirt {

// True for the first four bytes of a gzip or bzip2 stream.
bool is_foreign_magic(uint32_t magic);

// `magic` holds the four bytes already read from `input`, big-endian.
// Counts the bytes written to `output`; an empty stream succeeds too.
StreamResult decompress_foreign(int input, int output, uint32_t magic);

}  // namespace mirt
