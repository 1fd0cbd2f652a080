// The second stage of the block-sorting codec (stored form 2): the sorted
// bytes as runs, each run its byte and its length, in few binary
// decisions that each mix a handful of adaptive estimates.
//
// The byte: a flag for each of the first kRankFlags places of a
// move-to-front list (place 0 is the previous run's byte, never asked
// for); past them the place itself, as an Elias-gamma number whose group
// flags and bits weigh how often the bytes of each side followed the
// previous byte and occurred lately. The length: an Elias-gamma number,
// its unary steps in the byte's contexts. Integer arithmetic only, so the
// stored form is the same on every platform.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "bwt/bwt_mixing.h"
#include "bwt/bwt_recency.h"
#include "common/hash.h"

namespace mirt::bwt::model {

// ---- Tuned constants ---------------------------------------------------------
// Measured on the text-like corpus files; each figure is what the choice
// saved against its neighbours.
struct Tuning {
  static constexpr int kRankFlags = 3;  // places asked for one by one (2: +0.05%, 4: -0.02%, slower)
  static constexpr int kLengthSteps = 24;  // unary steps of a length with contexts of their own
  // How often a byte followed another: each run adds kPairStep, a row past
  // kPairLimit is halved. Short memories won 0.5% over 32 and 60000.
  static constexpr uint32_t kPairStep = 128, kPairLimit = 20000;
  // Recent bytes overall, the same way (0.2% over 16 and 4000).
  static constexpr uint32_t kRecentStep = 64, kRecentLimit = 1500;
  // Learning rates (a shift: 1/2^rate of the error).
  static constexpr int kHistoryRate = 7;  // maps of flag histories
  static constexpr int kRankRate = 6;     // the flags in the recent ranks' context
  static constexpr int kGroupRate = 4;    // Elias-gamma groups and bits of a place
  static constexpr int kStepRate = 4;     // unary steps of a length
  static constexpr int kBitRate = 6;      // bits of a length below its top one
  // Mixer learning rates per decision kind.
  static constexpr int kFlagMix = 12, kPlaceMix = 24, kStepMix = 12, kBitMix = 10;
};

class RunModel : public Recency {
 public:
  using T = Tuning;

  RunModel() {
    if (tables_.ok()) refiner_.attach(tables_.first_flag_refiner);
  }
  // False when memory is short.
  bool ok() const { return tables_.ok(); }
  // Memory of one model beside its own size (mixers included).
  static constexpr size_t table_bytes() { return Tables::kBytes + Mixers::kBytes; }

  // Codes the rank (1..255) of the next run's byte and returns it.
  template <class Coder>
  int code_rank(Coder& coder, int rank) {
    const uint32_t s1 = list[0];
    const Flags flags{tables_.pair_row(s1), triple_seed(before_, s1),
                      flag_by_ranks_index(1, rank1, rank2, run1),
                      static_cast<size_t>(std::min(rank1, 1) * 4) + bucket(run1, 3)};
    uint32_t rest = pair_total_[s1] - flags.row[s1].count;
    uint32_t rest_recent = recent_total_ - recent_[s1];
    const int flagged = code_flags<1>(coder, flags, rank, rest, rest_recent);
    if (flagged != 0) return flagged;
    return code_place(coder, flags.row, rank, rest, rest_recent);
  }

  // Codes the length (1 .. 2^30 - 1) of a run of byte `c` of rank `rank`.
  template <class Coder>
  uint32_t code_length(Coder& coder, uint32_t c, int rank, uint32_t len) {
    const Steps steps{&tables_.step_by_byte[step_by_byte_index(c, 0)],
                      &tables_.step_by_last[step_by_last_index(c, last_len[c], 0)],
                      &tables_.step_by_rank[step_by_rank_index(rank, run1, 0)],
                      static_cast<uint32_t>(std::min(rank, 4) - 1)};
    const int top = bits_of(len) - 1;
    const int got = code_steps<0>(coder, steps, top);
    uint32_t v = 1;
    for (int i = got - 1; i >= 0; --i) {
      const auto g = static_cast<uint32_t>(got), at = static_cast<uint32_t>(i);
      uint16_t& by_value = tables_.bit_by_value[bit_by_value_index(g, at, v)];
      uint16_t& by_byte = tables_.bit_by_byte[bit_by_byte_index(c, g, at + 1 == g)];
      const int in[2] = {stretch16(by_value), stretch16(by_byte)};
      const int bit = mix_code(coder, (len >> i) & 1, in, mix_.bits.at(g << 1 | (at + 1 == g ? 0u : 1u)), T::kBitMix);
      learn(by_value, bit, T::kBitRate);
      learn(by_byte, bit, T::kBitRate);
      v = v << 1 | static_cast<uint32_t>(bit);
    }
    return v;
  }

