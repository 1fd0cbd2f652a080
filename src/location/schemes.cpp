#include "location/schemes.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/keyword.h"
#include "location/ftp.h"
#include "location/http.h"
#include "location/net.h"
#include "location/stream.h"

namespace mirt {
namespace {

constexpr UrlScheme kSchemes[] = {
    {"http", "HTTP", 80, false, http_open},
    {"ftp", "FTP", 21, true, ftp_open},
};

}  // namespace

const UrlScheme* find_url_scheme(const char* name) {
  return find_keyword(kSchemes, elf_hash(name));
}

int open_url(const UrlOpen& request) {
  const int fd = tcp_connect(request.parts.host, request.parts.port);
  if (fd < 0) return -1;
  const UrlScheme* scheme = find_url_scheme(request.parts.scheme);
  if (scheme != nullptr && (scheme->writable || (request.flags & (O_WRONLY | O_RDWR)) == 0))
    return scheme->open(fd, request);
  set_open_failure_reason(scheme != nullptr
                              ? std::string(scheme->label) + " locations cannot be written"
                              : "unsupported URL scheme");
  close(fd);
  return -1;
}

int open_url(const char* location, const UrlParts& parts, int flags, int mode) {
  return open_url(UrlOpen{location, parts, flags, mode, 0});
}

}  // namespace mirt
