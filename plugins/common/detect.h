// What kind of data a block holds, for codecs that model or filter it
// differently. Each caller states its own thresholds.
#pragma once

#include <cstdint>

namespace mirt::coding {

// The kinds of bytes in a block: printable ASCII, tab and line ends,
// other ASCII controls, and bytes above 0x7F. Zero bytes count as none:
// they are the fill of a last block or of archive headers.
struct ByteKinds {
  uint64_t printable = 0, spaces = 0, controls = 0, high = 0;
};

inline ByteKinds count_kinds(const unsigned char* src, uint32_t len) {
  ByteKinds k;
  for (uint32_t i = 0; i < len; ++i) {
    const unsigned char c = src[i];
    if (c == 0) continue;
    if (c >= 0x20 && c < 0x7F)
      ++k.printable;
    else if (c == '\n' || c == '\t' || c == '\r')
      ++k.spaces;
    else if (c < 0x80)
      ++k.controls;
    else
      ++k.high;
  }
  return k;
}

// Mostly printable text: at least `ratio` printable bytes (with tab and
// line ends) for every other byte.
inline bool looks_like_text(const ByteKinds& k, uint32_t ratio) {
  const uint64_t printable = k.printable + k.spaces;
  return printable > 0 && printable >= uint64_t{ratio} * (k.controls + k.high);
}

inline bool looks_like_text(const unsigned char* src, uint32_t len, uint32_t ratio) {
  return looks_like_text(count_kinds(src, len), ratio);
}

// How many near calls and jumps (E8/E9) a block of machine code needs:
// at least min_len bytes, and base plus one per bytes_per_branch bytes
// (the share rounded up or down).
struct X86Thresholds {
  uint32_t min_len;
  uint32_t bytes_per_branch;
  uint32_t base;
  bool round_up;
};

// Calls and jumps whose 32-bit displacement looks like a near target (top
// byte 00 or FF): common in machine code, rare elsewhere.
inline bool looks_like_x86(const unsigned char* src, uint32_t len, const X86Thresholds& t) {
  if (len < t.min_len) return false;
  uint64_t branches = 0;
  for (uint32_t i = 0; i + 5 <= len; ++i) {
    if ((src[i] & 0xFE) == 0xE8 && (src[i + 4] == 0x00 || src[i + 4] == 0xFF)) {
      ++branches;
      i += 4;
    }
  }
  const uint64_t share = (uint64_t{len} + (t.round_up ? t.bytes_per_branch - 1 : 0)) / t.bytes_per_branch;
  return branches >= share + t.base;
}

}  // namespace mirt::coding