  // Moves byte `rank` to the front after a run of `len`.
  void finish(int rank, uint32_t len) {
    const unsigned char c = list[rank], s1 = list[0];
    count_pair(s1, c);
    count_recent(c);
    before_ = s1;
    move_to_front(rank, len);
  }

 private:
  // What is known of byte c after a run of byte s1.
  struct Pair {
    uint16_t count;   // how often c followed s1, decaying
    History history;  // the outcomes of c's rank flags after s1
    uint8_t unused;
  };

  // ---- Tables and the contexts that index them -----------------------------
  // Each table is named for what selects an entry; its index function
  // stands next to it.
  static constexpr int kTripleBits = 16;
  static size_t pair_index(uint32_t s1, uint32_t c) { return s1 << 8 | c; }
  // Flag histories of (s2, s1, c), hashed: the seed is s2 << 8 | s1
  // spread once per run.
  static uint32_t triple_seed(uint32_t s2, uint32_t s1) { return (s2 << 8 | s1) * coding::kSpread1; }
  static size_t triple_index(uint32_t seed, uint32_t c) {
    return (seed ^ c * coding::kSpread2) * coding::kSpread3 >> (32 - kTripleBits);
  }
  // Maps of a history to a probability: by flag and kind (0: of the
  // pair, 1: of the triple).
  static size_t history_map_index(int flag, int kind, History history) {
    return static_cast<size_t>((flag - 1) * 2 + kind) << 8 | static_cast<uint8_t>(history);
  }
  // A flag in the context of the last two ranks and the last run's length.
  static size_t flag_by_ranks_index(int flag, int rank1, int rank2, uint32_t run1) {
    return static_cast<size_t>(flag - 1) << 6 | static_cast<size_t>(std::min(rank1, 3) << 2 | std::min(rank2, 3)) << 2 |
           bucket(run1, 3);
  }
  // An Elias-gamma group flag of a place, by group and the last rank.
  static size_t group_index(int group, int rank1) { return static_cast<size_t>(group) << 4 | std::min(rank1, 15); }
  // A bit of a place inside its group, by group and the bits so far.
  static size_t place_bit_index(int group, uint32_t node) {
    return (static_cast<size_t>(group) << 8 | std::min(node, 255u)) & 4095;
  }
  // A unary step of a length by the byte; by the byte and its last run's
  // length; by its rank and the previous run's length.
  static size_t step_by_byte_index(uint32_t c, uint32_t step) { return c << 5 | step; }
  static size_t step_by_last_index(uint32_t c, uint32_t last_len, uint32_t step) {
    return (c << 4 | bucket(last_len, 15)) << 3 | std::min(step, 7u);
  }
  static size_t step_by_rank_index(int rank, uint32_t run1, uint32_t step) {
    return (static_cast<uint32_t>(std::min(rank, 4) - 1) << 3 | bucket(run1, 7)) << 5 | step;
  }
  // A bit of a length below its top one: by its bit count, place and the
  // bits above it; by the byte, bit count and whether it is the first.
  static size_t bit_by_value_index(uint32_t bits, uint32_t at, uint32_t above) {
    return (bits << 5 | at) << 4 | (above < 8 ? above : 8 | (above & 1));
  }
  static size_t bit_by_byte_index(uint32_t c, uint32_t bits, bool first) { return (c << 5 | bits) << 1 | (first ? 0u : 1u); }

