#include "api/source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "api/api.h"

namespace mirt::api {
namespace {

int system_failure(const char* operation, int err) {
  return fail(MIRT_ERROR_IO, std::string(operation) + ": " + std::strerror(err));
}

}  // namespace

int64_t FdSource::read_at(uint64_t offset, void* buffer, size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, out + done, size - done, static_cast<off_t>(base_ + offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return system_failure("read", errno);
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

int64_t FdSource::length() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return system_failure("fstat", errno);
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode))
    return fail(MIRT_ERROR_UNSUPPORTED, "the input cannot seek");
  uint64_t end = static_cast<uint64_t>(info.st_size);
  if (S_ISBLK(info.st_mode)) {
    // A block device tells its size only through a seek; the position stays.
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    const off_t size = ::lseek(fd_, 0, SEEK_END);
    if (at < 0 || size < 0 || ::lseek(fd_, at, SEEK_SET) < 0) return system_failure("lseek", errno);
    end = static_cast<uint64_t>(size);
  }
  return end > base_ ? static_cast<int64_t>(end - base_) : 0;
}

int64_t InputSource::read_at(uint64_t offset, void* buffer, size_t size) {
  if (input_.seek == nullptr) return fail(MIRT_ERROR_UNSUPPORTED, "the input cannot seek");
  if (offset != position_) {
    position_ = UINT64_MAX;
    if (input_.seek(input_.opaque, offset) < 0)
      return fail(MIRT_ERROR_CALLBACK, "the seek callback failed");
    position_ = offset;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    const int64_t got = input_.read(input_.opaque, out + done, size - done);
    if (got < 0 || static_cast<uint64_t>(got) > size - done) {
      position_ = UINT64_MAX;
      return fail(MIRT_ERROR_CALLBACK, "the read callback failed");
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  position_ += done;
  return static_cast<int64_t>(done);
}

int64_t InputSource::length() {
  if (input_.seek == nullptr || input_.length == nullptr)
    return fail(MIRT_ERROR_UNSUPPORTED, "the input cannot seek");
  // The callback may move the input (to its end and back, or not back).
  position_ = UINT64_MAX;
  const int64_t length = input_.length(input_.opaque);
  return length < 0 ? fail(MIRT_ERROR_CALLBACK, "the length callback failed") : length;
}

int64_t MemorySource::read_at(uint64_t offset, void* buffer, size_t size) {
  if (offset >= size_) return 0;
  const size_t n = size < size_ - offset ? size : static_cast<size_t>(size_ - offset);
  std::memcpy(buffer, data_ + offset, n);
  return static_cast<int64_t>(n);
}

}  // namespace mirt::api
