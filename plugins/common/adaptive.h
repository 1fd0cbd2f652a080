// Adaptive probabilities of our modelling codecs: counters that learn a
// probability per context, and refiners that correct an estimate per
// context. Integer arithmetic with fixed rounding: the rounding is part of
// each stored form, so both variants in use are kept, named by it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "common/logistic.h"

namespace mirt::coding {

// ---- Counters ------------------------------------------------------------
// One word: the probability of a 1 in the top 22 bits, a count of updates
// in the low 10. An update moves the probability by 1/(n + 1.5) of the
// error, n being the count capped at a limit: a new context learns at
// once, a settled one slowly.

inline constexpr uint32_t kCounterHalf = 1u << 31;  // p = 1/2, count 0
inline constexpr uint32_t kCounterCountMask = 1023;
inline constexpr int32_t kCounterOne = (1 << 22) - 1;

// How the step is computed.
enum class Step {
  kFull,   // the whole 22-bit error times 2^17 / (2n + 3), in 64 bits
  kShort,  // the error cut to 16 bits times 2^16 / (2n + 3), in 32 bits
};

template <Step kStep>
constexpr std::array<uint32_t, 1024> make_counter_rates() {
  std::array<uint32_t, 1024> t{};
  for (uint32_t n = 0; n < 1024; ++n) t[n] = (kStep == Step::kFull ? 131072u : 65536u) / (2 * n + 3);
  return t;
}
template <Step kStep>
inline constexpr std::array<uint32_t, 1024> kCounterRates = make_counter_rates<kStep>();

template <Step kStep>
inline void train(uint32_t& v, int bit, uint32_t limit) {
  const uint32_t n = v & kCounterCountMask;
  const int32_t p = static_cast<int32_t>(v >> 10);
  const int32_t error = (bit ? kCounterOne : 0) - p;
  const auto rate = static_cast<int32_t>(kCounterRates<kStep>[n]);
  int32_t step;
  if constexpr (kStep == Step::kFull)
    step = static_cast<int32_t>((int64_t{error} * rate) >> 16);
  else
    step = ((error >> 6) * rate) >> 9;
  v = static_cast<uint32_t>(p + step) << 10 | (n < limit ? n + 1 : n);
}

// The probability of a counter in 12 bits.
inline uint32_t counter_p12(uint32_t v) { return v >> 20; }

// Context -> counter, in a table of its own.
template <Step kStep>
class AdaptiveMap {
 public:
  void init(uint32_t contexts, uint32_t limit) {
    t_.reset(new uint32_t[contexts]);
    limit_ = limit;
    for (uint32_t i = 0; i < contexts; ++i) t_[i] = kCounterHalf;
  }
  // The 12-bit probability in context `cx`, which update() then trains.
  int p(uint32_t cx) {
    at_ = cx;
    return static_cast<int>(counter_p12(t_[cx]));
  }
  void update(int bit) { train<kStep>(t_[at_], bit, limit_); }

 private:
  std::unique_ptr<uint32_t[]> t_;
  uint32_t at_ = 0;
  uint32_t limit_ = kCounterCountMask;
};

// ---- Refiners --------------------------------------------------------------
// A refiner maps an estimate, stretched (-2047..2047), to a corrected
// 16-bit probability per context: 33 points on the stretched axis, 128
// apart, each trained towards the bits seen where the estimate fell
// nearest to it. Points are kept as differences from the identity curve
// (modulo 2^16), so zeroed storage starts as the identity and costs
// nothing until touched.

inline constexpr int kRefinerPoints = 33;

constexpr std::array<uint16_t, kRefinerPoints> make_refiner_start() {
  std::array<uint16_t, kRefinerPoints> t{};
  for (int j = 0; j < kRefinerPoints; ++j) t[j] = static_cast<uint16_t>(logistic::squash((j - 16) * 128) * 16);
  return t;
}
inline constexpr std::array<uint16_t, kRefinerPoints> kRefinerStart = make_refiner_start();

// How a point moves by 1/2^rate of the way to the bit.
enum class Approach {
  kTruncated,  // towards 65536 or 0, the step rounded towards zero
  kFloored,    // towards 65535 or 0, the step rounded down
};

template <Approach kApproach>
class Refiner {
 public:
  // Storage of its own for `contexts` rows, or rows inside a zeroed block
  // owned by the caller. False when memory is short.
  bool init(size_t contexts) {
    own_.reset(new (std::nothrow) uint16_t[contexts * kRefinerPoints]());
    t_ = own_.get();
    return t_ != nullptr;
  }
  void attach(uint16_t* zeroed) { t_ = zeroed; }

  // Interpolated between the two points around `st`, 16 bits.
  uint32_t interpolated(int st, size_t cx) {
    const int pos = (st + 2048) * 32;
    const int point = pos >> 12, weight = pos & 4095;
    uint16_t* row = &t_[cx * kRefinerPoints];
    at_ = weight < 2048 ? point : point + 1;
    row_ = row;
    const uint32_t a = value(point), b = value(point + 1);
    at_value_ = weight < 2048 ? a : b;
    return (a * static_cast<uint32_t>(4096 - weight) + b * static_cast<uint32_t>(weight)) >> 12;
  }
  // The nearest point alone, 12 bits (1..4095).
  int nearest(int st, size_t cx) {
    row_ = &t_[cx * kRefinerPoints];
    at_ = (st + 2048 + 64) >> 7;
    at_value_ = value(at_);
    const int out = static_cast<int>(at_value_ >> 4);
    return out < 1 ? 1 : out > 4095 ? 4095 : out;
  }
  // The row a later call will read, while this bit is still being coded.
  void prefetch(size_t cx) const {
    const uint16_t* row = &t_[cx * kRefinerPoints];
    __builtin_prefetch(row);
    __builtin_prefetch(row + 32);
    __builtin_prefetch(row + 64);
  }
  // Trains the point nearest to the last estimate.
  void update(int bit, int rate) {
    int v = static_cast<int>(at_value_);
    if constexpr (kApproach == Approach::kTruncated)
      v = bit ? v + ((65536 - v) >> rate) : v - (v >> rate);
    else
      v += ((bit ? 65535 : 0) - v) >> rate;
    row_[at_] = static_cast<uint16_t>(static_cast<uint32_t>(v) - kRefinerStart[static_cast<size_t>(at_)]);
  }

 private:
  uint32_t value(int k) const {
    return static_cast<uint16_t>(row_[k] + kRefinerStart[static_cast<size_t>(k)]);
  }
  std::unique_ptr<uint16_t[]> own_;
  uint16_t* t_ = nullptr;
  uint16_t* row_ = nullptr;
  int at_ = 0;
  uint32_t at_value_ = 0;  // the point at_, as read: update() needs no second look
};

}  // namespace mirt::coding
