// Byte buffers from malloc: running out of memory is a reported failure
// ("mirt: malloc: ..."), never an exception.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace mirt {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// Null when the memory is not there (or the size does not fit size_t).
inline Buffer allocate_buffer(uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return Buffer(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : static_cast<size_t>(size))));
}

// Gives back the unused end of a buffer; keeps it whole when that fails.
inline void shrink_buffer(Buffer& buffer, uint64_t size) {
  void* smaller = std::realloc(buffer.get(), size == 0 ? 1 : static_cast<size_t>(size));
  if (smaller != nullptr) {
    (void)buffer.release();
    buffer.reset(static_cast<uint8_t*>(smaller));
  }
}

}  // namespace mirt
