// The URL schemes mirt speaks: one table for the URL parser's default
// ports and for choosing the client that opens a URL.
#pragma once

#include <cstdint>

#include "location/url.h"

namespace mirt {

// One open of a URL already split by parse_url, and how many redirects
// led to it.
struct UrlOpen {
  const char* location;
  const UrlParts& parts;
  int flags;
  int mode;
  int redirects;
};

// Runs a scheme's exchange on a connected descriptor, which it owns.
// Results as open_location's (descriptor, or -1, -2, -5).
using SchemeOpen = int (*)(int fd, const UrlOpen& request);

struct UrlScheme {
  const char* name;   // lower case, as parse_url leaves it
  const char* label;  // in messages
  int32_t default_port;
  bool writable;
  SchemeOpen open;
};

// The entry for a lower-case scheme, or null. Looked up by its keyword
// hash, as every keyword table.
const UrlScheme* find_url_scheme(const char* name);

// Connects and runs the scheme's exchange.
int open_url(const UrlOpen& request);
int open_url(const char* location, const UrlParts& parts, int flags, int mode);

}  // namespace mirt
