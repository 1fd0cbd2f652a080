// The second stage of the block-sorting codec's first stored form (kept
// to decode it; bwt_model.h has the current one): a model of the sorted bytes
// as runs, so a long run costs a few decisions and decodes with one fill.
// Each run is its byte and its length. The byte is asked for by a flag per
// place of a move-to-front list (never place 0: that byte is the previous
// run's), up to kRanks places; past them the byte itself is coded bit by
// bit. The length is an Elias-gamma number. Every binary decision mixes a
// few adaptive probabilities (direct counters, and maps of short bit
// histories) chosen by small contexts, then refines the mix with a
// secondary estimate. Integer arithmetic only, so the stored form is the
// same on every platform. Included by bwt_codec.cpp alone.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/adaptive.h"
#include "common/hash.h"
#include "common/logistic.h"
#include "bwt/bwt_recency.h"

namespace mirt::bwt::v1 {

using logistic::kSquash;
using logistic::kStretch;
using logistic::squash;

// ---- Adaptive probabilities (common/adaptive.h) -----------------------------

inline constexpr uint32_t kHalf = coding::kCounterHalf;

inline int stretch_of(uint32_t v) { return kStretch[coding::counter_p12(v)]; }

inline void adapt(uint32_t& v, int bit, uint32_t limit) { coding::train<coding::Step::kFull>(v, bit, limit); }

// Secondary estimation: interpolated between the two points around the
// mixed estimate, 16 bits.
using Apm = coding::Refiner<coding::Approach::kTruncated>;

template <int N>
struct Mixer {
  explicit Mixer(size_t sets) : w(new int32_t[sets * (N + 1)]) {
    for (size_t i = 0; i < sets * (N + 1); ++i) w[i] = (i % (N + 1)) == N ? 0 : 65536 / (N + 2);
  }
  std::unique_ptr<int32_t[]> w;
};

// Predictions this close to the outcome leave the mixer's weights alone.
inline constexpr int kSure = 128;
inline constexpr int32_t kMaxWeight = 1 << 24;

inline uint32_t clamp16(uint32_t p) { return p < 32 ? 32 : p > 65504 ? 65504 : p; }

// Codes one bit through the counters `slot` (kept xor kHalf, so that zero
// is even odds; a limit of 0 marks a fixed input), mixing weight set `set`
// and refinement context `actx`; the coder returns the bit it codes or
// decodes.
template <int N, class Coder>
inline int decide(Coder& coder, int bit, uint32_t* const* slot, const uint32_t* limits, Mixer<N>& mixer,
                  size_t set, Apm& apm, size_t actx, int rate) {
  int in[N + 1];
  for (int i = 0; i < N; ++i) in[i] = stretch_of(*slot[i] ^ kHalf);
  in[N] = 256;
  int32_t* w = &mixer.w[set * (N + 1)];
  int64_t dot = 0;
  for (int i = 0; i <= N; ++i) dot += int64_t{in[i]} * w[i];
  const int st = static_cast<int>(std::clamp<int64_t>(dot >> 16, -2047, 2047));
  const int pm = kSquash[st + 2047];
  const uint32_t pa = apm.interpolated(st, actx);
  bit = coder.code(bit, clamp16((pm * 16 + pa * 3) >> 2));
  for (int i = 0; i < N; ++i) {
    if (limits[i] == 0) continue;
    uint32_t v = *slot[i] ^ kHalf;
    adapt(v, bit, limits[i]);
    *slot[i] = v ^ kHalf;
  }
  const int miss = (bit << 12) - pm;
  if (miss > kSure || miss < -kSure) {
    const int err = miss * rate;
    // Bounded, so no run of outcomes can overflow a weight.
    for (int i = 0; i <= N; ++i) w[i] = std::clamp(w[i] + ((in[i] * err + 0x8000) >> 16), -kMaxWeight, kMaxWeight);
  }
  apm.update(bit, 6);
  return bit;
}

// Buckets of a length: 0, 1, 2-3, 4-7, ... (its bit length, capped).
inline int bits_of(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }
inline int len_bucket(uint32_t v, int cap) { return std::min(bits_of(v), cap); }

using coding::hash_to_bits;

// Carves tables out of one block; measures it when the block is null.
class Carver {
 public:
  explicit Carver(unsigned char* base) : base_(base) {}
  template <class T>
  T* take(size_t n) {
    at_ = (at_ + alignof(T) - 1) & ~(alignof(T) - 1);
    T* p = base_ != nullptr ? reinterpret_cast<T*>(base_ + at_) : nullptr;
    at_ += n * sizeof(T);
    return p;
  }
  size_t size() const { return at_; }

