#include "common/keyword.h"

#include <cstring>

namespace mirt {

uint32_t elf_hash(uint32_t seed, const uint8_t* data, size_t length) {
  uint32_t h = seed;
  for (size_t i = 0; i < length; ++i) {
    h = (h << 4) + data[i];
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

uint32_t elf_hash(const char* text) {
  if (text == nullptr) return 0;
  return elf_hash(0, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

}  // namespace mirt
