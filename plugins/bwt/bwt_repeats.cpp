// Long repeats out of a block before sorting, and back in after. Each
// position past the first kRepeatOrder predicts the bytes that followed
// the last position with the same context (table entries are written at
// the positions where a token starts and that are a multiple of the
// stride). A prediction good for at least kRepeatMin bytes becomes the
// escape byte and its length a mark; the escape byte itself stays, with a
// mark of 0. Both sides keep the same table, so a repeat costs no
// distance.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bwt_codec.h"
#include "common/hash.h"

namespace mirt::bwt {
namespace {

// The context that predicts a repeat: the 8 bytes before a position.
inline uint32_t repeat_context(const unsigned char* at, int bits) {
  static_assert(kRepeatOrder >= 8 && kRepeatOrder <= 16);
  uint64_t a, b;
  std::memcpy(&a, at - kRepeatOrder, sizeof a);
  std::memcpy(&b, at - 8, sizeof b);
  const uint64_t h = (a * coding::kSpread64a + b) * coding::kSpread64b;
  return static_cast<uint32_t>(h >> (64 - bits));
}

// Enough positions for the block; the decoder derives the same size from n.
int repeat_table_bits(uint32_t n) {
  int bits = 10;
  while (bits < 18 && (1u << (bits + 2)) < n) ++bits;
  return bits;
}

// The table of last positions, zeroed (0: none yet); fresh pages cost
// nothing until touched.
struct Free {
  void operator()(uint32_t* p) const { std::free(p); }
};
using Table = std::unique_ptr<uint32_t[], Free>;
Table zeroed_table(int bits) {
  return Table(static_cast<uint32_t*>(std::calloc(size_t{1} << bits, sizeof(uint32_t))));
}

// Enters the positions of [from, to) that are a multiple of the stride.
void enter(uint32_t* last, int bits, const unsigned char* out, uint32_t from, uint32_t to, uint32_t stride) {
  from = std::max(from, kRepeatOrder);
  for (uint32_t p = (from + stride - 1) & ~(stride - 1); p < to; p += stride) last[repeat_context(out + p, bits)] = p;
}

}  // namespace

unsigned char least_used_byte(const unsigned char* src, uint32_t n) {
  uint32_t count[256] = {};
  for (uint32_t i = 0; i < n; ++i) ++count[src[i]];
  return static_cast<unsigned char>(std::min_element(count, count + 256) - count);
}

uint32_t remove_repeats(const unsigned char* src, uint32_t n, unsigned char escape, unsigned char* out, uint32_t cap,
                        uint32_t* marks, uint32_t mark_cap, uint32_t& mark_count, uint32_t stride) {
  const int bits = repeat_table_bits(n);
  const auto last = zeroed_table(bits);
  if (!last) return 0;
  uint32_t o = 0, k = 0;
  for (uint32_t i = 0; i < n;) {
    if (o == cap) return 0;
    uint32_t mark = 0;
    if (i >= kRepeatOrder) {
      uint32_t& slot = last[repeat_context(src + i, bits)];
      const uint32_t from = slot;
      if ((i & (stride - 1)) == 0) slot = i;
      if (from != 0 && n - i >= kRepeatMin) {
        uint32_t len = 0;
        const uint32_t most = n - i;
        while (len < most && src[from + len] == src[i + len]) ++len;
        if (len >= kRepeatMin) mark = len - kRepeatMin + 1;
      }
    }
    if (mark != 0 || src[i] == escape) {
      if (k == mark_cap) return 0;
      marks[k++] = mark;
      out[o++] = escape;
      i += mark != 0 ? mark + kRepeatMin - 1 : 1;
    } else {
      out[o++] = src[i++];
    }
  }
  mark_count = k;
  return o;
}

// Literal stretches go over in one move, their table entries after; only
// an escape byte looks up a prediction. `src` may be the last m bytes of
// `out`: the output never overtakes the bytes still to be read.
uint32_t restore_repeats(const unsigned char* src, uint32_t m, unsigned char escape, const uint32_t* marks,
                         uint32_t mark_count, unsigned char* out, uint32_t n, uint32_t stride) {
  const int bits = repeat_table_bits(n);
  const auto last = zeroed_table(bits);
  if (!last) return kFailed;
  uint32_t i = 0, next = 0;
  for (uint32_t k = 0; k < m;) {
    const auto* found = static_cast<const unsigned char*>(std::memchr(src + k, escape, m - k));
    const uint32_t literal = found != nullptr ? static_cast<uint32_t>(found - (src + k)) : m - k;
    if (literal > n - i) return kFailed;
    std::memmove(out + i, src + k, literal);
    enter(last.get(), bits, out, i, i + literal, stride);
    i += literal;
    k += literal;
    if (k == m) break;
    ++k;  // the escape byte
    if (i == n || next == mark_count) return kFailed;
    uint32_t from = 0;
    if (i >= kRepeatOrder) {
      uint32_t& slot = last[repeat_context(out + i, bits)];
      from = slot;
      if ((i & (stride - 1)) == 0) slot = i;
    }
    const uint32_t mark = marks[next++];
    if (mark == 0) {
      out[i++] = escape;
      continue;
    }
    // A repeat needs a prediction and room; it may overlap itself.
    const uint64_t len = uint64_t{mark} + kRepeatMin - 1;
    if (from == 0 || len > n - i) return kFailed;
    if (i - from >= len)
      std::memcpy(out + i, out + from, static_cast<size_t>(len));
    else
      for (uint32_t j = 0; j < len; ++j) out[i + j] = out[from + j];
    i += static_cast<uint32_t>(len);
  }
  return i == n && next == mark_count ? n : kFailed;
}

}  // namespace mirt::bwt