  // All tables in one allocation; probabilities start at one half.
  struct Tables {
    static constexpr size_t kPairs = 256 * 256, kTriples = size_t{1} << kTripleBits;
    static constexpr size_t kHistoryMaps = T::kRankFlags * 2 * 256, kFlagByRanks = T::kRankFlags * 64;
    static constexpr size_t kGroups = 16 * 16, kPlaceBits = 4096;
    static constexpr size_t kStepByByte = 256 * 32, kStepByLast = 256 * 16 * 8, kStepByRank = 4 * 8 * 32;
    static constexpr size_t kBitByValue = 32 * 32 * 16, kBitByByte = 256 * 32 * 2;
    static constexpr size_t kRefiner = 256 * coding::kRefinerPoints;
    static constexpr size_t kProbabilities = kHistoryMaps + kFlagByRanks + kGroups + kPlaceBits + kStepByByte +
                                             kStepByLast + kStepByRank + kBitByValue + kBitByByte;
    static constexpr size_t kBytes = kPairs * sizeof(Pair) + kTriples * sizeof(History) +
                                     (kProbabilities + kRefiner) * sizeof(uint16_t);

    Tables() : block(new (std::nothrow) unsigned char[kBytes]) {
      if (!block) return;
      unsigned char* at = block.get();
      take(at, pairs, kPairs);
      take(at, triples, kTriples);
      take(at, history_maps, kHistoryMaps);  // the probabilities, one after another
      take(at, flag_by_ranks, kFlagByRanks);
      take(at, groups, kGroups);
      take(at, place_bits, kPlaceBits);
      take(at, step_by_byte, kStepByByte);
      take(at, step_by_last, kStepByLast);
      take(at, step_by_rank, kStepByRank);
      take(at, bit_by_value, kBitByValue);
      take(at, bit_by_byte, kBitByByte);
      take(at, first_flag_refiner, kRefiner);
      std::fill(pairs, pairs + kPairs, Pair{0, History::kEmpty, 0});
      std::fill(triples, triples + kTriples, History::kEmpty);
      std::fill(history_maps, history_maps + kProbabilities, kHalf16);
      std::fill(first_flag_refiner, first_flag_refiner + kRefiner, uint16_t{0});
    }
    bool ok() const { return block != nullptr; }
    Pair* pair_row(uint32_t s1) const { return &pairs[pair_index(s1, 0)]; }

    template <class V>
    static void take(unsigned char*& at, V*& table, size_t n) {
      table = reinterpret_cast<V*>(at);
      at += n * sizeof(V);
    }

    std::unique_ptr<unsigned char[]> block;
    Pair* pairs;                   // pair_index
    History* triples;              // triple_index: flag histories
    uint16_t* history_maps;        // history_map_index
    uint16_t* flag_by_ranks;       // flag_by_ranks_index
    uint16_t* groups;              // group_index
    uint16_t* place_bits;          // place_bit_index
    uint16_t* step_by_byte;        // step_by_byte_index
    uint16_t* step_by_last;        // step_by_last_index
    uint16_t* step_by_rank;        // step_by_rank_index
    uint16_t* bit_by_value;        // bit_by_value_index
    uint16_t* bit_by_byte;         // bit_by_byte_index
    uint16_t* first_flag_refiner;  // 33 points per candidate byte
  };

  // Weight sets of the mixers, by decision kind.
  struct Mixers {
    static constexpr size_t kFlagSets = 2 * 8;   // flag 1 or later, last rank 1 or not, last run's length
    static constexpr size_t kGroupSets = 16;     // by group
    static constexpr size_t kPlaceSets = 8;      // by group, the last ones shared
    static constexpr size_t kStepSets = T::kLengthSteps * 4;  // by step and rank
    static constexpr size_t kBitSets = 32 * 2;   // by bit count and whether first
    static constexpr size_t kBytes =
        (kFlagSets * 5 + kGroupSets * 3 + kPlaceSets * 3 + kStepSets * 3 + kBitSets * 2) * sizeof(int32_t);
    Weights<5> flags{kFlagSets};
    Weights<3> groups{kGroupSets};
    Weights<3> place{kPlaceSets};
    Weights<3> steps{kStepSets};
    Weights<2> bits{kBitSets};
  };

