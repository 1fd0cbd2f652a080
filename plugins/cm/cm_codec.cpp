// Context-mixing codec. Integer arithmetic only, so every platform decodes
// exactly what any other encoded; the vector kernels compute the very same
// integers as the portable ones.
#include "cm_codec.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/adaptive.h"
#include "common/binary_coder.h"
#include "common/detect.h"
#include "common/hash.h"
#include "common/logistic.h"
#include "common/pages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirt::cm {
namespace {

// ---- Logistic domain (common/logistic.h) ---------------------------------

using logistic::squash;

inline int stretch(int p) { return logistic::kStretch[p]; }

// squash() for a stretched value already within +-2047.
inline int squash_clamped(int d) { return logistic::kSquash[d + 2047]; }

// ---- Bit histories ----------------------------------------------------------
// One byte per context and bit: a bounded pair of counts (zeros, ones).
// On each bit the opposite count above 2 is halved towards 2, so recent
// bits weigh more; the caps keep the state count under 256.
constexpr int kCountCap[8] = {50, 30, 20, 12, 8, 6, 5, 4};

constexpr int count_cap(int other) { return kCountCap[other < 7 ? other : 7]; }

struct StateTable {
  uint8_t next[256][2];
  uint8_t n0[256];
  uint8_t n1[256];
  int size;
};

constexpr void step_counts(int& a, int& b, int y) {
  int& mine = y ? b : a;
  int& other = y ? a : b;
  if (other > 2) other = other / 2 + 1;
  mine = mine + 1 < count_cap(other) ? mine + 1 : count_cap(other);
  if (other > count_cap(mine)) other = count_cap(mine);
}

constexpr StateTable make_states() {
  StateTable t{};
  int a[256] = {};
  int b[256] = {};
  t.size = 1;  // state 0: (0, 0), never seen
  for (int s = 0; s < t.size; ++s) {
    for (int y = 0; y < 2; ++y) {
      int na = a[s];
      int nb = b[s];
      step_counts(na, nb, y);
      int found = -1;
      for (int k = 0; k < t.size; ++k)
        if (a[k] == na && b[k] == nb) found = k;
      if (found < 0) {
        found = t.size++;
        a[found] = na;
        b[found] = nb;
      }
      t.next[s][y] = static_cast<uint8_t>(found);
    }
  }
  for (int s = 0; s < t.size; ++s) {
    t.n0[s] = static_cast<uint8_t>(a[s]);
    t.n1[s] = static_cast<uint8_t>(b[s]);
  }
  return t;
}

constexpr StateTable kStates = make_states();
static_assert(kStates.size <= 256, "bit history states must fit a byte");

// ---- Adaptive maps (common/adaptive.h) -------------------------------------
using AdaptiveMap = coding::AdaptiveMap<coding::Step::kShort>;
// The nearest of 33 buckets over the stretched domain answers.
// (Interpolating between two saved 0.2% and cost 7% of the time.)
using Refiner = coding::Refiner<coding::Approach::kFloored>;

// ---- Hashing (common/hash.h) ---------------------------------------------------
using coding::hash2;
using coding::hash3;
using coding::mix32;

// ---- Model --------------------------------------------------------------------
// Hashed contexts; order 1 is indexed directly. Two depend on the model
// set: words for text, bytes with gaps for binary data.
// Order 3 is left out: with orders 2, 4 and 6 around it, it saved 0.2-1%
// (most on long text blocks) and cost about 7% of the time. Order 0 is
// left out too: 0.4% for an eighth of the work of each bit. Text blocks
// leave out the pair of words (kSetB, the last): it saved 0.3-0.9% on our
// text files, the least of all, and cost about 5% of their time.
enum : int { kSetA, kO2, kColumn, kO4, kO6, kSetB, kHashed };
// Context 0 is order 1, context 1 + h the hashed context h.
constexpr int kContexts = kHashed + 1;
constexpr int kInputs = kContexts + 2;  // plus the match model and a bias
constexpr int kMatchMin = 6;
// Bytes between refreshes of the context maps (after a faster start); the
// weight of a bit history's own estimate against the bits counted; the
// count above which a refresh halves the counts. Counts stay below
// kCountLimit + 2 * 8 * kRefresh, inside 16 bits.
constexpr uint32_t kRefresh = 2048;
constexpr int kPriorWeight = 16;
constexpr int kCountLimit = 4096;
static_assert(kCountLimit + 2 * 8 * kRefresh <= 65535);
constexpr int kMatchVerify = 64;

// ---- Mixer kernels ------------------------------------------------------------
// 16-bit inputs (stretched probabilities) and 16-bit weights (1.0 is
// 1 << kWeightShift), padded to two vectors of eight. Products and their
// sum stay well inside 32 bits: |x| <= 2047 and 16 lanes.
constexpr int kLanes = 16;
constexpr int kWeightShift = 14;
static_assert(kInputs <= kLanes);

inline int32_t dot_portable(const int16_t* x, const int16_t* w) {
  int32_t sum = 0;
  for (int i = 0; i < kLanes; ++i) sum += int32_t{x[i]} * w[i];
  return sum;
}

// w += round(x * e / 65536), saturating at the 16-bit limits.
inline void train_portable(const int16_t* x, int16_t* w, int e) {
  for (int i = 0; i < kLanes; ++i) {
    const int32_t v = w[i] + ((int32_t{x[i]} * e + 0x8000) >> 16);
    w[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
  }
}

#if defined(__SSE2__)
inline uint32_t pack2(const int16_t* x) {
  return static_cast<uint16_t>(x[0]) | uint32_t{static_cast<uint16_t>(x[1])} << 16;
}

// Takes the inputs as computed and keeps a copy in `keep` for training.
// The vectors are built in registers, lane by lane, rather than loaded
// over the 16-bit stores that just wrote the inputs.
inline int32_t dot_sse2(const int16_t* x, const int16_t* w, int16_t* keep) {
  __m128i x0 = _mm_cvtsi32_si128(static_cast<int>(pack2(x)));
  x0 = _mm_insert_epi16(x0, x[2], 2);
  x0 = _mm_insert_epi16(x0, x[3], 3);
  x0 = _mm_insert_epi16(x0, x[4], 4);
  x0 = _mm_insert_epi16(x0, x[5], 5);
  x0 = _mm_insert_epi16(x0, x[6], 6);
  x0 = _mm_insert_epi16(x0, x[7], 7);
  static_assert(kLanes == 16 && kInputs <= 10, "lanes 10-15 are zero");
  const __m128i x1 = _mm_cvtsi32_si128(static_cast<int>(pack2(x + 8)));
  auto* kv = reinterpret_cast<__m128i*>(keep);
  _mm_store_si128(kv, x0);
  _mm_store_si128(kv + 1, x1);
  const auto* wv = reinterpret_cast<const __m128i*>(w);
  __m128i s = _mm_add_epi32(_mm_madd_epi16(x0, _mm_load_si128(wv)), _mm_madd_epi16(x1, _mm_load_si128(wv + 1)));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// The rounded high half of each product: the high word plus the top bit
// of the low word.
inline void train_sse2(const int16_t* x, int16_t* w, int e) {
  const __m128i ev = _mm_set1_epi16(static_cast<int16_t>(e));
  auto* wv = reinterpret_cast<__m128i*>(w);
  for (int k = 0; k < 2; ++k) {
    const __m128i xv = _mm_load_si128(reinterpret_cast<const __m128i*>(x) + k);
    const __m128i r = _mm_add_epi16(_mm_mulhi_epi16(xv, ev), _mm_srli_epi16(_mm_mullo_epi16(xv, ev), 15));
    _mm_store_si128(wv + k, _mm_adds_epi16(_mm_load_si128(wv + k), r));
  }
}
constexpr bool kHaveVectors = true;
#else
inline int32_t dot_sse2(const int16_t* x, const int16_t* w, int16_t* keep) {
  std::memcpy(keep, x, kLanes * sizeof(int16_t));
  return dot_portable(x, w);
}
inline void train_sse2(const int16_t* x, int16_t* w, int e) { train_portable(x, w, e); }
constexpr bool kHaveVectors = false;
#endif

// Learning rate of the mixer: e = err * kMixRate / 4 keeps the step of a
// weight at x * err * kMixRate / 2^18 and e within 16 bits.
constexpr int kMixRate = 24;
// Weight sets: one per partial byte. Four times as many, also selected by
// the state of the match model, saved 0.7% but made decoding 8-10% slower:
// the sets no longer stay in the first-level cache.
constexpr int kWeightSets = 256;
static_assert(4095 * kMixRate / 4 < 32768);


// The hash table is read at random: huge pages (common/pages.h).
using ZeroedPages = coding::Pages;

// One cache line per byte context: a check byte and the bit histories of
// the first nibble's 15 nodes, then three second-nibble trees, each behind
// a tag naming its first nibble. A byte costs one random memory access per
// context; most contexts are followed by few distinct first nibbles.
constexpr size_t kLine = 64;
constexpr size_t kTree = 16;
constexpr int kSecondTrees = 3;
class Model {
 public:
  Model(const unsigned char* buf, uint8_t params)
      : buf_(buf), params_(params), hashed_(params & kText ? kHashed - 1 : kHashed) {}

  // Contexts in use, for bit<>().
  int contexts() const { return 1 + hashed_; }

  bool init() {
    table_bits_ = kMinTableBits + (params_ & kTableMask);
    if (!table_mem_.map(size_t{kLine} << table_bits_)) return false;
    table_ = table_mem_.data();
    line_mask_ = (uint32_t{1} << table_bits_) - 1;
    match_bits_ = table_bits_ - 1;
    match_.reset(new (std::nothrow) uint32_t[size_t{1} << match_bits_]());
    o1_.reset(new (std::nothrow) unsigned char[256 * 17 * kTree]());
    if (!match_ || !o1_) return false;
    for (int i = 0; i < kContexts; ++i) {
      for (int st = 0; st < 256; ++st) {
        const int n0 = kStates.n0[st];
        const int n1 = kStates.n1[st];
        const int prior = ((n1 * 2 + 1) << 12) / (2 * (n0 + n1) + 2);
        prior_[st] = static_cast<int16_t>(prior);
        state_x_[i][st] = static_cast<int16_t>(stretch(prior));
      }
    }
    match_map_.init(64 * 2, 1023);
    weights_.reset(new (std::nothrow) Weights[kWeightSets]);
    if (!weights_) return false;
    for (int c = 0; c < kWeightSets; ++c)
      for (int i = 0; i < kLanes; ++i)
        weights_[c].w[i] = static_cast<int16_t>(i < kInputs - 1 ? (20000 >> (16 - kWeightShift)) : 0);
    // The refiner sees the top five bits of the previous byte: all eight
    // saved 0.16% but made it 4 MiB, a cache miss a bit. Small blocks see
    // too few bytes to fill even that and keep fewer.
    c1_shift_ = table_bits_ >= 14 ? 3 : 17 - table_bits_;
    if (!refine_.init(size_t{256} << (8 - c1_shift_))) return false;
    for (auto& s : slot_) s = o1_.get();
    begin_byte(0, true);
    finish_byte();
    return true;
  }

  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Predicts a bit, has `code` spend it (code(p) returns the bit, p being
  // the 12-bit probability of a one) and learns from it. One function, so
  // the bit histories and their slots stay in registers from prediction to
  // update: they are written through byte pointers, which may alias
  // anything, so members would be reloaded.
  // kVectors picks the SSE2 kernels, which compute what the portable ones
  // do.
  // kN is the number of contexts in use: all, or all but kSetB.
  template <bool kVectors, int kN, class Code>
  int bit(Code&& code) {
    const int node = node_;
    static_assert(kN == kContexts || kN == kContexts - 1);
    unsigned char* slot[kN];
    int st[kN];
    int16_t x[kLanes] = {};
    for (int i = 0; i < kN; ++i) {
      slot[i] = slot_[i];
      st[i] = slot[i][node];
      x[i] = state_x_[i][st[i]];
    }
    // Match model: the bit the longest recent repeat predicts.
    bool matched = false;
    if (match_len_ > 0) {
      const int expected = (buf_[match_ptr_] + 256) >> (7 - bit_pos_);
      if ((expected >> 1) == c0_) {
        const int len = match_len_ < 31 ? static_cast<int>(match_len_) : 31;
        x[kContexts] = static_cast<int16_t>(stretch(match_map_.p(static_cast<uint32_t>(len * 2 + (expected & 1)))));
        matched = true;
      } else {
        match_len_ = 0;
      }
    }
    x[kContexts + 1] = 256;  // bias
    int16_t* w = weights_[c0_].w;
    int32_t dot;
    if (kVectors) {
      dot = dot_sse2(x, w, x_);
    } else {
      std::memcpy(x_, x, sizeof x);
      dot = dot_portable(x, w);
    }
    int d = dot >> kWeightShift;
    d = d < -2047 ? -2047 : d > 2047 ? 2047 : d;
    const int pr_mix = squash_clamped(d);
    // One refining stage, in the partial byte and the previous byte's top
    // bits: a second one in the partial byte alone made the corpus 0.1%
    // larger, not smaller.
    const uint32_t high = (c4_ & 0xFF) >> c1_shift_ << 8;
    const int pr_refined = refine_.nearest(d, static_cast<uint32_t>(c0_) | high);
    if (bit_pos_ < 7) refine_.prefetch(static_cast<uint32_t>(c0_ << 1) | high);
    int p = (pr_mix + 3 * pr_refined + 2) >> 2;
    p = p < 1 ? 1 : p > 4095 ? 4095 : p;

    const int y = code(p);

    // With the byte complete, its lookups go out before the training, so
    // the training runs while they are on their way.
    const bool last = bit_pos_ == 7;
    if (last) begin_byte(static_cast<uint32_t>((c0_ << 1 | y) & 0xFF));
    for (int i = 0; i < kN; ++i) ++seen_[i][st[i]][y];
    if (matched) match_map_.update(y);
    const int e = ((y << 12) - pr_mix) * kMixRate / 4;
    if (kVectors)
      train_sse2(x_, w, e);
    else
      train_portable(x_, w, e);
    refine_.update(y, 6);
    for (int i = 0; i < kN; ++i) slot[i][node] = kStates.next[st[i]][y];

    c0_ = c0_ << 1 | y;
    node_ = node << 1 | y;
    ++bit_pos_;
    if (last) {
      finish_byte();
    } else if (bit_pos_ == 4) {
      nibble_update();
    }
    return y;
  }

 private:
  struct alignas(32) Weights {
    int16_t w[kLanes];
  };

  // Both lines find() may look at.
  void prefetch(uint32_t h) const {
    __builtin_prefetch(table_ + size_t{h & line_mask_} * kLine);
    __builtin_prefetch(table_ + size_t{(h ^ 1) & line_mask_} * kLine);
  }

  // Two candidate lines; the one whose first node has seen fewer bits
  // gives way.
  unsigned char* find(uint32_t h) {
    const auto check = static_cast<unsigned char>(h >> 24);
    unsigned char* a = table_ + size_t{h & line_mask_} * kLine;
    if (a[0] == check) return a;
    unsigned char* b = table_ + size_t{(h ^ 1) & line_mask_} * kLine;
    if (b[0] == check) return b;
    unsigned char* weak = kStates.n0[a[1]] + kStates.n1[a[1]] <= kStates.n0[b[1]] + kStates.n1[b[1]] ? a : b;
    std::memset(weak, 0, kLine);
    weak[0] = check;
    return weak;
  }

  // The second-nibble tree for first nibble `tag` (1..16) in a line.
  static unsigned char* second_tree(unsigned char* line, unsigned char tag) {
    unsigned char* weak = nullptr;
    int weak_n = 1 << 30;
    for (int k = 0; k < kSecondTrees; ++k) {
      unsigned char* t = line + kTree * (k + 1);
      if (t[0] == tag) return t;
      const int n = kStates.n0[t[1]] + kStates.n1[t[1]];
      if (n < weak_n) {
        weak_n = n;
        weak = t;
      }
    }
    std::memset(weak, 0, kTree);
    weak[0] = tag;
    return weak;
  }

  void nibble_update() {
    const auto hi = static_cast<unsigned char>((c0_ & 15) + 1);
    for (int i = 0; i < hashed_; ++i) slot_[1 + i] = second_tree(line_[i], hi);
    slot_[0] = o1_.get() + (static_cast<size_t>(c4_ & 0xFF) * 17 + hi) * kTree;
    node_ = 1;
  }

  // What the context hashes are made of.
  struct Context {
    uint32_t c4, c8, word0, word1, above, col;
  };

  void hash_context(const Context& x, uint32_t* h) const {
    const uint32_t c1 = x.c4 & 0xFF;
    h[kO2] = hash2(1, x.c4 & 0xFFFF);
    h[kO4] = hash2(3, x.c4);
    h[kO6] = hash3(4, x.c4, x.c8 & 0xFFFF);
    h[kColumn] = hash3(5, x.above, x.col < 255 ? x.col : 255);
    if (params_ & kText) {
      h[kSetA] = hash3(6, x.word0, x.word0 ? 0 : c1);
      h[kSetB] = hash3(7, x.word0, x.word1);
    } else {
      h[kSetA] = hash2(8, x.c4 & 0xFF00FF00);
      h[kSetB] = hash2(9, x.c4 & 0xFFFF0000);
    }
  }

  // The next byte's contexts: hashed and their lines prefetched once the
  // byte `c` at pos_ is known (with none before the first byte).
  void begin_byte(uint32_t c, bool first = false) {
    if (!first) {
      guess_[c4_ & 0xFFFF] = static_cast<unsigned char>(c);
      ++pos_;
      c8_ = c8_ << 8 | c4_ >> 24;
      c4_ = c4_ << 8 | c;
      if (params_ & kText) next_word(c, word0_, word1_);
      update_columns(c);
    }
    hash_context(Context{c4_, c8_, word0_, word1_, above_, col_}, hash_);
    refine_.prefetch(1 | (c4_ & 0xFF) >> c1_shift_ << 8);
    // All lookups of a byte go out together, so their cache misses
    // overlap; the match model works on lines fetched a byte earlier.
    if (c != guessed_ || first)
      for (int i = 0; i < hashed_; ++i) prefetch(hash_[i]);
  }

  // The lines of the byte after next are asked for as soon as this byte
  // starts, for the byte it most likely is: the one the match model
  // expects, or the one that last followed the same two bytes. When the
  // guess is right, 8 bits of coding hide the wait; when it is wrong, only
  // some memory bandwidth is lost. (The column of a guess ignores a change
  // of record length at that byte: a wrong prefetch is harmless.)
  void guess_next() {
    const uint32_t g = match_len_ > 0 ? buf_[match_ptr_] : guess_[c4_ & 0xFFFF];
    guessed_ = g;
    Context x{c4_ << 8 | g, c8_ << 8 | c4_ >> 24, word0_, word1_, 0, 0};
    if (params_ & kText) next_word(g, x.word0, x.word1);
    const uint32_t next = pos_ + 1;
    uint32_t start = line_start_;
    uint32_t prev = prev_line_;
    if (g == '\n') {
      prev = start;
      start = next;
    }
    if (record_ > 0 && (start == 0 || next - start > 256)) {
      x.col = next % record_;
      x.above = next >= record_ ? buf_[next - record_] : 0;  // record_ > 1: a known byte
    } else {
      x.col = next - start;
      const uint32_t up = prev + x.col;
      x.above = up < start ? (up < pos_ ? buf_[up] : g) : 0;
    }
    uint32_t h[kHashed];
    hash_context(x, h);
    // The first line of each pair only: a guess is often wrong, and more
    // requests in flight delay the ones that matter.
    for (int i = 0; i < hashed_; ++i) __builtin_prefetch(table_ + size_t{h[i] & line_mask_} * kLine);
  }

  // Counting instead of training each bit's probabilities saves most of
  // the per-bit work of a context, and cost nothing measurable: these maps
  // see thousands of bits per state and change slowly.
  void refresh() {
    for (int i = 0; i < kContexts; ++i) {
      for (int st = 0; st < 256; ++st) {
        uint16_t* n = seen_[i][st];
        const int p = ((int{n[1]} << 12) + kPriorWeight * prior_[st]) / (n[0] + n[1] + kPriorWeight);
        state_x_[i][st] = static_cast<int16_t>(stretch(p < 1 ? 1 : p > 4095 ? 4095 : p));
        if (n[0] + n[1] > kCountLimit) {
          n[0] = static_cast<uint16_t>(n[0] >> 1);
          n[1] = static_cast<uint16_t>(n[1] >> 1);
        }
      }
    }
    next_refresh_ += next_refresh_ < kRefresh ? next_refresh_ : kRefresh;
  }

  void finish_byte() {
    if (pos_ == next_refresh_) refresh();
    bit_pos_ = 0;
    node_ = 1;
    c0_ = 1;
    if (pos_ > 0) update_match(c4_ & 0xFF);
    guess_next();
    for (int i = 0; i < hashed_; ++i) slot_[1 + i] = line_[i] = find(hash_[i]);
    slot_[0] = o1_.get() + static_cast<size_t>(c4_ & 0xFF) * 17 * kTree;
  }

  static void next_word(uint32_t c, uint32_t& word0, uint32_t& word1) {
    uint32_t lower = c >= 'A' && c <= 'Z' ? c + 32 : c;
    if ((lower >= 'a' && lower <= 'z') || c >= 128) {
      word0 = (word0 + lower + 1) * 0x2F0F3D1u;
    } else if (word0 != 0) {
      word1 = word0;
      word0 = 0;
    }
  }

  // The byte above: in the previous line of text, or one record back when
  // the data repeats at a fixed distance.
  void update_columns(uint32_t c) {
    const uint32_t at = pos_ - 1;
    if (c == '\n') {
      prev_line_ = line_start_;
      line_start_ = pos_;
    }
    const uint32_t dist = at - last_at_[c];
    if (last_at_[c] != 0 && dist == last_dist_[c] && dist > 1) {
      if (++repeats_[c] >= 3 && dist != record_) {
        record_ = dist;
      }
    } else {
      repeats_[c] = 0;
    }
    last_dist_[c] = dist;
    last_at_[c] = at;
    if (record_ > 0 && (line_start_ == 0 || pos_ - line_start_ > 256)) {
      col_ = pos_ % record_;
      above_ = pos_ >= record_ ? buf_[pos_ - record_] : 0;
    } else {
      col_ = pos_ - line_start_;
      const uint32_t up = prev_line_ + col_;
      above_ = up < line_start_ ? buf_[up] : 0;
    }
  }

  // The table of where each hash of kMatchMin bytes was last seen is read
  // a byte after its slot was prefetched, and a candidate it names is
  // checked a byte after that, so neither waits for memory. A repeat is
  // picked up two bytes later than it could be, which costs next to nothing.
  void update_match(uint32_t c) {
    if (match_len_ > 0) {
      if (buf_[match_ptr_] == c) {
        if (match_len_ < 65535) ++match_len_;
        ++match_ptr_;
      } else {
        match_len_ = 0;
      }
    }
    // verify_ lines up with the current position: the bytes before it
    // should equal the bytes before pos_.
    if (verify_ != 0) {
      if (match_len_ == 0 && verify_ < pos_) {
        uint32_t n = 0;
        while (n < kMatchVerify && n < verify_ && buf_[verify_ - 1 - n] == buf_[pos_ - 1 - n]) ++n;
        if (n >= kMatchMin) {
          match_len_ = n;
          match_ptr_ = verify_;
        }
      }
      verify_ = 0;
    }
    if (pending_) {
      // Lined up with the position one byte back, so two bytes ahead at
      // the next check.
      const uint32_t cand = match_[pending_slot_];
      match_[pending_slot_] = pos_ - 1;
      if (cand > 0 && match_len_ == 0) {
        verify_ = cand + 2;
        __builtin_prefetch(buf_ + cand + 1);
        if (cand >= 64) __builtin_prefetch(buf_ + cand - 63);
      }
    }
    pending_ = pos_ >= kMatchMin;
    if (!pending_) return;
    uint32_t h = 0;
    for (int k = 1; k <= kMatchMin; ++k) h = (h + buf_[pos_ - k] + 1) * 0x2F0F3D1u;
    pending_slot_ = mix32(h) >> (32 - match_bits_);
    __builtin_prefetch(&match_[pending_slot_]);
  }

  const unsigned char* buf_;
  uint8_t params_;
  int hashed_;  // hashed contexts in use
  int table_bits_ = 0;
  int match_bits_ = 0;
  uint32_t line_mask_ = 0;
  ZeroedPages table_mem_;
  unsigned char* table_ = nullptr;
  std::unique_ptr<unsigned char[]> o1_;
  std::unique_ptr<uint32_t[]> match_;

  // Mixer inputs of the bit being coded.
  alignas(32) int16_t x_[kLanes] = {};
  // Per context: bit history -> probability (22 bits) and count (10 bits),
  // and the same probability stretched, ready for the mixer.
  int16_t state_x_[kContexts][256];
  // Per context and bit history: the bits seen (halved now and then),
  // which turn into state_x_ every few thousand bytes.
  uint16_t seen_[kContexts][256][2] = {};
  int16_t prior_[256] = {};
  uint32_t next_refresh_ = 64;
  AdaptiveMap match_map_;
  Refiner refine_;
  int c1_shift_ = 0;
  std::unique_ptr<Weights[]> weights_;

  unsigned char* slot_[kContexts] = {};
  unsigned char* line_[kHashed] = {};
  uint32_t hash_[kHashed] = {};
  uint32_t pos_ = 0;
  int c0_ = 1;
  int node_ = 1;
  int bit_pos_ = 0;
  uint32_t c4_ = 0;
  uint32_t c8_ = 0;
  uint32_t word0_ = 0;
  uint32_t word1_ = 0;
  uint32_t line_start_ = 0;
  uint32_t prev_line_ = 0;
  uint32_t col_ = 0;
  uint32_t above_ = 0;
  uint32_t record_ = 0;
  uint32_t last_at_[256] = {};
  uint32_t last_dist_[256] = {};
  uint8_t repeats_[256] = {};
  uint32_t match_len_ = 0;
  uint32_t match_ptr_ = 0;
  uint32_t verify_ = 0;
  uint32_t guessed_ = 256;
  unsigned char guess_[65536] = {};  // the byte that last followed two bytes
  uint32_t pending_slot_ = 0;
  bool pending_ = false;
};

// ---- Arithmetic coder (common/binary_coder.h) ----------------------------------
// p is P(bit = 1) in 12 bits.
using Encoder = coding::BinaryEncoder<12, coding::Flush::kAboveLow>;
using Decoder = coding::BinaryDecoder<12>;

int table_bits_for(uint32_t len) {
  // A line per two bytes of input, per four above 1 MiB, up to 128 MiB.
  // Halving the table of a 4 MiB block cost 0.2% and made it 10-20%
  // faster: fewer cache and TLB misses.
  const uint64_t lines = len > (uint32_t{1} << 20) ? len / 4 : len / 2;
  int bits = kMinTableBits;
  while (bits < 21 && (uint64_t{1} << bits) < lines) ++bits;
  return bits;
}

// Models for text: printable bytes outnumber the others nine to one.
bool mostly_text(const unsigned char* src, uint32_t len) { return coding::looks_like_text(src, len, 9); }

// Calls and jumps whose displacement looks like a near target: at least 8
// and one per 256 bytes.
bool looks_like_x86(const unsigned char* src, uint32_t len) {
  return coding::looks_like_x86(src, len, coding::X86Thresholds{64, 256, 8, false});
}

// Arithmetic on 25-bit displacements keeps the top byte 0x00 or 0xFF.
inline uint32_t sign_extend25(uint32_t v) {
  v &= 0x01FFFFFFu;
  return v & 0x01000000u ? v | 0xFE000000u : v;
}

// Relative displacements of E8/E9 become absolute targets (`forward`), or
// absolute targets relative again. Only displacements within +-16 MiB are
// touched, and the result keeps that form.
void x86_convert(unsigned char* data, uint32_t len, bool forward) {
  for (uint32_t i = 0; i + 5 <= len; ++i) {
    if ((data[i] & 0xFE) != 0xE8) continue;
    const unsigned char top = data[i + 4];
    // Every E8/E9 owns the next four bytes, converted or not: nothing else
    // changes them, so the inverse sees the same top byte.
    if (top != 0 && top != 0xFF) {
      i += 4;
      continue;
    }
    uint32_t v = data[i + 1] | uint32_t{data[i + 2]} << 8 | uint32_t{data[i + 3]} << 16 |
                 uint32_t{top} << 24;
    v = sign_extend25(forward ? v + (i + 5) : v - (i + 5));
    data[i + 1] = static_cast<unsigned char>(v);
    data[i + 2] = static_cast<unsigned char>(v >> 8);
    data[i + 3] = static_cast<unsigned char>(v >> 16);
    data[i + 4] = static_cast<unsigned char>(v >> 24);
    i += 4;
  }
}

}  // namespace

// Absolute targets make repeated calls to one function look alike.
void x86_forward(unsigned char* data, uint32_t len) { x86_convert(data, len, true); }

void x86_inverse(unsigned char* data, uint32_t len) { x86_convert(data, len, false); }

uint8_t table_param_for(uint32_t len) {
  return static_cast<uint8_t>(table_bits_for(len) - kMinTableBits);
}

uint8_t choose_params(const unsigned char* src, uint32_t len) {
  uint8_t params = table_param_for(len);
  if (looks_like_x86(src, len)) params |= kX86;
  if (mostly_text(src, len)) params |= kText;
  return params;
}

uint64_t memory_for(uint8_t params, uint32_t len) {
  const int bits = kMinTableBits + (params & kTableMask);
  uint64_t total = (uint64_t{kLine} << bits) + (uint64_t{4} << (bits - 1)) + 256 * 17 * kTree;
  total += 65536 * 33 * 2 + kWeightSets * kLanes * 2 + 128 * 4;  // refiner, mixer, match map
  if (params & kX86) total += len;
  return total + sizeof(Model);
}

namespace {

// False when the output outgrows its limit.
template <bool kVectors, int kN>
bool encode_bits(Model& model, const unsigned char* data, uint32_t len, Encoder& enc) {
  for (uint32_t i = 0; i < len; ++i) {
    const int c = data[i];
    for (int b = 7; b >= 0; --b) {
      model.bit<kVectors, kN>([&](int p) {
        const int y = (c >> b) & 1;
        enc.code(y, static_cast<uint32_t>(p));
        return y;
      });
    }
    if (enc.overflow()) return false;
  }
  return true;
}

uint32_t encode_block(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                      uint8_t params, Kernels kernels) {
  // The decoder refuses tables larger than the length calls for.
  if (len == 0 || (params & ~kKnownBits) != 0 || (params & kTableMask) > table_param_for(len))
    return kDeclined;
  // Header: parameters and the plain length.
  uint32_t n = 0;
  if (n >= limit) return kDeclined;
  dst[n++] = params;
  for (uint32_t v = len; ; v >>= 7) {
    if (n >= limit) return kDeclined;
    dst[n++] = static_cast<unsigned char>((v & 127) | (v >= 128 ? 128 : 0));
    if (v < 128) break;
  }

  std::unique_ptr<unsigned char[]> filtered;
  const unsigned char* data = src;
  if (params & kX86) {
    filtered.reset(new (std::nothrow) unsigned char[len]);
    if (!filtered) return kDeclined;
    std::memcpy(filtered.get(), src, len);
    x86_forward(filtered.get(), len);
    data = filtered.get();
  }

  auto model = std::unique_ptr<Model>(new (std::nothrow) Model(data, params));
  if (!model || !model->init()) return kDeclined;
  Encoder enc(dst + n, limit - n);
  const bool vectors = kernels == Kernels::kBest && kHaveVectors;
  const bool all = model->contexts() == kContexts;
  const bool coded = vectors ? (all ? encode_bits<true, kContexts>(*model, data, len, enc)
                                    : encode_bits<true, kContexts - 1>(*model, data, len, enc))
                             : (all ? encode_bits<false, kContexts>(*model, data, len, enc)
                                    : encode_bits<false, kContexts - 1>(*model, data, len, enc));
  if (!coded) return kDeclined;
  enc.flush();
  if (enc.overflow()) return kDeclined;
  return n + enc.size();
}

}  // namespace

// A block that does not fit in memory is declined, or fails to decode,
// like any other: no exception leaves the plugin.
uint32_t encode_with(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                     uint8_t params, Kernels kernels) {
  try {
    return encode_block(src, len, dst, limit, params, kernels);
  } catch (const std::bad_alloc&) {
    return kDeclined;
  }
}

uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit) {
  return encode_with(src, len, dst, limit, choose_params(src, len));
}

namespace {

// False when the decoder reads well past its input.
template <bool kVectors, int kN>
bool decode_bits(Model& model, Decoder& dec, unsigned char* dst, uint32_t len) {
  for (uint32_t i = 0; i < len; ++i) {
    int c = 0;
    for (int b = 0; b < 8; ++b) {
      model.bit<kVectors, kN>([&](int p) {
        const int y = dec.code(0, static_cast<uint32_t>(p));
        c = c << 1 | y;
        // The model reads the finished byte from the buffer at its end.
        if (b == 7) dst[i] = static_cast<unsigned char>(c);
        return y;
      });
    }
    if (dec.past_end() > 4) return false;  // well past the end: not what we wrote
  }
  return true;
}

uint32_t decode_block(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap,
                      Kernels kernels) {
  if (len < 2 || cap == 0) return kFailed;
  const uint8_t params = src[0];
  if ((params & ~kKnownBits) != 0) return kFailed;
  uint32_t n = 1;
  uint64_t plain = 0;
  for (int shift = 0;; shift += 7) {
    if (n >= len || shift > 28) return kFailed;
    const unsigned char b = src[n++];
    plain |= uint64_t{b & 127u} << shift;
    if (!(b & 128)) break;
  }
  if (plain == 0 || plain > cap) return kFailed;
  const auto out_len = static_cast<uint32_t>(plain);
  // Tables never exceed what the encoder would pick for this length.
  if ((params & kTableMask) > table_param_for(out_len)) return kFailed;

  auto model = std::unique_ptr<Model>(new (std::nothrow) Model(dst, params));
  if (!model || !model->init()) return kFailed;
  Decoder dec(src + n, len - n);
  const bool vectors = kernels == Kernels::kBest && kHaveVectors;
  const bool all = model->contexts() == kContexts;
  const bool decoded = vectors ? (all ? decode_bits<true, kContexts>(*model, dec, dst, out_len)
                                      : decode_bits<true, kContexts - 1>(*model, dec, dst, out_len))
                               : (all ? decode_bits<false, kContexts>(*model, dec, dst, out_len)
                                      : decode_bits<false, kContexts - 1>(*model, dec, dst, out_len));
  if (!decoded || dec.past_end() != 3) return kFailed;
  if (params & kX86) x86_inverse(dst, out_len);
  return out_len;
}

}  // namespace

uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap, Kernels kernels) {
  try {
    return decode_block(src, len, dst, cap, kernels);
  } catch (const std::bad_alloc&) {
    return kFailed;
  }
}

}  // namespace mirt::cm