 private:
  unsigned char* base_;
  size_t at_ = 0;
};

struct RunModel : Recency {
  static constexpr int kRanks = 24;  // ranks coded one flag each; beyond, the byte itself
  static constexpr int kGamma = 24;  // unary steps of a run length with their own contexts
  static constexpr uint32_t kFreqStep = 32, kFreqLimit = 60000;
  static constexpr int kTriBits = 16, kQuadBits = 16, kLenHistBits = 16;

  // The tables live in one zeroed block: fresh pages cost nothing until
  // touched, so a small block sets up quickly. Counters are kept xor
  // kHalf and bit histories xor 1, so zero bytes are where they start.
  RunModel() : rank_mix(2 * 8), tail_mix(256), len_mix(kGamma * 4), bits_mix(32 * 2) {
    block.reset(static_cast<unsigned char*>(std::calloc(table_bytes(), 1)));
    if (block) {
      Carver real(block.get());
      carve(real, this);
    }
  }
  bool ok() const { return block != nullptr; }
  static size_t table_bytes() {
    Carver measure(nullptr);
    carve(measure, nullptr);
    return measure.size();
  }

  // Carves the tables out of `c` into m's fields; with m null, only
  // measures them.
  template <class C>
  static void carve(C& c, RunModel* m) {
    place(m, &RunModel::pairs, c.template take<Pair>(65536));
    place(m, &RunModel::tri_hist, c.template take<uint8_t>(size_t{1} << kTriBits));
    place(m, &RunModel::hist_map, c.template take<uint32_t>(12 * 256));
    place(m, &RunModel::quad_hist, c.template take<uint8_t>(size_t{1} << kQuadBits));
    place(m, &RunModel::rank_hist, c.template take<uint32_t>(kRanks * 64));
    place(m, &RunModel::tail, c.template take<uint32_t>(256));
    place(m, &RunModel::tail_sym, c.template take<uint32_t>(256 * 256));
    place(m, &RunModel::len_sym, c.template take<uint32_t>(256 * 32));
    place(m, &RunModel::len_last, c.template take<uint32_t>(256 * 16 * 8));
    place(m, &RunModel::len_ctx, c.template take<uint32_t>(4 * 8 * 32));
    place(m, &RunModel::len_pair, c.template take<uint32_t>(65536));
    place(m, &RunModel::len_hist, c.template take<uint8_t>(size_t{1} << kLenHistBits));
    place(m, &RunModel::len_map, c.template take<uint32_t>(4 * 256));
    place(m, &RunModel::bits_top, c.template take<uint32_t>(32 * 32 * 16));
    place(m, &RunModel::bits_sym, c.template take<uint32_t>(256 * 32 * 2));
    place_refiner(m, &RunModel::rank_apm, c.template take<uint16_t>(4 * 256 * 33));
    place_refiner(m, &RunModel::tail_apm, c.template take<uint16_t>(256 * 33));
    place_refiner(m, &RunModel::len_apm, c.template take<uint16_t>(kGamma * 256 * 33));
    place_refiner(m, &RunModel::bits_apm, c.template take<uint16_t>(32 * 32 * 33));
  }
  template <class T>
  static void place(RunModel* m, T* RunModel::*field, T* table) {
    if (m != nullptr) m->*field = table;
  }
  static void place_refiner(RunModel* m, Apm RunModel::*field, uint16_t* table) {
    if (m != nullptr) (m->*field).attach(table);
  }

  // A share of a total as a probability of a counter.
  static uint32_t share_of(uint32_t part, uint32_t total) {
    const uint64_t p = (uint64_t{part} * 4096 + 2048) / (uint64_t{total} + 32);
    return static_cast<uint32_t>(std::clamp<uint64_t>(p, 1, 4095)) << 20;
  }

