// Bit histories: one byte per context and bit, a bounded pair of counts
// (zeros, ones), and the maps that turn a history into a probability.
#pragma once

#include <cstdint>

#include "cm/tuning.h"
#include "common/logistic.h"

namespace mirt::cm {

inline int stretch(int p) { return logistic::kStretch[p]; }
// squash() for a stretched value already within +-2047.
inline int squash_clamped(int d) { return logistic::kSquash[d + 2047]; }
inline int clamp_stretched(int d) { return d < -2047 ? -2047 : d > 2047 ? 2047 : d; }
inline int clamp_p12(int p) { return p < 1 ? 1 : p > 4095 ? 4095 : p; }

// On each bit the opposite count above 2 is halved towards 2, so recent
// bits weigh more; the caps (tuning.h) keep the state count under 256.
constexpr int count_cap(int other) { return kCountCap[other < 7 ? other : 7]; }

struct StateTable {
  uint8_t next[256][2];
  uint8_t n0[256];
  uint8_t n1[256];
  int size;
};

constexpr void step_counts(int& a, int& b, int y) {
  int& mine = y ? b : a;
  int& other = y ? a : b;
  if (other > 2) other = other / 2 + 1;
  mine = mine + 1 < count_cap(other) ? mine + 1 : count_cap(other);
  if (other > count_cap(mine)) other = count_cap(mine);
}

// States numbered in the order they are first reached from (0, 0).
constexpr StateTable make_states() {
  StateTable t{};
  int a[256] = {};
  int b[256] = {};
  t.size = 1;  // state 0: (0, 0), never seen
  for (int s = 0; s < t.size; ++s) {
    for (int y = 0; y < 2; ++y) {
      int na = a[s];
      int nb = b[s];
      step_counts(na, nb, y);
      int found = -1;
      for (int k = 0; k < t.size; ++k)
        if (a[k] == na && b[k] == nb) found = k;
      if (found < 0) {
        found = t.size++;
        a[found] = na;
        b[found] = nb;
      }
      t.next[s][y] = static_cast<uint8_t>(found);
    }
  }
  for (int s = 0; s < t.size; ++s) {
    t.n0[s] = static_cast<uint8_t>(a[s]);
    t.n1[s] = static_cast<uint8_t>(b[s]);
  }
  return t;
}

inline constexpr StateTable kStates = make_states();
static_assert(kStates.size <= 256, "bit history states must fit a byte");

inline int state_total(int st) { return kStates.n0[st] + kStates.n1[st]; }

// The estimate of a history before any bit was counted: (n1 + 1/2) /
// (n0 + n1 + 1), 12 bits.
constexpr int state_prior(int st) {
  return ((kStates.n1[st] * 2 + 1) << 12) / (2 * (kStates.n0[st] + kStates.n1[st]) + 2);
}

// Per context: bit history -> probability, stretched for the mixer. The
// bits seen in each history are counted (halved now and then) and turned
// into probabilities every few thousand bytes: counting instead of
// training each bit's probability saves most of the per-bit work of a
// context and cost nothing measurable, as these maps see thousands of bits
// per state and change slowly.
template <int kN>
class HistoryMaps {
 public:
  HistoryMaps() {
    for (int i = 0; i < kN; ++i)
      for (int st = 0; st < 256; ++st) stretched[i][st] = static_cast<int16_t>(stretch(state_prior(st)));
  }

  // Called at every byte; refreshes when it is time.
  void at_byte(uint32_t pos) {
    if (pos != next_refresh_) return;
    for (int i = 0; i < kN; ++i)
      for (int st = 0; st < 256; ++st) refresh(i, st);
    next_refresh_ += next_refresh_ < kRefresh ? next_refresh_ : kRefresh;
  }

  int16_t stretched[kN][256];
  uint16_t seen[kN][256][2] = {};

 private:
  void refresh(int i, int st) {
    uint16_t* n = seen[i][st];
    const int p = ((int{n[1]} << 12) + kPriorWeight * state_prior(st)) / (n[0] + n[1] + kPriorWeight);
    stretched[i][st] = static_cast<int16_t>(stretch(clamp_p12(p)));
    if (n[0] + n[1] > kCountLimit) {
      n[0] = static_cast<uint16_t>(n[0] >> 1);
      n[1] = static_cast<uint16_t>(n[1] >> 1);
    }
  }
  uint32_t next_refresh_ = kFirstRefresh;
};

}  // namespace mirt::cm
