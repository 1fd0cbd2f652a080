// The block-sorting codec called directly (instrumented, unlike a plugin
// loaded at run time): stored forms from the fuzzer, damaged stored forms
// of fuzz-derived blocks, and exact round trips.
//
// Byte 0: what to do (its value modulo 5), with which stored form (bit 3:
// the first) and stride of the repeat pass (bit 4: 4, else 1); bytes 1-2:
// destination capacity; the rest is the block or the stored form.
//   0: the rest as a stored form
//   1: round trip of the rest, which must be exact
//   2: encode the rest, damage the result where its first bytes say, decode
//   3: the rest as a reduced form of the repeat pass: escape byte, up to 15
//      marks of 2 bytes, then the reduced bytes; restored into `cap` bytes
//   4: repeat pass round trip of the rest, escaping byte 1
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bwt_codec.h"

namespace {

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

// Decodes into a destination with guard bytes behind it, from an exactly
// sized copy, so reads past the stored form are caught too.
uint32_t expand(const std::vector<unsigned char>& stored, uint32_t cap) {
  const std::vector<unsigned char> src(stored);
  std::vector<unsigned char> out(cap + kGuard, kGuardByte);
  const uint32_t n = mirt::bwt::decode(src.data(), static_cast<uint32_t>(src.size()), out.data(), cap);
  if (n > cap) std::abort();
  for (size_t i = cap; i < out.size(); ++i)
    if (out[i] != kGuardByte) std::abort();
  return n;
}

// Room for any block: noise grows by a fraction of a percent.
uint32_t room(uint32_t len) { return len + len / 16 + 64; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t cap = (uint32_t{data[1]} << 8 | data[2]) + 1;
  const std::vector<unsigned char> rest(data + 3, data + size);
  const auto len = static_cast<uint32_t>(rest.size());
  const auto form = data[0] & 8 ? mirt::bwt::Form::kFirst : mirt::bwt::Form::kParts;
  const uint32_t stride = data[0] & 16 ? 4 : 1;
  const mirt::bwt::Tasks tasks;
  switch (data[0] % 5) {
    case 0:
      expand(rest, cap);
      return 0;
    case 1: {
      std::vector<unsigned char> stored(room(len) + kGuard, kGuardByte);
      const uint32_t m = mirt::bwt::encode(rest.data(), len, stored.data(), room(len), tasks, form);
      if (m == mirt::bwt::kDeclined || m > room(len)) std::abort();
      for (size_t i = room(len); i < stored.size(); ++i)
        if (stored[i] != kGuardByte) std::abort();
      stored.resize(m);
      std::vector<unsigned char> back(len);
      if (mirt::bwt::decode(stored.data(), m, back.data(), len) != len || back != rest) std::abort();
      return 0;
    }
    case 3: {
      if (len < 2) return 0;
      const unsigned char escape = rest[0];
      std::vector<uint32_t> marks;
      size_t at = 2;
      for (unsigned k = 0; k < (rest[1] & 15u) && at + 2 <= rest.size(); ++k, at += 2)
        marks.push_back(uint32_t{rest[at]} << 8 | rest[at + 1]);
      const std::vector<unsigned char> reduced(rest.begin() + static_cast<long>(at), rest.end());
      std::vector<unsigned char> out(cap + kGuard, kGuardByte);
      const uint32_t n = mirt::bwt::restore_repeats(reduced.data(), static_cast<uint32_t>(reduced.size()), escape,
                                                    marks.data(), static_cast<uint32_t>(marks.size()), out.data(), cap,
                                                    stride);
      if (n != mirt::bwt::kFailed && n != cap) std::abort();
      for (size_t i = cap; i < out.size(); ++i)
        if (out[i] != kGuardByte) std::abort();
      return 0;
    }
    case 4: {
      std::vector<unsigned char> reduced(len + kGuard, kGuardByte);
      std::vector<uint32_t> marks(len + 1);
      uint32_t count = 0;
      const uint32_t m = mirt::bwt::remove_repeats(rest.data(), len, data[1], reduced.data(), len, marks.data(),
                                                   len + 1, count, stride);
      if (len == 0) return 0;
      if (m == 0 || m > len) std::abort();
      for (size_t i = len; i < reduced.size(); ++i)
        if (reduced[i] != kGuardByte) std::abort();
      std::vector<unsigned char> back(len);
      if (mirt::bwt::restore_repeats(reduced.data(), m, data[1], marks.data(), count, back.data(), len, stride) != len ||
          back != rest)
        std::abort();
      return 0;
    }
    default: {
      std::vector<unsigned char> stored(room(len));
      const uint32_t m = mirt::bwt::encode(rest.data(), len, stored.data(), room(len), tasks, form);
      if (m == mirt::bwt::kDeclined) std::abort();
      stored.resize(m);
      // Up to eight (position, xor) edits, then an optional cut.
      for (uint32_t i = 0; i + 2 < std::min<uint32_t>(len, 17); i += 2)
        stored[(uint32_t{rest[i]} * 257 + rest[i + 1] * 31u) % m] ^= static_cast<unsigned char>(rest[i + 2] | 1);
      if (len > 20 && (rest[20] & 1)) stored.resize(m - (rest[20] >> 1) % m);
      if (!stored.empty()) expand(stored, std::max(cap, len));
      return 0;
    }
  }
}