  // What the flags of one run share, worked out once: the pair counts
  // after the previous byte, the seed of the triples' hash, the first
  // flag's entry by ranks and its mixer set.
  struct Flags {
    Pair* row;
    uint32_t triple_seed;
    size_t by_ranks;
    size_t set;
  };

  // Flags j and on, each its own copy (a constant j folds its indexes);
  // returns the rank a flag named, or 0 past the last.
  template <int j, class Coder>
  int code_flags(Coder& coder, const Flags& f, int rank, uint32_t& rest, uint32_t& rest_recent) {
    if constexpr (j > T::kRankFlags) {
      return 0;
    } else {
      if (code_flag<j>(coder, f, rank == j, rest, rest_recent)) return j;
      return code_flags<j + 1>(coder, f, rank, rest, rest_recent);
    }
  }

  template <int j, class Coder>
  int code_flag(Coder& coder, const Flags& f, int bit, uint32_t& rest, uint32_t& rest_recent) {
    const uint32_t c = list[j];
    Pair& pair = f.row[c];
    const uint32_t recent = recent_[c];
    const int pair_share = share(pair.count, rest, 64), recent_share = share(recent, rest_recent, 64);
    rest -= pair.count;
    rest_recent -= recent;
    History& triple = tables_.triples[triple_index(f.triple_seed, c)];
    uint16_t& by_pair = tables_.history_maps[history_map_index(j, 0, pair.history)];
    uint16_t& by_triple = tables_.history_maps[history_map_index(j, 1, triple)];
    uint16_t& by_ranks = tables_.flag_by_ranks[f.by_ranks + static_cast<size_t>(j - 1) * 64];
    const int in[5] = {pair_share, stretch16(by_pair), stretch16(by_triple), stretch16(by_ranks), recent_share};
    int32_t* w = mix_.flags.at(f.set + (j > 1 ? 8 : 0));
    if constexpr (j == 1)
      bit = mix_refine_code(coder, bit, in, w, T::kFlagMix, refiner_, c);
    else
      bit = mix_code(coder, bit, in, w, T::kFlagMix);
    learn(by_pair, bit, T::kHistoryRate);
    learn(by_triple, bit, T::kHistoryRate);
    learn(by_ranks, bit, T::kRankRate);
    push(pair.history, bit);
    push(triple, bit);
    return bit;
  }

  // Counts of list[a..b) after the previous byte and lately, added to
  // `pairs` and `recent`. Eight bytes of the list are read as one word: a
  // vectorised loop would take the bytes apart through memory.
  void add_eight(const Pair* row, int a, uint32_t& pairs, uint32_t& recent) const {
    uint64_t bytes;
    std::memcpy(&bytes, &list[a], 8);
    for (int k = 0; k < 64; k += 8) {
      const auto c = static_cast<uint8_t>(bytes >> k);
      pairs += row[c].count;
      recent += recent_[c];
    }
  }
  void add_one(const Pair* row, int j, uint32_t& pairs, uint32_t& recent) const {
    pairs += row[list[j]].count;
    recent += recent_[list[j]];
  }
  void counts_of(const Pair* row, int a, int b, uint32_t& pairs, uint32_t& recent) const {
    pairs = recent = 0;
    for (; a + 8 <= b; a += 8) add_eight(row, a, pairs, recent);
    for (; a < b; ++a) add_one(row, a, pairs, recent);
  }
  // The same over a range known when compiling.
  template <int a, int b>
  void counts_in(const Pair* row, int from, uint32_t& pairs, uint32_t& recent) const {
    constexpr int kWords = (b - a) / 8;
    pairs = recent = 0;
    for (int w = 0; w < kWords; ++w) add_eight(row, from + a + 8 * w, pairs, recent);
    for (int j = a + 8 * kWords; j < b; ++j) add_one(row, from + j, pairs, recent);
  }

