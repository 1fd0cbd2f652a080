#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace mirt::test {
namespace {

constexpr int kPollStepMs = 20;

// Polls in short steps so that `stop` is noticed quickly.
bool wait_readable(int fd, const std::atomic<bool>& stop, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!stop.load()) {
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, kPollStepMs);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return false;
}

}  // namespace

int listen_loopback(int& port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = 0;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(local.sin_port);
  return fd;
}

int accept_bounded(int listen_fd, const std::atomic<bool>& stop, int timeout_ms) {
  if (!wait_readable(listen_fd, stop, timeout_ms)) return -1;
  int fd = accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) bound_socket_waits(fd, 10000);
  return fd;
}

long read_bounded(int fd, char* buffer, unsigned long size, const std::atomic<bool>& stop,
                  int timeout_ms) {
  if (!wait_readable(fd, stop, timeout_ms)) return -2;
  ssize_t got;
  do {
    got = recv(fd, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool send_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

void bound_socket_waits(int fd, int timeout_ms) {
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace mirt::test
