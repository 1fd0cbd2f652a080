// Two mixer layers: several weight sets, each selected by a context of its
// own, mix the same inputs; a final small mixer mixes their outputs.
// Different selectors make different specialists (the partial byte knows
// which bit of a byte it is, the match length how far to trust a repeat,
// the previous byte what kind of byte follows), and the final layer learns
// whom to trust when.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "cm/bit_history.h"
#include "cm/mixer.h"
#include "cm/tuning.h"

namespace mirt::cm {

// kLanes inputs (a multiple of 8), kLayers first-layer sets.
template <int kLanes, int kLayers, bool kVectors>
class Mixer2 {
  static_assert(kLayers < 8);
  struct alignas(16) Row {
    int16_t w[kLanes];
  };
  struct alignas(16) FinalRow {
    int16_t w[8];
  };

 public:
  // sets[k]: how many sets the selector of layer k picks from.
  bool init(const uint32_t* sets, uint32_t final_sets) {
    for (int k = 0; k < kLayers; ++k) {
      rows_[k].reset(new (std::nothrow) Row[sets[k]]);
      if (!rows_[k]) return false;
      for (uint32_t s = 0; s < sets[k]; ++s)
        for (int i = 0; i < kLanes; ++i) rows_[k][s].w[i] = static_cast<int16_t>(kMixStart);
    }
    final_.reset(new (std::nothrow) FinalRow[final_sets]);
    if (!final_) return false;
    for (uint32_t s = 0; s < final_sets; ++s)
      for (int i = 0; i < 8; ++i) final_[s].w[i] = static_cast<int16_t>(i < kLayers ? (1 << kMixShift) / kLayers : 0);
    return true;
  }

  static uint64_t bytes(const uint32_t* sets, uint32_t final_sets) {
    uint64_t total = uint64_t{final_sets} * sizeof(FinalRow);
    for (int k = 0; k < kLayers; ++k) total += uint64_t{sets[k]} * sizeof(Row);
    return total;
  }

  // The inputs, filled by the caller before mix().
  int16_t* inputs() { return x_; }

  // The mixed estimate, stretched.
  int mix(const uint32_t* select, uint32_t final_select) {
    for (int k = 0; k < kLayers; ++k) w_[k] = rows_[k][select[k]].w;
    wf_ = final_[final_select].w;
    int d;
#if defined(__SSE2__)
    if constexpr (kVectors && kLayers <= 4) {
      // All layers in one pass over the inputs, and the final layer's
      // inputs kept in a register (loaded back over the stores that wrote
      // them, they would wait for those to leave the store buffer).
      const __m128i first = dot_sets<kLanes, kLayers, kMixShift>(x_, w_);
      const __m128i xf = _mm_insert_epi16(first, 256, kLayers);
      _mm_store_si128(reinterpret_cast<__m128i*>(xf_), xf);
      for (int k = 0; k < kLayers; ++k) p_[k] = squash_clamped(xf_[k]);
      d = clamp_stretched(sum_lanes(_mm_madd_epi16(xf, _mm_load_si128(reinterpret_cast<const __m128i*>(wf_)))) >>
                          kMixShift);
    } else
#endif
    {
      for (int k = 0; k < kLayers; ++k) {
        const int dk = clamp_stretched(dot(x_, w_[k], kLanes) >> kMixShift);
        xf_[k] = static_cast<int16_t>(dk);
        p_[k] = squash_clamped(dk);
      }
      xf_[kLayers] = 256;
      d = clamp_stretched(dot(xf_, wf_, 8) >> kMixShift);
    }
    pf_ = squash_clamped(d);
    return d;
  }

  void update(int y) {
    int e[kLayers + 1];
    uint32_t moves = 0;
    for (int k = 0; k < kLayers; ++k) {
      e[k] = ((y << 12) - p_[k]) * kMixRate2 / 4;
      moves |= static_cast<uint32_t>(e[k] + kStill) > 2 * kStill;
    }
    e[kLayers] = ((y << 12) - pf_) * kFinalRate / 4;
    moves |= static_cast<uint32_t>(e[kLayers] + kStill) > 2 * kStill;
    // About half the bits find every set saturated and right: nothing
    // would change.
    if (moves == 0) return;
    for (int k = 0; k < kLayers; ++k) train(x_, w_[k], e[k], kLanes);
    train(xf_, wf_, e[kLayers], 8);
  }

 private:
  static int32_t dot(const int16_t* x, const int16_t* w, int lanes) {
    if (lanes == 8) return kVectors ? dot_vector<8>(x, w) : dot_portable<8>(x, w);
    return kVectors ? dot_vector<kLanes>(x, w) : dot_portable<kLanes>(x, w);
  }
  static void train(const int16_t* x, int16_t* w, int e, int lanes) {
    if (lanes == 8) {
      if (kVectors) train_vector<8>(x, w, e); else train_portable<8>(x, w, e);
    } else {
      if (kVectors) train_vector<kLanes>(x, w, e); else train_portable<kLanes>(x, w, e);
    }
  }

  // Inputs stay within +-2047, so an error within +-kStill rounds every
  // step to zero (|x * e| < 2^15).
  static constexpr int kStill = 16;

  alignas(16) int16_t x_[kLanes] = {};
  alignas(16) int16_t xf_[8] = {};
  std::unique_ptr<Row[]> rows_[kLayers];
  std::unique_ptr<FinalRow[]> final_;
  int16_t* w_[kLayers] = {};
  int16_t* wf_ = nullptr;
  int p_[kLayers] = {};
  int pf_ = 0;
};

}  // namespace mirt::cm