  // Codes the rank of the next run's byte (1..255) and returns it.
  template <class Coder>
  int code_rank(Coder& coder, int rank) {
    const uint32_t s1 = list[0], s2 = prev_sym, s3 = prev_sym2;
    const int rb = len_bucket(run1, 3);
    const uint32_t hctx = static_cast<uint32_t>(std::min(rank1, 3) << 2 | std::min(rank2, 3)) << 2 |
                          static_cast<uint32_t>(rb);
    const uint32_t h3 = hash_to_bits(s3 << 16 | s2 << 8 | s1, 0, 32);
    // How often each byte followed s1, among the bytes not yet refused.
    Pair* const row = &pairs[s1 << 8];
    uint32_t rest = freq_total[s1] - row[s1].freq;
    for (int j = 1; j <= kRanks; ++j) {
      const uint32_t c = list[j];
      // 32-bit division: counts stay below 2^16, the row total below 2^17.
      Pair& pc = row[c];
      const uint32_t q = (uint32_t{pc.freq} * 4096 + 2048) / (rest + 64);
      uint32_t share = (std::clamp(q, 1u, 4095u) << 20) ^ kHalf;
      rest -= pc.freq;
      uint8_t& ph = pc.hist;
      uint8_t& th = tri_hist[hash_to_bits(s2 << 8 | s1, c, kTriBits)];
      uint8_t& qh = quad_hist[(h3 ^ c * 0x2545F491u) >> (32 - kQuadBits)];
      const uint32_t jm = static_cast<uint32_t>(std::min(j, 4) - 1);
      uint32_t* slot[6] = {&share,
                           &pc.p,
                           &hist_map[jm << 8 | (ph ^ 1u)],
                           &hist_map[(jm + 4) << 8 | (th ^ 1u)],
                           &hist_map[(jm + 8) << 8 | (qh ^ 1u)],
                           &rank_hist[static_cast<uint32_t>(j - 1) << 6 | hctx]};
      static constexpr uint32_t kLimits[6] = {0, 60, 1000, 1000, 1000, 60};
      const int set = (std::min(j, 2) - 1) * 8 + std::min(rank1, 1) * 4 + rb;
      const int bit = decide<6>(coder, rank == j, slot, kLimits, rank_mix, static_cast<size_t>(set), rank_apm,
                                static_cast<size_t>(std::min(j, 4) - 1) << 8 | c, 12);
      push(ph, bit);
      push(th, bit);
      push(qh, bit);
      if (bit) return j;
    }
    return code_byte(coder, rank);
  }

  // Past the flags the byte itself, 8 bits from the top. Two inputs are
  // the shares of each half among the bytes not yet refused: of the bytes
  // that followed s1, and of all recent bytes.
  template <class Coder>
  int code_byte(Coder& coder, int rank) {
    const uint32_t s1 = list[0];
    const Pair* row = &pairs[s1 << 8];
    uint32_t total1 = freq_total[s1], total0 = order0_total;
    for (int j = 0; j <= kRanks; ++j) {
      total1 -= row[list[j]].freq;
      total0 -= order0[list[j]];
    }
    const uint32_t sym = rank > kRanks ? list[rank] : 0;
    uint32_t node = 1;
    for (int i = 7; i >= 0; --i) {
      // The upper half of the bytes still possible under this node.
      const uint32_t lo = (node << (i + 1) & 255) | 1u << i, hi = lo + (1u << i);
      uint32_t one1 = 0, one0 = 0;
      for (uint32_t k = lo; k < hi; ++k) {
        one1 += row[k].freq;
        one0 += order0[k];
      }
      for (int j = 0; j <= kRanks; ++j) {
        if (list[j] >= lo && list[j] < hi) {
          one1 -= row[list[j]].freq;
          one0 -= order0[list[j]];
        }
      }
      uint32_t p1 = share_of(one1, total1) ^ kHalf, p0 = share_of(one0, total0) ^ kHalf;
      uint32_t* slot[4] = {&p1, &p0, &tail[node], &tail_sym[s1 << 8 | node]};
      static constexpr uint32_t kLimits[4] = {0, 0, 60, 60};
      const int bit = decide<4>(coder, (sym >> i) & 1, slot, kLimits, tail_mix, node, tail_apm, node, 10);
      node = node << 1 | static_cast<uint32_t>(bit);
      total1 = bit ? one1 : total1 - one1;
      total0 = bit ? one0 : total0 - one0;
    }
    // A damaged stream may name a byte that was refused: it stands as it is.
    const auto c = static_cast<unsigned char>(node);
    int r = 0;
    while (list[r] != c) ++r;
    return r;
  }

