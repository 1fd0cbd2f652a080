// Whole reads and writes on descriptors, with one contract: interrupted
// calls are retried, and a failure leaves errno set for the caller, who
// prints its own message.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace mirt {

// Writes all `length` bytes. False on failure, with errno set (EIO when
// the system accepted nothing without saying why).
bool write_full(int fd, const void* data, size_t length);
// The same for the pieces of `parts`, in order; `parts` is used up.
bool write_full(int fd, iovec* parts, int count);

// Reads until `size` bytes, end of stream, or an error. Returns the count
// read, or a negative number with errno set.
int32_t read_full(int fd, void* buffer, uint32_t size);

// One read (at most `size` bytes), retried while interrupted.
ssize_t read_some(int fd, void* buffer, size_t size);

}  // namespace mirt