  // Places past the flags: v = rank - kRankFlags >= 1 in group g =
  // bit length - 1, a flag per group, then the bits below the top one.
  // Each decision weighs the counts on either side; what a group holds is
  // known from its flag (or, for the last, from what is left), so a bit
  // sums only its upper half.
  template <class Coder>
  int code_place(Coder& coder, const Pair* row, int rank, uint32_t rest, uint32_t rest_recent) {
    constexpr int K = T::kRankFlags;
    const int group_of_rank = rank > K ? bits_of(static_cast<uint32_t>(rank - K)) - 1 : 0;
    static_assert(K + (2 << 6) < 256 && K + (2 << 7) >= 256, "groups 0-6 are whole, 7 the last");
    const int g = code_groups<0>(coder, row, group_of_rank, rest, rest_recent);
    Place p{row, rank, K + (1 << g), std::min(K + (2 << g), 256), 1, rest, rest_recent};
    switch (g) {  // groups but the last hold 2^g places: their halves are known when compiling
      case 0: return p.lo;
      case 1: return code_bits<1>(coder, g, p);
      case 2: return code_bits<2>(coder, g, p);
      case 3: return code_bits<3>(coder, g, p);
      case 4: return code_bits<4>(coder, g, p);
      case 5: return code_bits<5>(coder, g, p);
      case 6: return code_bits<6>(coder, g, p);
      default: return code_bits<0>(coder, g, p);
    }
  }

  // The search for a place inside its group: places [lo, hi).
  struct Place {
    const Pair* row;
    int rank, lo, hi;
    uint32_t node, rest, rest_recent;
  };

  // The bits of a place in group g, `bits` of them when that is known
  // (else 0) while compiling.
  template <int bits, class Coder>
  int code_bits(Coder& coder, int g, Place& p) {
    if constexpr (bits > 0) {
      uint32_t high_pair, high_recent;
      counts_in<0, 1 << (bits - 1)>(p.row, p.lo + (1 << (bits - 1)), high_pair, high_recent);
      code_half(coder, g, p, 1 << (bits - 1), high_pair, high_recent);
      if constexpr (bits > 1) return code_bits<bits - 1>(coder, g, p);
      return p.lo;
    } else {
      while (p.hi - p.lo > 1) {
        const int half = 1 << (bits_of(static_cast<uint32_t>(p.hi - p.lo - 1)) - 1);
        uint32_t high_pair, high_recent;
        counts_of(p.row, p.lo + half, p.hi, high_pair, high_recent);
        code_half(coder, g, p, half, high_pair, high_recent);
      }
      return p.lo;
    }
  }

  // Whether the place lies `half` or more past lo, from the counts above.
  template <class Coder>
  void code_half(Coder& coder, int g, Place& p, int half, uint32_t high_pair, uint32_t high_recent) {
    const int mid = p.lo + half;
    uint16_t& by_node = tables_.place_bits[place_bit_index(g, p.node)];
    const int in[3] = {share(high_pair, p.rest, 32), share(high_recent, p.rest_recent, 32), stretch16(by_node)};
    int32_t* const w = mix_.place.at(static_cast<size_t>(std::min(g, 7)));
    const int bit = mix_code(coder, p.rank >= mid, in, w, T::kPlaceMix);
    learn(by_node, bit, T::kGroupRate);
    p.node = p.node << 1 | static_cast<uint32_t>(bit);
    p.rest = bit ? high_pair : p.rest - high_pair;
    p.rest_recent = bit ? high_recent : p.rest_recent - high_recent;
    (bit ? p.lo : p.hi) = mid;
  }

  // The group flags from group g on, each its own copy (a constant g
  // folds the bounds of its counts); returns the group a flag named, or
  // the last, which holds 255 and needs no flag. Leaves in `rest` the
  // counts of that group.
  template <int g, class Coder>
  int code_groups(Coder& coder, const Pair* row, int group_of_rank, uint32_t& rest, uint32_t& rest_recent) {
    constexpr int K = T::kRankFlags;
    if constexpr (K + (2 << g) >= 256) {
      return g;
    } else {
      uint32_t pair_count, recent_count;
      counts_in<K + (1 << g), K + (2 << g)>(row, 0, pair_count, recent_count);
      uint16_t& by_group = tables_.groups[group_index(g, rank1)];
      const int in[3] = {share(pair_count, rest, 32), share(recent_count, rest_recent, 32), stretch16(by_group)};
      const int bit = mix_code(coder, group_of_rank == g, in, mix_.groups.at(size_t{g}), T::kPlaceMix);
      learn(by_group, bit, T::kGroupRate);
      if (bit) {
        rest = pair_count;
        rest_recent = recent_count;
        return g;
      }
      rest -= pair_count;
      rest_recent -= recent_count;
      return code_groups<g + 1>(coder, row, group_of_rank, rest, rest_recent);
    }
  }

