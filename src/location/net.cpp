// The network switch and time-out, TCP connections, and what the HTTP and
// FTP clients share on a socket.
#include "location/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/diag.h"
#include "location/stream.h"

namespace mirt {
namespace {

bool g_network_disabled = false;
bool g_network_initialised = false;
uint32_t g_timeout_seconds = kDefaultNetworkTimeout;
ConnectHook g_connect_hook = nullptr;

// poll counts milliseconds in an int.
constexpr uint32_t kMaxTimeout = INT_MAX / 1000;
// Server texts quoted in a failure reason are cut here.
constexpr size_t kQuotedTextLimit = 80;

// Platform network start-up; nothing to do on Unix.
int network_platform_init() { return 0; }

// Connects `fd` to `peer` within the time-out: 0, or an error number
// (ETIMEDOUT with `timed_out` set when the time-out passed first).
int connect_within(int fd, const sockaddr_in& peer, bool& timed_out) {
  const auto* address = reinterpret_cast<const sockaddr*>(&peer);
  timed_out = false;
  if (g_timeout_seconds == 0) return connect(fd, address, sizeof peer) == 0 ? 0 : errno;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  int err = connect(fd, address, sizeof peer) == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    const Deadline deadline;
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&entry, 1, deadline.remaining_ms());
    } while (ready < 0 && errno == EINTR);
    socklen_t length = sizeof err;
    if (ready == 0) {
      timed_out = true;
      err = ETIMEDOUT;
    } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
      err = errno;
    }
  }
  if (fcntl(fd, F_SETFL, flags) != 0 && err == 0) err = errno;
  return err;
}

// Reads and writes on the connection give up after the time-out; the
// reader sees EAGAIN then.
void bound_socket_waits(int fd) {
  if (g_timeout_seconds == 0) return;
  const timeval limit{static_cast<time_t>(g_timeout_seconds), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

int network_init() {
  if (g_network_initialised) return 0;
  g_network_initialised = true;
  if (network_platform_init() < 0) g_network_disabled = true;
  return 0;
}

bool network_disabled() { return g_network_disabled; }

void set_network_disabled(bool disabled) { g_network_disabled = disabled; }

uint32_t network_timeout() { return g_timeout_seconds; }

void set_network_timeout(uint32_t seconds) {
  g_timeout_seconds = seconds < kMaxTimeout ? seconds : kMaxTimeout;
}

int tcp_connect(const char* host, int32_t port) {
  if (g_network_disabled) return -1;
  if (g_connect_hook != nullptr) return g_connect_hook(host, port);
  in_addr address{};
  if (inet_aton(host, &address) == 0) {
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != sizeof address ||
        entry->h_addr_list[0] == nullptr) {
      set_open_failure_reason(std::string("unknown host ") + quoted_text(host, std::strlen(host)));
      return -1;
    }
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    set_open_failure_reason("cannot make a socket: " + system_text(errno));
    return -5;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr = address;
  bool timed_out = false;
  if (const int err = connect_within(fd, peer, timed_out); err != 0) {
    report_system_error("connect", err);
    set_open_failure_reason(timed_out             ? "connection timed out after " + timeout_text()
                            : err == ECONNREFUSED ? std::string("connection refused")
                                                  : "cannot connect: " + system_text(err));
    close(fd);
    return -5;
  }
  bound_socket_waits(fd);
  return fd;
}

int listen_socket(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::perror("bind");
    close(fd);
    return -1;
  }
  if (listen(fd, 1024) != 0) {
    std::perror("listen");
    close(fd);
    return -1;
  }
  return fd;
}

void close_socket(int socket) {
  shutdown(socket, SHUT_WR);
  close(socket);
}

Deadline::Deadline()
    : limited_(g_timeout_seconds != 0),
      end_(std::chrono::steady_clock::now() + std::chrono::seconds(g_timeout_seconds)) {}

int Deadline::remaining_ms() const {
  if (!limited_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      end_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() < INT_MAX ? static_cast<int>(left.count()) : INT_MAX;
}

bool wait_readable(int fd, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, deadline.remaining_ms());
    if (ready > 0) return true;
    // A failed poll leaves the verdict to the read that follows.
    if (ready < 0 && errno != EINTR) return true;
    if (ready == 0) return false;
  }
}

void send_text(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == ENOTSOCK) sent = write(fd, text.data() + done, text.size() - done);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    done += static_cast<size_t>(sent);
  }
}

std::string quoted_text(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length && out.size() < kQuotedTextLimit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n' || c == '\0') break;
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string system_text(int err) { return std::strerror(err); }

std::string timeout_text() {
  return std::to_string(g_timeout_seconds) + (g_timeout_seconds == 1 ? " second" : " seconds");
}

void network_reset() {
  g_network_disabled = false;
  g_network_initialised = false;
  g_timeout_seconds = kDefaultNetworkTimeout;
  g_connect_hook = nullptr;
}

void set_connect_hook(ConnectHook hook) { g_connect_hook = hook; }

}  // namespace mirt
