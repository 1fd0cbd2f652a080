// The logistic domain of the context-mixing coders. Probabilities are
// 12-bit (1..4095); the stretched domain is ln(p / (1 - p)) in units of
// 1/256, clamped to +-2047. Integer tables built at compile time, so an
// encoder and its decoder agree on every platform.
#pragma once

#include <array>
#include <cstdint>

namespace mirt::logistic {

// 4096 / (1 + e^(-x/256)) at x = -2048, -1920, ..., 2048.
inline constexpr int kSquashPoints[33] = {1,    2,    4,    6,    10,   17,   27,   45,   74,
                                          120,  194,  311,  488,  747,  1102, 1546, 2048, 2550,
                                          2994, 3349, 3608, 3785, 3902, 3976, 4022, 4051, 4069,
                                          4079, 4086, 4090, 4092, 4094, 4095};

// Interpolated between the points.
constexpr int squash(int d) {
  if (d > 2047) return 4095;
  if (d < -2047) return 1;
  const int i = (d + 2048) >> 7;
  const int w = (d + 2048) & 127;
  return (kSquashPoints[i] * (128 - w) + kSquashPoints[i + 1] * w + 64) >> 7;
}

// The inverse of squash, by walking it once.
constexpr std::array<int16_t, 4096> make_stretch() {
  std::array<int16_t, 4096> t{};
  int next = 0;
  for (int d = -2047; d <= 2047; ++d) {
    const int p = squash(d);
    for (int j = next; j <= p; ++j) t[j] = static_cast<int16_t>(d);
    next = p + 1;
  }
  for (int j = next; j < 4096; ++j) t[j] = 2047;
  return t;
}
inline constexpr std::array<int16_t, 4096> kStretch = make_stretch();

// squash() of d in -2047..2047, at kSquash[d + 2047].
constexpr std::array<int16_t, 4095> make_squash() {
  std::array<int16_t, 4095> t{};
  for (int d = -2047; d <= 2047; ++d) t[d + 2047] = static_cast<int16_t>(squash(d));
  return t;
}
inline constexpr std::array<int16_t, 4095> kSquash = make_squash();

}  // namespace mirt::logistic
