// What a library context holds: the settings its configuration produced.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "mirt/mirt.h"

struct mirt_context {
  mirt::Options options;      // per-run switches of the codec (checksums, no name)
  uint32_t block_size = 0;    // the option, else the configuration's `blocksize`
  uint32_t threads = 0;
  uint64_t memory_limit = 0;
  uint32_t flags = 0;
};

namespace mirt::api {

// Options of a context, defaults for null.
mirt_options options_or_defaults(const mirt_options* options);

}  // namespace mirt::api
