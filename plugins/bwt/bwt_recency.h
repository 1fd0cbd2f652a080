// What the run models of both stored forms know of the last runs: the
// bytes by the recency of their runs (a move-to-front list; a run's byte
// is coded by its place in it), and the last ranks and lengths.
#pragma once

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
    if (rank < 16) {  // most: a call of memmove would cost more than the move
      for (int k = rank; k > 0; --k) list[k] = list[k - 1];
    } else {
      std::memmove(&list[1], &list[0], static_cast<size_t>(rank));
    }
    list[0] = c;
    rank2 = rank1;
    rank1 = rank;
    run1 = len;
    last_len[c] = len;
  }

  unsigned char list[256];       // bytes by the recency of their runs
  uint32_t last_len[256] = {};   // each byte's last run length
  uint32_t run1 = 0;             // the previous run's length
  int rank1 = 0, rank2 = 0;      // the last two ranks
};

}  // namespace mirt::bwt
