// Secondary estimation: the chain of indirect estimators over increasing
// orders, and the chain of refiners at the end of the model.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cm/bit_history.h"
#include "cm/tuning.h"
#include "common/adaptive.h"

namespace mirt::cm {

// Each context in turn adjusts the estimate of the contexts before it (of
// lower order, mostly), by two weights chosen by its own bit history: one
// for the estimate so far and one for a constant. A history that has
// always been right in its context learns to push the estimate hard; a
// new or mixed one learns to leave it alone.
template <int kN>
class IsseChain {
 public:
  IsseChain() {
    for (auto& context : w_[0])
      for (auto& w : context) w = 1 << kIsseShift;
    for (auto& context : w_[1])
      for (auto& w : context) w = 0;
  }

  // The estimate after context i, stretched, given the one before it.
  int step(int i, int st, int in) {
    int32_t* w = &w_[0][i][st];
    in_[i] = in;
    at_[i] = w;
    const int out =
        clamp_stretched(static_cast<int>((int64_t{w[0]} * in + int64_t{w[kBias]} * kIsseBias) >> kIsseShift));
    out_[i] = out;
    return out;
  }

  // Context 0 starts the chain and is not stepped.
  void update(int y) {
    for (int i = 1; i < kN; ++i) {
      const int err = ((y << 12) - squash_clamped(out_[i])) * kIsseRate;
      int32_t* w = at_[i];
      w[0] += (in_[i] * err) >> 10;
      w[kBias] += (kIsseBias * err) >> 10;
    }
  }

 private:
  // No bound on the weights is needed: once an estimate saturates, its
  // error, and so its weights' steps, shrink to a few units per bit.

  // The weights of the estimate, then those of the constant, kBias
  // further on. (As pairs side by side the compiler updated them as a
  // vector, in twice the instructions.)
  static constexpr int kBias = kN * 256;
  int32_t w_[2][kN][256];
  int in_[kN] = {};
  int out_[kN] = {};
  int32_t* at_[kN] = {};  // the weights step() used
};

// Refiners in a row, each over the previous estimate in a context of its
// own: the partial byte with the previous byte, then with the two before
// it (hashed). The nearest point answers.
class RefinerChain {
 public:
  using Refiner = coding::Refiner<coding::Approach::kFloored>;

  static constexpr uint64_t bytes() {
    return ((uint64_t{1} << 16) + (uint64_t{1} << kOrder2Bits)) * coding::kRefinerPoints * sizeof(uint16_t);
  }

  bool init() { return o1_.init(size_t{1} << 16) && o2_.init(size_t{1} << kOrder2Bits); }

  // At the start of a byte, after c1 and c2.
  void begin_byte(uint32_t c1, uint32_t c2) {
    row1_ = c1 << 8;
    row2_ = ((c2 << 8 | c1) * 0x9E3779B1u >> (32 - kOrder2Bits + 8)) << 8;
    o1_.prefetch(row1_ | 1);
    o2_.prefetch(row2_ | 1);
  }

  // The refined estimate (12 bits) of d in partial byte c0.
  int p(int d, uint32_t c0, bool more_bits) {
    const int p1 = o1_.nearest(d, row1_ | c0);
    const int p2 = o2_.nearest(stretch(p1), row2_ | c0);
    if (more_bits) {
      o1_.prefetch(row1_ | c0 << 1);
      o2_.prefetch(row2_ | c0 << 1);
    }
    return clamp_p12((squash_clamped(d) * kMixShare + p1 * kOrder1Share + p2 * kOrder2Share + 8) >> 4);
  }

  void update(int y) {
    o1_.update(y, kRefinerChainRate);
    o2_.update(y, kRefinerChainRate);
  }

 private:
  static constexpr int kOrder2Bits = 16;
  Refiner o1_, o2_;
  uint32_t row1_ = 0;
  uint32_t row2_ = 0;
};

}  // namespace mirt::cm
