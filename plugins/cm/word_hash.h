// The word contexts of both model sets: a hash of the word being written
// (letters in either case, and bytes above 127) and of the word before it.
#pragma once

#include <cstdint>

#include "common/hash.h"

namespace mirt::cm {

inline void next_word(uint32_t c, uint32_t& word0, uint32_t& word1) {
  const uint32_t lower = c >= 'A' && c <= 'Z' ? c + 32 : c;
  if ((lower >= 'a' && lower <= 'z') || c >= 128) {
    word0 = (word0 + lower + 1) * coding::kStringStep;
  } else if (word0 != 0) {
    word1 = word0;
    word0 = 0;
  }
}

}  // namespace mirt::cm
