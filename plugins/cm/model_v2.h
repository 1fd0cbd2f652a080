// The second model set: more contexts, each with a bit-history map and an
// indirect estimator in a chain over increasing orders; two mixer layers;
// a chain of refiners over orders 0, 1 and 2.
#pragma once

#include <cstdint>

#include "cm/cm_codec.h"
#include "cm/coder.h"

namespace mirt::cm::v2 {

// As v1::encode and v1::decode.
bool encode(const unsigned char* data, uint32_t len, Params params, Kernels kernels, Encoder& enc,
            const Progress& progress);
bool decode(unsigned char* dst, uint32_t len, Params params, Kernels kernels, Decoder& dec,
            const Progress& progress);

// Table size for a block of `len` bytes (the parameter byte's field).
Params table_param_for(uint32_t len);

uint64_t model_bytes(Params params);

}  // namespace mirt::cm::v2
