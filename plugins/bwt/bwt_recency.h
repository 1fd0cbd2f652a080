// What the run models of both stored forms know of the last runs: the
// bytes by the recency of their runs (a move-to-front list; a run's byte
// is coded by its place in it), and the last ranks and lengths.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace mirt::bwt {

struct Recency {
  Recency() {
    for (uint32_t i = 0; i < 256; ++i) list[i] = static_cast<unsigned char>(i);
  }
  unsigned char front() const { return list[0]; }
  unsigned char at(int rank) const { return list[rank]; }
  int rank_of(unsigned char c) const {
    int r = 0;
    while (list[r] != c) ++r;
    return r;
  }
  // Moves byte `rank` to the front after a run of `len`.
  void move_to_front(int rank, uint32_t len) {
    const unsigned char c = list[rank];
    if constexpr (std::endian::native == std::endian::little) {
      shift_words(rank, c);
    } else {
      std::memmove(&list[1], &list[0], static_cast<size_t>(rank));
      list[0] = c;
    }
    rank2 = rank1;
    rank1 = rank;
    run1 = len;
    last_len[c] = len;
  }

  unsigned char list[256];       // bytes by the recency of their runs
  uint32_t last_len[256] = {};   // each byte's last run length
  uint32_t run1 = 0;             // the previous run's length
  int rank1 = 0, rank2 = 0;      // the last two ranks

 private:
  // The move as shifts of 8-byte words, the highest first: no call and,
  // for the most common ranks (below 8), no loop whose end mispredicts.
  void shift_words(int rank, unsigned char c) {
    const int top = rank >> 3, b = rank & 7;
    const uint64_t moved = b == 7 ? ~uint64_t{0} : (uint64_t{1} << (8 * (b + 1))) - 1;  // bytes 0..b of the top word
    for (int k = top; k >= 0; --k) {
      unsigned char* const at = list + 8 * k;
      uint64_t word, below = c;
      std::memcpy(&word, at, 8);
      if (k > 0) {
        std::memcpy(&below, at - 8, 8);
        below >>= 56;
      }
      uint64_t shifted = word << 8 | below;
      if (k == top) shifted = (shifted & moved) | (word & ~moved);
      std::memcpy(at, &shifted, 8);
    }
  }
};

}  // namespace mirt::bwt
