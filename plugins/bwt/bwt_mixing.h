// One modelled decision of the block-sorting codec's second form: a few
// adaptive probabilities, stretched, mixed by weights that learn online,
// squashed and coded; then everything learns from the bit. Probabilities
// are 16-bit (P(1) * 65536) and learn by a shift.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/adaptive.h"
#include "common/logistic.h"

namespace mirt::bwt::model {

inline constexpr uint16_t kHalf16 = 32768;

inline int stretch12(uint32_t p12) { return logistic::kStretch[p12]; }
inline int stretch16(uint16_t p) { return logistic::kStretch[p >> 4]; }

// Moves p by 1/2^rate of the way to the bit (to 65535 for a 1).
inline void learn(uint16_t& p, int bit, int rate) {
  const int v = p;
  p = static_cast<uint16_t>(v + ((((bit << 16) - bit) - v) >> rate));
}

// Buckets of a count: 0, 1, 2-3, 4-7, ... (its bit length, capped).
inline int bits_of(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }
inline uint32_t bucket(uint32_t v, int cap) { return static_cast<uint32_t>(std::min(bits_of(v), cap)); }

// The share `part / total` of two counts, stretched.
inline int share(uint32_t part, uint32_t total, uint32_t prior) {
  const uint32_t p = (part * 4096 + 2048) / (total + prior);
  return stretch12(std::clamp<uint32_t>(p, 1, 4095));
}

// A bit history: the last outcomes of a context after a leading 1, up to
// seven (1 is the empty history). Not a character type, so storing one
// does not make the compiler reload everything else.
enum class History : uint8_t { kEmpty = 1 };
inline void push(History& history, int bit) {
  const uint32_t v = static_cast<uint32_t>(history) << 1 | static_cast<uint32_t>(bit);
  history = static_cast<History>(v >= 256 ? (v & 127) | 128 : v);
}

// Weight sets of one mixer of N inputs; 1.0 is 65536, and each set starts
// as the plain average.
template <int N>
class Weights {
 public:
  explicit Weights(size_t sets) : w_(sets * N, 65536 / N) {}
  int32_t* at(size_t set) { return &w_[set * N]; }

 private:
  std::vector<int32_t> w_;
};

// Predictions this close to the outcome leave the weights alone.
inline constexpr int kSure = 128;

// Calls f(i) for i = 0 .. N-1, unrolled: a loop of a handful of steps
// costs a mispredicted exit and its counter.
template <int N, class F>
inline void each(F&& f) {
  [&]<int... I>(std::integer_sequence<int, I...>) { (f(I), ...); }(std::make_integer_sequence<int, N>{});
}

// The mix of N stretched inputs as a stretched value. Weights wrap rather
// than saturate: only data made to drive them that far gets there, and
// both sides compute the same wrapped numbers.
template <int N>
inline int mix(const int (&in)[N], const int32_t* w) {
  uint32_t dot = 0;
  each<N>([&](int i) { dot += static_cast<uint32_t>(in[i]) * static_cast<uint32_t>(w[i]); });
  return std::clamp(static_cast<int32_t>(dot) >> 16, -2047, 2047);
}

// Trains the weights towards the bit, given the mix's 12-bit estimate.
template <int N>
inline void train(const int (&in)[N], int32_t* w, int bit, int p12, int rate) {
  const int miss = (bit << 12) - p12;
  if (miss <= kSure && miss >= -kSure) return;  // the weights would not move
  const int err = miss * rate;
  each<N>([&](int i) {
    w[i] = static_cast<int32_t>(static_cast<uint32_t>(w[i]) + static_cast<uint32_t>((in[i] * err + 0x8000) >> 16));
  });
}

// Mixes, codes the bit with the mix, trains the weights; returns the bit.
template <int N, class Coder>
inline int mix_code(Coder& coder, int bit, const int (&in)[N], int32_t* w, int rate) {
  const int st = mix(in, w);
  const int p12 = logistic::kSquash[st + 2047];  // 1..4095
  bit = coder.code(bit, static_cast<uint32_t>(p12) * 16);
  train(in, w, bit, p12, rate);
  return bit;
}

// The same, the mix refined in context `cx` (a quarter the mix, three
// quarters the refinement).
using Refiner = coding::Refiner<coding::Approach::kTruncated>;
template <int N, class Coder>
inline int mix_refine_code(Coder& coder, int bit, const int (&in)[N], int32_t* w, int rate, Refiner& refiner,
                           size_t cx) {
  const int st = mix(in, w);
  const int p12 = logistic::kSquash[st + 2047];
  const uint32_t p = (static_cast<uint32_t>(p12) * 16 + refiner.interpolated(st, cx) * 3) >> 2;
  bit = coder.code(bit, std::clamp<uint32_t>(p, 32, 65504));
  train(in, w, bit, p12, rate);
  refiner.update(bit, 6);
  return bit;
}

}  // namespace mirt::bwt::model
