// Small socket helpers for the loopback test servers: 127.0.0.1 only,
// ephemeral ports, and no wait without a bound.
#pragma once

#include <atomic>
#include <string>

namespace mirt::test {

// A listening socket on 127.0.0.1 at a port the system picks; -1 on failure.
int listen_loopback(int& port, int backlog = 64);
// Waits for a connection until `timeout_ms` passes or `stop` is set; -1 then.
int accept_bounded(int listen_fd, const std::atomic<bool>& stop, int timeout_ms);
// Reads what is there, waiting at most `timeout_ms`; 0 at end of stream,
// -1 on an error (errno set), -2 on time-out or stop.
long read_bounded(int fd, char* buffer, unsigned long size, const std::atomic<bool>& stop,
                  int timeout_ms);
// Sends everything unless the peer goes away (no SIGPIPE).
bool send_all(int fd, const std::string& bytes);
// Send and receive time-outs on an accepted socket.
void bound_socket_waits(int fd, int timeout_ms);

}  // namespace mirt::test
