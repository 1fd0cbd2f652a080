// Hands fuzz input to the codec the two ways a real run sees it: as a
// seekable file and through a pipe.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace mirt_fuzz {

inline int seekable_input(const uint8_t* data, size_t size) {
  int fd = memfd_create("mirt-fuzz", 0);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// -1 when the input does not fit the pipe buffer at once.
inline int pipe_input(const uint8_t* data, size_t size, size_t capacity = 65536) {
  if (size > capacity) return -1;
  int fds[2];
  if (pipe(fds) != 0) return -1;
  if (fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(capacity)) < 0 && size > 65536) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fds[1], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fds[1]);
  return fds[0];
}

// Standard output and input go nowhere: the report and the stub's
// warning would otherwise flood the log.
inline void quiet_std_streams() {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    close(null_fd);
  }
}

}  // namespace mirt_fuzz
