// Version files and upgrades of the program and its modules.
#pragma once

#include <cstdint>

#include "common/types.h"

namespace mirt {

uint32_t fetch_version(const char* name, const char* version_template, const Options& options);
int check_update(const char* name, const char* fetch_template, const char* version_template,
                 uint32_t current, const char* destination_template, const Options& options);

// Packed version from the first bytes of a version file.
uint32_t parse_version_file(const char* bytes, int length);

}  // namespace mirt
