// The System V ELF hash. It keys every keyword table (configuration
// directives, template macros, URL schemes, reply codes) and is the
// running checksum of old containers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirt {

// Continued from `seed`.
uint32_t elf_hash(uint32_t seed, const uint8_t* data, size_t length);
uint32_t elf_hash(const char* text);  // seed 0, whole string; 0 for null

// The key of a four-letter word at `text` (macro names, reply codes).
inline uint32_t elf_hash4(const char* text) {
  return elf_hash(0, reinterpret_cast<const uint8_t*>(text), 4);
}

// The first entry of `table` whose `name` hashes to `key`, or null. Names
// are compared by hash only, so colliding words find the same entry.
template <typename Entry, size_t N>
const Entry* find_keyword(const Entry (&table)[N], uint32_t key) {
  for (const Entry& entry : table) {
    if (elf_hash(entry.name) == key) return &entry;
  }
  return nullptr;
}

}  // namespace mirt
