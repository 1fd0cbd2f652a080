// A server that replays fuzz input: the client gets one end of a socket
// pair whose other end has already sent the input and hung up. Every
// further connection goes to a peer that hangs up at once, and only to
// 127.0.0.1; nothing reaches a real network.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "location/net.h"
#include "location/stream.h"

namespace mirt_fuzz {

inline int replaying_peer(const uint8_t* data, size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -1;
  int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t sent = send(pair[1], data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0) break;
    done += static_cast<size_t>(sent);
  }
  close(pair[1]);  // queued bytes stay readable; the client's writes fail quietly
  return pair[0];
}

inline int loopback_only_connect(const char* host, int32_t /*port*/) {
  in_addr address{};
  if (inet_aton(host, &address) == 0 || address.s_addr != htonl(INADDR_LOOPBACK)) return -1;
  return replaying_peer(nullptr, 0);
}

// A failure reason is shown to the user after "mirt: open: ": one line of
// printable text, whatever the server sent.
inline bool reason_is_printable() {
  const char* reason = mirt::open_failure_reason();
  if (reason == nullptr) return true;
  for (const char* c = reason; *c != '\0'; ++c)
    if (*c < 0x20 || *c > 0x7E) return false;
  return true;
}

// The lowest free descriptor number: unchanged after a run unless
// something leaked.
inline int lowest_free_fd() {
  int fd = dup(0);
  if (fd >= 0) close(fd);
  return fd;
}

}  // namespace mirt_fuzz