  // Codes the length (>= 1, < 2^30) of a run of byte c, that had rank `rank`.
  template <class Coder>
  uint32_t code_length(Coder& coder, uint32_t c, int rank, uint32_t len) {
    const int nb = bits_of(len) - 1;
    const uint32_t lb = static_cast<uint32_t>(len_bucket(last_len[c], 15));
    const uint32_t pb = static_cast<uint32_t>(len_bucket(run1, 7));
    const uint32_t rk = static_cast<uint32_t>(std::min(rank, 4) - 1);
    const uint32_t s1 = list[0], s2 = prev_sym;  // the previous runs' bytes: not yet moved
    int got = 0;
    for (; got < 30; ++got) {
      const uint32_t j = static_cast<uint32_t>(std::min(got, kGamma - 1));
      uint8_t& lh = len_hist[hash_to_bits(s2 << 16 | s1 << 8 | c, j, kLenHistBits)];
      uint32_t* slot[5] = {&len_sym[c << 5 | j], &len_last[(c << 4 | lb) << 3 | std::min(j, 7u)],
                           &len_ctx[(rk << 3 | pb) << 5 | j], &len_pair[hash_to_bits(s1 << 8 | c, j, 16)],
                           &len_map[std::min(j, 3u) << 8 | (lh ^ 1u)]};
      static constexpr uint32_t kLimits[5] = {15, 15, 15, 15, 250};
      const int more = decide<5>(coder, nb > got, slot, kLimits, len_mix, j * 4 + rk, len_apm, j << 8 | c, 12);
      push(lh, more);
      if (!more) break;
    }
    uint32_t v = 1;
    for (int i = got - 1; i >= 0; --i) {
      const uint32_t top = v < 8 ? v : 8 | (v & 1);
      const auto g = static_cast<uint32_t>(got);
      const uint32_t first = i == got - 1 ? 0u : 1u;
      uint32_t* slot[2] = {&bits_top[(g << 5 | static_cast<uint32_t>(i)) << 4 | top],
                           &bits_sym[(c << 5 | g) << 1 | first]};
      static constexpr uint32_t kLimits[2] = {60, 60};
      v = v << 1 | static_cast<uint32_t>(decide<2>(coder, (len >> i) & 1, slot, kLimits, bits_mix, g * 2 + first,
                                                   bits_apm, g << 5 | static_cast<uint32_t>(i), 10));
    }
    return v;
  }

  // Moves byte `c` of rank `rank` to the front after a run of `len`.
  void finish(int rank, uint32_t len) {
    const unsigned char c = list[rank];
    const uint32_t s1 = list[0];
    Pair* const row = &pairs[s1 << 8];
    uint16_t& f = row[c].freq;
    f = static_cast<uint16_t>(f + kFreqStep);
    freq_total[s1] += kFreqStep;
    if (f > 65535 - kFreqStep || freq_total[s1] > kFreqLimit) {
      uint32_t total = 0;
      for (uint32_t k = 0; k < 256; ++k) total += row[k].freq = static_cast<uint16_t>(row[k].freq >> 1);
      freq_total[s1] = total;
    }
    order0[c] += 16;
    order0_total += 16;
    if (order0[c] > 4000) {
      order0_total = 0;
      for (auto& v : order0) order0_total += v >>= 1;
    }
    prev_sym2 = prev_sym;
    prev_sym = s1;
    move_to_front(rank, len);
  }

  // A bit history: the last outcomes of a context, up to seven, after a 1
  // (kept xor 1).
  static void push(uint8_t& stored, int bit) {
    const uint32_t v = static_cast<uint32_t>(stored ^ 1) << 1 | static_cast<uint32_t>(bit);
    stored = static_cast<uint8_t>((v >= 256 ? (v & 127) | 128 : v) ^ 1);
  }

  uint32_t prev_sym = 0, prev_sym2 = 0;  // the bytes of the two runs before the previous one
  uint32_t freq_total[256] = {};
  uint32_t order0[256] = {};
  uint32_t order0_total = 0;

  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, Free> block;
  // Rank flags: the share of the candidate among the bytes that followed
  // the previous byte (those already refused left out); by previous byte
  // and candidate, directly and through the history of that flag; the
  // history of the flag after the two previous bytes; the three previous
  // bytes and candidate; rank and recent ranks. Past the flags: the shares
  // of each half among the bytes left, after the previous byte and of all
  // recent bytes (order0); by node, and by node and previous byte.
  // What the model knows of byte c after a run of s1, in one place.
  struct Pair {
    uint32_t p;     // the flag's counter
    uint16_t freq;  // how often c followed s1, decaying
    uint8_t hist;   // the flag's history
    uint8_t unused;
  };
  Pair* pairs;
  uint8_t* tri_hist;
  uint32_t* hist_map;
  uint8_t* quad_hist;
  uint32_t* rank_hist;
  uint32_t* tail;
  uint32_t* tail_sym;
  // Run lengths: by byte, byte and its last run length, rank and previous
  // length, previous byte and byte, the history of the step after the two
  // previous bytes and byte; then the bits below the top one.
  uint32_t* len_sym;
  uint32_t* len_last;
  uint32_t* len_ctx;
  uint32_t* len_pair;
  uint8_t* len_hist;
  uint32_t* len_map;
  uint32_t* bits_top;
  uint32_t* bits_sym;
  Mixer<6> rank_mix;
  Mixer<4> tail_mix;
  Mixer<5> len_mix;
  Mixer<2> bits_mix;
  Apm rank_apm, tail_apm, len_apm, bits_apm;
};

}  // namespace mirt::bwt::v1
