#include "common/io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace mirt {
namespace {

// A blocking socket says EAGAIN once its receive or send time-out passed:
// what the user should read is that the connection timed out.
void name_socket_timeout(int fd) {
  const int err = errno;
  struct stat info {};
  errno = (err == EAGAIN || err == EWOULDBLOCK) && fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)
              ? ETIMEDOUT
              : err;
}

}  // namespace

bool write_full(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      name_socket_timeout(fd);
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool write_full(int fd, iovec* parts, int count) {
  int first = 0;
  while (first < count && parts[first].iov_len == 0) ++first;
  while (first < count) {
    const ssize_t n = ::writev(fd, parts + first, count - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      name_socket_timeout(fd);
      return false;
    }
    auto done = static_cast<size_t>(n);
    while (first < count && done >= parts[first].iov_len) {
      done -= parts[first].iov_len;
      ++first;
    }
    if (first < count) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + done;
      parts[first].iov_len -= done;
    }
  }
  return true;
}

int32_t read_full(int fd, void* buffer, uint32_t size) {
  if (size == 0) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  uint32_t count = 0;
  while (count < size) {
    const ssize_t got = read_some(fd, out + count, size - count);
    if (got < 0) return static_cast<int32_t>(got);
    if (got == 0) break;
    count += static_cast<uint32_t>(got);
  }
  return static_cast<int32_t>(count);
}

ssize_t read_some(int fd, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) name_socket_timeout(fd);
  return got;
}

}  // namespace mirt
