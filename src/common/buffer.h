// Byte buffers from malloc, left uninitialised. Running out of memory
// throws std::bad_alloc like any allocation in the codec; the codec's entry
// turns it into one reported failure ("mirt: malloc: ...").
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace mirt {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;

inline Buffer allocate_buffer(uint64_t size) {
  void* p = size > SIZE_MAX ? nullptr : std::malloc(size == 0 ? 1 : static_cast<size_t>(size));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(static_cast<uint8_t*>(p));
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
