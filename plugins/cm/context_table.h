// The hash table of bit histories. One cache line per byte context: a
// check byte and the histories of the first nibble's 15 nodes, then three
// second-nibble trees, each behind a tag naming its first nibble. A byte
// costs one random memory access per context; most contexts are followed
// by few distinct first nibbles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cm/bit_history.h"
#include "common/pages.h"

namespace mirt::cm {

inline constexpr size_t kLine = 64;
inline constexpr size_t kTree = 16;
inline constexpr int kSecondTrees = 3;

class ContextTable {
 public:
  static constexpr uint64_t bytes(int bits) { return uint64_t{kLine} << bits; }

  bool map(int bits) {
    if (!mem_.map(bytes(bits))) return false;
    table_ = mem_.data();
    mask_ = (uint32_t{1} << bits) - 1;
    return true;
  }

  // Both lines find() may look at.
  void prefetch(uint32_t h) const {
    __builtin_prefetch(line(h));
    __builtin_prefetch(line(h ^ 1));
  }
  // The first one only, for guesses: a guess is often wrong, and more
  // requests in flight delay the ones that matter.
  void prefetch_first(uint32_t h) const { __builtin_prefetch(line(h)); }

  // Two candidate lines; the one whose first node has seen fewer bits
  // gives way.
  unsigned char* find(uint32_t h) {
    const auto check = static_cast<unsigned char>(h >> 24);
    unsigned char* a = line(h);
    if (a[0] == check) return a;
    unsigned char* b = line(h ^ 1);
    if (b[0] == check) return b;
    unsigned char* weak = state_total(a[1]) <= state_total(b[1]) ? a : b;
    std::memset(weak, 0, kLine);
    weak[0] = check;
    return weak;
  }

  // The second-nibble tree for first nibble `tag` (1..16) in a line.
  static unsigned char* second_tree(unsigned char* line, unsigned char tag) {
    unsigned char* weak = nullptr;
    int weak_n = 1 << 30;
    for (int k = 0; k < kSecondTrees; ++k) {
      unsigned char* t = line + kTree * (k + 1);
      if (t[0] == tag) return t;
      const int n = state_total(t[1]);
      if (n < weak_n) {
        weak_n = n;
        weak = t;
      }
    }
    std::memset(weak, 0, kTree);
    weak[0] = tag;
    return weak;
  }

 private:
  unsigned char* line(uint32_t h) const { return table_ + size_t{h & mask_} * kLine; }

  coding::Pages mem_;  // read at random: huge pages
  unsigned char* table_ = nullptr;
  uint32_t mask_ = 0;
};

}  // namespace mirt::cm
