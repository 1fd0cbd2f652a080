// The marks of the repeat pass, one per escape byte, in both stored
// forms: a flag "repeat" (not the escape byte itself), then the mark as an
// Elias-gamma number.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "common/adaptive.h"

namespace mirt::bwt::model {

struct MarkModel {
  MarkModel() {
    std::fill(std::begin(flag), std::end(flag), kHalf);
    std::fill(std::begin(unary), std::end(unary), kHalf);
    std::fill(std::begin(bits), std::end(bits), kHalf);
  }

  template <class Coder>
  uint32_t code(Coder& coder, uint32_t mark) {
    if (!bit(coder, mark != 0, flag[previous])) {
      previous = 0;
      return 0;
    }
    previous = 1;
    // Decoding passes no mark: the bits come from the coder.
    const int nb = mark != 0 ? 31 - __builtin_clz(mark) : 0;
    int got = 0;
    while (got < 30 && bit(coder, nb > got, unary[got])) ++got;
    uint32_t v = 1;
    for (int i = got - 1; i >= 0; --i)
      v = v << 1 | static_cast<uint32_t>(bit(coder, (mark >> i) & 1, bits[got << 5 | i]));
    return v;
  }

  template <class Coder>
  static int bit(Coder& coder, int b, uint32_t& v) {
    b = coder.code(b, std::clamp<uint32_t>(v >> 16, 32, 65504));
    coding::train<coding::Step::kFull>(v, b, 30);
    return b;
  }

  static constexpr uint32_t kHalf = coding::kCounterHalf;

  uint32_t flag[2];
  uint32_t unary[32];
  uint32_t bits[32 * 32];
  int previous = 0;
};

}  // namespace mirt::bwt::model
