// Network access: the global switch and opening URLs.
#pragma once

#include <cstdint>

#include "location/url.h"

namespace mirt {

int network_init();
bool network_disabled();
void set_network_disabled(bool disabled);

// Opens a URL already split by parse_url; results as open_location's
// (descriptor, or -1, -2, -5).
int open_url(const char* location, const UrlParts& parts, int flags, int mode);

// Tests only.
void network_reset();

}  // namespace mirt