  // What the unary steps of one length share: the rows of the byte, of
  // the byte and its last length, of the rank and the previous length;
  // the rank's mixer sets.
  struct Steps {
    uint16_t* by_byte;
    uint16_t* by_last;
    uint16_t* by_rank;
    uint32_t rank_set;
  };

  // The unary steps from `step` on, the first few each a copy of its own
  // (most lengths take one or two); returns the steps taken, at most 30.
  template <int step, class Coder>
  int code_steps(Coder& coder, const Steps& s, int top) {
    if constexpr (step < 2) {
      if (!code_step(coder, s, step, top > step)) return step;
      return code_steps<step + 1>(coder, s, top);
    } else {
      int got = step;
      while (got < 30 && code_step(coder, s, got, top > got)) ++got;
      return got;
    }
  }

  template <class Coder>
  int code_step(Coder& coder, const Steps& s, int step, int more) {
    const auto j = static_cast<uint32_t>(std::min(step, T::kLengthSteps - 1));
    uint16_t& by_byte = s.by_byte[j];
    uint16_t& by_last = s.by_last[std::min(j, 7u)];
    uint16_t& by_rank = s.by_rank[j];
    const int in[3] = {stretch16(by_byte), stretch16(by_last), stretch16(by_rank)};
    more = mix_code(coder, more, in, mix_.steps.at(j * 4 + s.rank_set), T::kStepMix);
    learn(by_byte, more, T::kStepRate);
    learn(by_last, more, T::kStepRate);
    learn(by_rank, more, T::kStepRate);
    return more;
  }

  void count_pair(uint32_t s1, uint32_t c) {
    Pair* row = tables_.pair_row(s1);
    row[c].count = static_cast<uint16_t>(row[c].count + T::kPairStep);
    pair_total_[s1] += T::kPairStep;
    if (row[c].count > 65535 - T::kPairStep || pair_total_[s1] > T::kPairLimit) {
      pair_total_[s1] = halve_counts(row);
    }
  }

  // Halves the counts of a row, a pair as one 32-bit word (so the loop
  // vectorises); returns their sum.
  static uint32_t halve_counts(Pair* row) {
    static_assert(sizeof(Pair) == 4 && offsetof(Pair, count) == 0);
    constexpr int kShift = std::endian::native == std::endian::little ? 0 : 16;
    uint32_t total = 0;
    for (uint32_t k = 0; k < 256; ++k) {
      uint32_t w;
      std::memcpy(&w, &row[k], 4);
      const uint32_t half = (w >> kShift & 0xFFFF) >> 1;
      total += half;
      w = (w & ~(uint32_t{0xFFFF} << kShift)) | half << kShift;
      std::memcpy(&row[k], &w, 4);
    }
    return total;
  }

  void count_recent(uint32_t c) {
    recent_[c] += T::kRecentStep;
    recent_total_ += T::kRecentStep;
    if (recent_[c] > T::kRecentLimit) {
      uint32_t total = 0;  // a local: a member could alias the counts and stop vectorising
      for (auto& v : recent_) total += v >>= 1;
      recent_total_ = total;
    }
  }

  Tables tables_;
  Mixers mix_;
  Refiner refiner_;                  // of the first flag, over tables_.first_flag_refiner
  uint32_t pair_total_[256] = {};    // sum of the pair counts after each byte
  uint32_t recent_[256] = {};        // recent counts of each byte
  uint32_t recent_total_ = 0;
  uint32_t before_ = 0;              // the byte of the run before the previous one
};

}  // namespace mirt::bwt::model
