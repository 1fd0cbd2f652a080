// The FTP client: a passive-mode dialogue for retrieving and storing.
#pragma once

#include "location/schemes.h"
#include "location/url.h"

namespace mirt {

// The dialogue on an already connected control descriptor, which it owns:
// closed on failure, left open for the transfer after a successful open,
// whose result is the data connection. Results as open_location's.
int ftp_open(int control, const UrlOpen& request);
int ftp_exchange(int control, const char* location, const UrlParts& parts, int flags, int mode);

}  // namespace mirt
