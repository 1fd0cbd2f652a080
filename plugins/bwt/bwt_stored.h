// What both stored forms of the block-sorting codec share: the header's
// varints, the byte order of sorting, the bound on marks, and the coding
// of the sorted bytes as runs with either form's model. Included by the
// codec's .cpp files alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "bwt_codec.h"
#include "common/binary_coder.h"

namespace mirt::bwt {

using Encoder = coding::BinaryEncoder<16, coding::Flush::kHigh>;
using Decoder = coding::BinaryDecoder<16>;

// A whole stream is read at most 3 bytes past its end (4 bytes ahead,
// one flushed byte). Further on it is damaged: decoding stops, so
// garbage costs time by its length, not by the length it claims.
inline bool overrun(const Decoder& coder) { return coder.past_end() > 3; }

inline unsigned char* put_varint(unsigned char* p, const unsigned char* end, uint32_t v) {
  while (v >= 128) {
    if (p == end) return nullptr;
    *p++ = static_cast<unsigned char>(v | 128);
    v >>= 7;
  }
  if (p == end) return nullptr;
  *p++ = static_cast<unsigned char>(v);
  return p;
}

inline const unsigned char* get_varint(const unsigned char* p, const unsigned char* end, uint32_t& v) {
  v = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (p == end) return nullptr;
    const uint32_t b = *p++;
    if (shift == 28 && b > 15) return nullptr;
    v |= (b & 127) << shift;
    if (b < 128) return p;
  }
  return nullptr;
}

template <class T>
std::unique_ptr<T[]> allocate(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

// A model, or null when memory is short (its tables or itself).
template <class T>
std::unique_ptr<T> make_model() {
  std::unique_ptr<T> m(new (std::nothrow) T());
  return m && m->ok() ? std::move(m) : nullptr;
}

// The order in which bytes sort. Neighbouring contexts in the sorted block
// should predict alike: consonants, then vowels, in each case; the line
// end and sentence punctuation right after the space. Measured on text
// about 0.5% smaller than plain byte order.
struct SortOrder {
  unsigned char byte[256];  // the byte at each place
  unsigned char rank[256];  // the place of each byte
};

constexpr SortOrder make_sort_order() {
  constexpr const char* kLower = "bcdfghjklmnpqrstvwxzaeiouy";
  constexpr const char* kAfterSpace = "\n.,;:!?";
  SortOrder o{};
  int at = 0;
  auto put = [&](int c) { o.byte[at++] = static_cast<unsigned char>(c); };
  auto listed = [](const char* set, int c) {
    for (; *set != 0; ++set)
      if (*set == c) return true;
    return false;
  };
  for (int c = 0; c < 256; ++c) {
    const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    if (listed(kAfterSpace, c)) continue;
    if (upper || lower) {
      if (c == 'A' || c == 'a')
        for (const char* l = kLower; *l != 0; ++l) put(upper ? *l - 'a' + 'A' : *l);
      continue;
    }
    put(c);
    if (c == ' ')
      for (const char* p = kAfterSpace; *p != 0; ++p) put(*p);
  }
  for (int i = 0; i < 256; ++i) o.rank[o.byte[i]] = static_cast<unsigned char>(i);
  return o;
}
inline constexpr SortOrder kSortOrder = make_sort_order();

constexpr bool is_permutation(const SortOrder& o) {
  for (int i = 0; i < 256; ++i)
    if (o.byte[o.rank[i]] != i) return false;
  return true;
}
static_assert(is_permutation(kSortOrder));

// Marks of a block of n bytes: the rarest byte occurs at most n / 256
// times, and every repeat covers kRepeatMin bytes.
inline uint32_t mark_bound(uint32_t n) { return n / 256 + n / kRepeatMin + 1; }

// Repeats are removed when that saves at least 1/kRepeatGain of the block.
inline constexpr uint32_t kRepeatGain = 64;

struct Reduced {
  std::unique_ptr<unsigned char[]> bytes;
  std::unique_ptr<uint32_t[]> marks;
  uint32_t length = 0, mark_count = 0;
  unsigned char escape = 0;
  bool repeats = false;
};
// The block after the repeat pass (remembering every `stride`-th
// position), in sorting order, with its marks; the block itself when the
// pass saves too little. False when memory is short.
bool reduce(const unsigned char* src, uint32_t len, uint32_t stride, Reduced& r);

// The sorted bytes as runs: the first byte in 8 plain bits, then each
// run's byte by its rank (the first run's needs none) and its length. No
// bytes, no bits.
template <class Model>
bool code_runs(Encoder& coder, Model& m, const unsigned char* last, uint32_t n) {
  if (n == 0) return true;
  for (int i = 7; i >= 0; --i) coder.code((last[0] >> i) & 1, 32768);
  m.finish(last[0], 0);
  for (uint32_t i = 0; i < n;) {
    const unsigned char c = last[i];
    uint32_t j = i + 1;
    while (j < n && last[j] == c) ++j;
    int rank = 0;
    if (i > 0) {
      rank = m.rank_of(c);
      m.code_rank(coder, rank);
    }
    m.code_length(coder, c, std::max(rank, 1), j - i);
    m.finish(rank, j - i);
    i = j;
    if (coder.overflow()) return false;
  }
  return true;
}

template <class Model>
bool decode_runs_with(Decoder& coder, Model& m, unsigned char* out, uint32_t n) {
  if (n == 0) return true;
  int first = 0;
  for (int i = 0; i < 8; ++i) first = first << 1 | coder.code(0, 32768);
  m.finish(first, 0);
  for (uint32_t i = 0; i < n;) {
    const int rank = i > 0 ? m.code_rank(coder, 0) : 0;
    const uint32_t c = m.at(rank);
    const uint32_t len = m.code_length(coder, c, std::max(rank, 1), 0);
    if (len > n - i) return false;
    // Most runs are short: one fixed store of 16 bytes (those past the run
    // are this stream's next ones, written again later) beats a loop or a
    // call.
    if (len <= 16 && n - i >= 16) {
      std::memset(out + i, static_cast<int>(c), 16);
    } else {
      std::memset(out + i, static_cast<int>(c), len);
    }
    i += len;
    m.finish(rank, len);
    if (overrun(coder)) return false;
  }
  return true;
}


// The decoder works on a copy of its own: stores of bytes could alias it,
// a local whose address goes nowhere stays in registers.
template <class Model>
bool decode_runs(Decoder& shared, Model& m, unsigned char* out, uint32_t n) {
  Decoder coder = shared;
  const bool ok = decode_runs_with(coder, m, out, n);
  shared = coder;
  return ok;
}

}  // namespace mirt::bwt
