// The context-mixing codec called directly (instrumented, unlike a plugin
// loaded at run time): stored forms from the fuzzer, damaged stored forms
// of fuzz-derived blocks, and exact round trips under every parameter
// choice. Blocks stay small so that one run takes milliseconds.
//
// Byte 0: what to do (low two bits) and the options for round trips (next
// four bits: x86, text, second model set, text transform); bytes 1-2: destination capacity; the rest is the block or the
// stored form.
//   0: the rest as a stored form
//   1: round trip of the rest, which must be exact
//   2, 3: encode the rest, damage the result where its first bytes say,
//         decode
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cm_codec.h"

namespace {

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;
constexpr size_t kMaxBlock = 8192;

// Decodes into a destination with guard bytes behind it, from an exactly
// sized copy, so reads past the stored form are caught too.
uint32_t expand(const std::vector<unsigned char>& stored, uint32_t cap) {
  const std::vector<unsigned char> src(stored);
  std::vector<unsigned char> out(cap + kGuard, kGuardByte);
  const uint32_t n = mirt::cm::decode(src.data(), static_cast<uint32_t>(src.size()), out.data(), cap);
  if (n > cap) std::abort();
  for (size_t i = cap; i < out.size(); ++i)
    if (out[i] != kGuardByte) std::abort();
  return n;
}

// Room for any block: noise grows by a fraction of a percent.
uint32_t room(uint32_t len) { return len + len / 16 + 64; }

// Encodes into a buffer with guard bytes behind the limit.
std::vector<unsigned char> pack(const std::vector<unsigned char>& block, uint8_t params) {
  const auto len = static_cast<uint32_t>(block.size());
  std::vector<unsigned char> stored(room(len) + kGuard, kGuardByte);
  const uint32_t m = mirt::cm::encode_with(block.data(), len, stored.data(), room(len), params);
  if (m == mirt::cm::kDeclined || m > room(len)) std::abort();
  for (size_t i = room(len); i < stored.size(); ++i)
    if (stored[i] != kGuardByte) std::abort();
  stored.resize(m);
  return stored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > kMaxBlock + 3) return 0;
  const uint32_t cap = ((uint32_t{data[1]} << 8 | data[2]) & (kMaxBlock * 2 - 1)) + 1;
  const std::vector<unsigned char> rest(data + 3, data + size);
  const auto len = static_cast<uint32_t>(rest.size());
  const bool model2 = data[0] >> 4 & 1;
  const auto options = static_cast<uint8_t>((data[0] >> 2 & 1 ? mirt::cm::kX86 : 0) |
                                            (data[0] >> 3 & 1 ? mirt::cm::kText : 0) |
                                            (model2 ? mirt::cm::kModel2 : 0) |
                                            (model2 && (data[0] >> 5 & 1) ? mirt::cm::kWords : 0));
  const auto params = static_cast<uint8_t>(mirt::cm::table_param_for(len, options) | options);
  switch (data[0] & 3) {
    case 0:
      expand(rest, cap);
      return 0;
    case 1: {
      const auto stored = pack(rest, params);
      std::vector<unsigned char> back(len);
      if (mirt::cm::decode(stored.data(), static_cast<uint32_t>(stored.size()), back.data(), len) != len ||
          back != rest)
        std::abort();
      return 0;
    }
    default: {
      auto stored = pack(rest, params);
      const auto m = static_cast<uint32_t>(stored.size());
      // Up to eight (position, xor) edits, then an optional cut.
      for (uint32_t i = 0; i + 2 < std::min<uint32_t>(len, 17); i += 2)
        stored[(uint32_t{rest[i]} * 257 + rest[i + 1] * 31u) % m] ^= static_cast<unsigned char>(rest[i + 2] | 1);
      if (len > 20 && (rest[20] & 1)) stored.resize(m - (rest[20] >> 1) % m);
      if (!stored.empty()) expand(stored, std::max(cap, len));
      return 0;
    }
  }
}
