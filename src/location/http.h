// The HTTP client: an HTTP/1.0 GET that follows 302 redirects and leaves
// the body on the connection for the caller.
#pragma once

#include "location/schemes.h"
#include "location/url.h"

namespace mirt {

// The exchange on an already connected descriptor, which it owns: it is
// closed on failure and when a redirect is followed. Results as
// open_location's.
int http_open(int fd, const UrlOpen& request);
int http_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode);

}  // namespace mirt
