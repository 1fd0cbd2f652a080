// The first model set: six hashed contexts and order 1, a match model, one
// mixer and one refiner. Kept as it was written, for the blocks stored
// with it.
#pragma once

#include <cstdint>

#include "cm/cm_codec.h"
#include "cm/coder.h"

namespace mirt::cm::v1 {

// Runs the model over `len` bytes. False when memory is short or the
// stored form outgrows its limit (encode), or the input is damaged
// (decode).
bool encode(const unsigned char* data, uint32_t len, uint8_t params, Kernels kernels, Encoder& enc,
            const Progress& progress);
bool decode(unsigned char* dst, uint32_t len, uint8_t params, Kernels kernels, Decoder& dec,
            const Progress& progress);

// Bytes the model allocates for these parameters.
uint64_t model_bytes(uint8_t params);

}  // namespace mirt::cm::v1
