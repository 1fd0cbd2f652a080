// Network access: the global switch, TCP connections and opening HTTP and
// FTP URLs.
#pragma once

#include <cstdint>

#include "location/url.h"

namespace mirt {

int network_init();
bool network_disabled();
void set_network_disabled(bool disabled);

// A connected IPv4 TCP socket, -1 when networking is off or the host does
// not resolve, -5 when the socket cannot be made or the connection fails.
int tcp_connect(const char* host, int32_t port);
// Listens on every local address at `port`; -1 on failure.
int listen_socket(int port);
// Shuts the socket down for writing, then closes it.
void close_socket(int socket);

// Opens a URL already split by parse_url; results as open_location's
// (descriptor, or -1, -2, -5).
int open_url(const char* location, const UrlParts& parts, int flags, int mode);

// The two exchanges on an already connected descriptor, which they own:
// it is closed on failure, and for HTTP also when a redirect is followed.
// The FTP control connection stays open after a successful open.
int http_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode);
int ftp_exchange(int fd, const char* location, const UrlParts& parts, int flags, int mode);

// Tests only: clean slate, and a replacement for the connection step so
// fuzzing never reaches a real network.
void network_reset();
using ConnectHook = int (*)(const char* host, int32_t port);
void set_connect_hook(ConnectHook hook);

}  // namespace mirt
