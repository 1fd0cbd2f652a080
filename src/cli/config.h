// Configuration files and directives.
#pragma once

#include <cstdint>

#include "common/types.h"

namespace mirt {

// Applies every line of the file; false when it cannot be opened.
bool read_config_file(const char* path, Options& options, uint32_t* block_size);
int apply_config_line(const char* text, Options& options, uint32_t* block_size);

}  // namespace mirt
