// Mixer kernels: the dot product of stretched probabilities (16-bit
// inputs) with 16-bit weights, and the weights' training. The SSE2
// kernels compute exactly the integers the portable ones do: a block
// written on one machine is read on any other.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirt::cm {

// Which kernels a coder runs: vectors where the build has them, or the
// portable ones (tests compare the two).
#if defined(__SSE2__)
inline constexpr bool kHaveVectors = true;
#else
inline constexpr bool kHaveVectors = false;
#endif

// Products and their sum stay well inside 32 bits for |x| <= 2047 and up
// to 64 lanes of weights within 16 bits.
template <int kLanes>
inline int32_t dot_portable(const int16_t* x, const int16_t* w) {
  int32_t sum = 0;
  for (int i = 0; i < kLanes; ++i) sum += int32_t{x[i]} * w[i];
  return sum;
}

// w += round(x * e / 65536), saturating at the 16-bit limits.
template <int kLanes>
inline void train_portable(const int16_t* x, int16_t* w, int e) {
  for (int i = 0; i < kLanes; ++i) {
    const int32_t v = w[i] + ((int32_t{x[i]} * e + 0x8000) >> 16);
    w[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
  }
}

#if defined(__SSE2__)
inline int32_t sum_lanes(__m128i s) {
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// Inputs and weights aligned to 16 bytes, kLanes a multiple of 8.
template <int kLanes>
inline int32_t dot_vector(const int16_t* x, const int16_t* w) {
  static_assert(kLanes % 8 == 0);
  const auto* xv = reinterpret_cast<const __m128i*>(x);
  const auto* wv = reinterpret_cast<const __m128i*>(w);
  __m128i s = _mm_setzero_si128();
  for (int k = 0; k < kLanes / 8; ++k)
    s = _mm_add_epi32(s, _mm_madd_epi16(_mm_load_si128(xv + k), _mm_load_si128(wv + k)));
  return sum_lanes(s);
}

// The rounded high half of each product: the high word plus the top bit
// of the low word.
template <int kLanes>
inline void train_vector(const int16_t* x, int16_t* w, int e) {
  static_assert(kLanes % 8 == 0);
  const __m128i ev = _mm_set1_epi16(static_cast<int16_t>(e));
  auto* wv = reinterpret_cast<__m128i*>(w);
  for (int k = 0; k < kLanes / 8; ++k) {
    const __m128i xv = _mm_load_si128(reinterpret_cast<const __m128i*>(x) + k);
    const __m128i r = _mm_add_epi16(_mm_mulhi_epi16(xv, ev), _mm_srli_epi16(_mm_mullo_epi16(xv, ev), 15));
    _mm_store_si128(wv + k, _mm_adds_epi16(_mm_load_si128(wv + k), r));
  }
}

// Up to four dot products of the same inputs at once, each shifted down
// and clamped to +-2047 (saturating to 16 bits first clamps alike), in
// the first kSets 16-bit lanes; the other lanes are zero. Sums in 32 bits
// wrap as the portable ones do, in any order.
template <int kLanes, int kSets, int kShift>
inline __m128i dot_sets(const int16_t* x, int16_t* const* w) {
  static_assert(kLanes % 8 == 0 && kSets >= 1 && kSets <= 4);
  __m128i s[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (int j = 0; j < kLanes / 8; ++j) {
    // A whole load over the 16-bit stores that just wrote the inputs waits
    // for them to leave the store buffer, but building the vector lane by
    // lane took 3% of all instructions and was no faster.
    const __m128i xv = _mm_load_si128(reinterpret_cast<const __m128i*>(x) + j);
    for (int k = 0; k < kSets; ++k)
      s[k] = _mm_add_epi32(s[k], _mm_madd_epi16(xv, _mm_load_si128(reinterpret_cast<const __m128i*>(w[k]) + j)));
  }
  // Transposed sums: lane k of u is the sum of s[k].
  const __m128i t0 = _mm_add_epi32(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpackhi_epi32(s[0], s[1]));
  const __m128i t1 = _mm_add_epi32(_mm_unpacklo_epi32(s[2], s[3]), _mm_unpackhi_epi32(s[2], s[3]));
  const __m128i u = _mm_add_epi32(_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1));
  __m128i d = _mm_packs_epi32(_mm_srai_epi32(u, kShift), _mm_setzero_si128());
  d = _mm_min_epi16(_mm_max_epi16(d, _mm_set1_epi16(-2047)), _mm_set1_epi16(2047));
  const __m128i keep = _mm_srli_si128(_mm_set1_epi32(-1), 16 - 2 * kSets);
  return _mm_and_si128(d, keep);
}

inline uint32_t pack2(const int16_t* x) {
  return static_cast<uint16_t>(x[0]) | uint32_t{static_cast<uint16_t>(x[1])} << 16;
}

// Sixteen lanes of which only the first ten may be non-zero, taken as
// just computed, with a copy kept in `keep` for training. The vectors are
// built in registers, lane by lane, rather than loaded over the 16-bit
// stores that just wrote the inputs.
inline int32_t dot_fresh10(const int16_t* x, const int16_t* w, int16_t* keep) {
  __m128i x0 = _mm_cvtsi32_si128(static_cast<int>(pack2(x)));
  x0 = _mm_insert_epi16(x0, x[2], 2);
  x0 = _mm_insert_epi16(x0, x[3], 3);
  x0 = _mm_insert_epi16(x0, x[4], 4);
  x0 = _mm_insert_epi16(x0, x[5], 5);
  x0 = _mm_insert_epi16(x0, x[6], 6);
  x0 = _mm_insert_epi16(x0, x[7], 7);
  const __m128i x1 = _mm_cvtsi32_si128(static_cast<int>(pack2(x + 8)));
  auto* kv = reinterpret_cast<__m128i*>(keep);
  _mm_store_si128(kv, x0);
  _mm_store_si128(kv + 1, x1);
  const auto* wv = reinterpret_cast<const __m128i*>(w);
  return sum_lanes(_mm_add_epi32(_mm_madd_epi16(x0, _mm_load_si128(wv)), _mm_madd_epi16(x1, _mm_load_si128(wv + 1))));
}
#else
template <int kLanes>
inline int32_t dot_vector(const int16_t* x, const int16_t* w) {
  return dot_portable<kLanes>(x, w);
}
template <int kLanes>
inline void train_vector(const int16_t* x, int16_t* w, int e) {
  train_portable<kLanes>(x, w, e);
}
inline int32_t dot_fresh10(const int16_t* x, const int16_t* w, int16_t* keep) {
  std::memcpy(keep, x, 16 * sizeof(int16_t));
  return dot_portable<16>(x, w);
}
#endif

}  // namespace mirt::cm
