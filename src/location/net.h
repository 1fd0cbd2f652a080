// Network access: the global switch and time-out, TCP connections, and the
// socket helpers the HTTP and FTP clients share.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace mirt {

int network_init();
bool network_disabled();
void set_network_disabled(bool disabled);

// How long connecting, a server's header or login dialogue, and each wait
// for data may take, in seconds; 0 waits without end.
inline constexpr uint32_t kDefaultNetworkTimeout = 30;
uint32_t network_timeout();
void set_network_timeout(uint32_t seconds);

// A connected IPv4 TCP socket, -1 when networking is off or the host does
// not resolve, -5 when the socket cannot be made or the connection fails
// or times out. Its reads and writes time out after network_timeout().
int tcp_connect(const char* host, int32_t port);
// Listens on every local address at `port`; -1 on failure.
int listen_socket(int port);
// Shuts the socket down for writing, then closes it.
void close_socket(int socket);

// When one stage of an exchange must be over: network_timeout() from its
// construction, or never when time-outs are off.
class Deadline {
 public:
  Deadline();
  // Milliseconds left, for poll: -1 without a limit, 0 once passed.
  int remaining_ms() const;

 private:
  bool limited_;
  std::chrono::steady_clock::time_point end_;
};

// Waits until reading `fd` would not block (bytes, end of stream or an
// error). False when the deadline passed first.
bool wait_readable(int fd, const Deadline& deadline);
// Unchecked: a broken connection shows at the next read. A peer that went
// away must not kill the process with SIGPIPE.
void send_text(int fd, const std::string& text);
// A server's words for a failure reason: one line, printable ASCII only
// (control bytes could rewrite the user's terminal), and not too long.
std::string quoted_text(const char* text, size_t length);
std::string system_text(int err);
// "30 seconds", "1 second": the time-out in a failure reason.
std::string timeout_text();

// Tests only: clean slate, and a replacement for the connection step so
// fuzzing never reaches a real network.
void network_reset();
using ConnectHook = int (*)(const char* host, int32_t port);
void set_connect_hook(ConnectHook hook);

}  // namespace mirt
