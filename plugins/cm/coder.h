// The coder both model sets drive, and the loops that run a model over a
// block in either direction. A model offers bit(code), where code(p)
// codes or decodes one bit at the 12-bit probability p of a one and
// returns it.
#pragma once

#include <cstdint>

#include "cm/cm_codec.h"
#include "common/binary_coder.h"

namespace mirt::cm {

using Encoder = coding::BinaryEncoder<12, coding::Flush::kAboveLow>;
using Decoder = coding::BinaryDecoder<12>;

// Finished bytes are reported every kProgressStep bytes (Progress is in
// cm_codec.h).
inline constexpr uint32_t kProgressStep = uint32_t{1} << 16;

// The loops run the coder on a copy of their own: the model's stores of
// bytes may alias anything the caller can reach, and would make the coder
// store and reload its state at every bit.

// False when the output outgrows its limit.
template <class Model>
bool encode_bytes(Model& model, const unsigned char* data, uint32_t len, Encoder& out, const Progress& progress) {
  Encoder enc = out;
  bool fits = true;
  for (uint32_t i = 0; i < len; ++i) {
    const int c = data[i];
    for (int b = 7; b >= 0; --b) {
      model.bit([&](int p) {
        const int y = (c >> b) & 1;
        enc.code(y, static_cast<uint32_t>(p));
        return y;
      });
    }
    if (enc.overflow()) {
      fits = false;
      break;
    }
    if (progress.report != nullptr && (i + 1) % kProgressStep == 0) progress.report(progress.host, i + 1);
  }
  out = enc;
  return fits;
}

// False when the decoder reads well past its input: not what we wrote.
template <class Model>
bool decode_bytes(Model& model, Decoder& in, unsigned char* dst, uint32_t len, const Progress& progress) {
  Decoder dec = in;
  bool whole = true;
  for (uint32_t i = 0; i < len; ++i) {
    int c = 0;
    for (int b = 0; b < 8; ++b) {
      model.bit([&](int p) {
        const int y = dec.code(0, static_cast<uint32_t>(p));
        c = c << 1 | y;
        // The model reads the finished byte from the buffer at its end.
        if (b == 7) dst[i] = static_cast<unsigned char>(c);
        return y;
      });
    }
    if (dec.past_end() > 4) {
      whole = false;
      break;
    }
    if (progress.report != nullptr && (i + 1) % kProgressStep == 0) progress.report(progress.host, i + 1);
  }
  in = dec;
  return whole;
}

}  // namespace mirt::cm
