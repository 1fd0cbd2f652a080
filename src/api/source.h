// Random access to the bytes of a container: a descriptor read with
// pread, callbacks that seek and read, or memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mirt/mirt.h"

namespace mirt::api {

class Source {
 public:
  virtual ~Source() = default;
  // Reads up to `size` bytes at `offset`: the count (short only at the
  // end), or a negative status after recording the error.
  virtual int64_t read_at(uint64_t offset, void* buffer, size_t size) = 0;
  // The length in bytes, or a negative status.
  virtual int64_t length() = 0;
};

// pread on a descriptor, counted from `base`: thread-safe, and the
// descriptor's position stays.
class FdSource : public Source {
 public:
  explicit FdSource(int fd, uint64_t base = 0) : fd_(fd), base_(base) {}
  int64_t read_at(uint64_t offset, void* buffer, size_t size) override;
  int64_t length() override;

 private:
  int fd_;
  uint64_t base_;
};

// Seek and read callbacks; one thread at a time.
class InputSource : public Source {
 public:
  explicit InputSource(const mirt_input& input) : input_(input) {}
  int64_t read_at(uint64_t offset, void* buffer, size_t size) override;
  int64_t length() override;

 private:
  mirt_input input_;
  uint64_t position_ = UINT64_MAX;  // unknown until the first seek
};

class MemorySource : public Source {
 public:
  MemorySource(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  int64_t read_at(uint64_t offset, void* buffer, size_t size) override;
  int64_t length() override { return static_cast<int64_t>(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace mirt::api
