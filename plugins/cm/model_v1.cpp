// The first model set. Hashed contexts; order 1 is indexed directly. Two
// depend on the kind of data: words for text, bytes with gaps for binary
// data. Order 3 is left out: with orders 2, 4 and 6 around it, it saved
// 0.2-1% (most on long text blocks) and cost about 7% of the time. Order 0
// is left out too: 0.4% for an eighth of the work of each bit. Text blocks
// leave out the pair of words (kSetB, the last): it saved 0.3-0.9% on our
// text files, the least of all, and cost about 5% of their time.
#include "cm/model_v1.h"

#include <memory>
#include <new>

#include "cm/bit_history.h"
#include "cm/columns.h"
#include "cm/context_table.h"
#include "cm/match_model.h"
#include "cm/mixer.h"
#include "cm/word_hash.h"
#include "common/adaptive.h"
#include "common/hash.h"

namespace mirt::cm::v1 {
namespace {

using coding::hash2;
using coding::hash3;

enum : int { kSetA, kO2, kColumn, kO4, kO6, kSetB, kHashed };
// Context 0 is order 1, context 1 + h the hashed context h.
constexpr int kContexts = kHashed + 1;
constexpr int kInputs = kContexts + 2;  // plus the match model and a bias
constexpr int kLanes = 16;
static_assert(kInputs <= 10, "the mixer kernel takes ten inputs");

using AdaptiveMap = coding::AdaptiveMap<coding::Step::kShort>;
// The nearest of 33 points answers: interpolating between two saved 0.2%
// and cost 7% of the time.
using Refiner = coding::Refiner<coding::Approach::kFloored>;

int table_bits(uint8_t params) { return kMinTableBits + (params & kTableMask); }

// What the context hashes are made of.
struct Context {
  uint32_t c4, c8, word0, word1, above, col;
};

// kVectors picks the SSE2 kernels; kN is the number of contexts in use:
// all, or all but kSetB.
template <bool kVectors, int kN>
class Model {
  static_assert(kN == kContexts || kN == kContexts - 1);

 public:
  Model(const unsigned char* buf, uint8_t params) : buf_(buf), params_(params) {}
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  bool init() {
    const int bits = table_bits(params_);
    if (!table_.map(bits) || !match_.init(buf_, bits - kMatchTableShift, kMatchMin)) return false;
    o1_.reset(new (std::nothrow) unsigned char[256 * 17 * kTree]());
    weights_.reset(new (std::nothrow) Weights[kWeightSets]);
    if (!o1_ || !weights_) return false;
    match_map_.init(64 * 2, 1023);
    for (int c = 0; c < kWeightSets; ++c)
      for (int i = 0; i < kLanes; ++i) weights_[c].w[i] = static_cast<int16_t>(i < kInputs - 1 ? kStartWeight : 0);
    c1_shift_ = bits >= 14 ? kRefinerDropBits : 17 - bits;
    if (!refine_.init(size_t{256} << (8 - c1_shift_))) return false;
    for (auto& s : slot_) s = o1_.get();
    begin_byte(0, true);
    finish_byte();
    return true;
  }

  // Predicts a bit, has `code` spend it and learns from it. One function,
  // so the bit histories and their slots stay in registers from
  // prediction to update: they are written through byte pointers, which
  // may alias anything, so members would be reloaded.
  template <class Code>
  int bit(Code&& code) {
    const int node = node_;
    unsigned char* slot[kN];
    int st[kN];
    int16_t x[kLanes] = {};
    for (int i = 0; i < kN; ++i) {
      slot[i] = slot_[i];
      st[i] = slot[i][node];
      x[i] = maps_.stretched[i][st[i]];
    }
    const bool matched = predict_match(x);
    x[kContexts + 1] = 256;  // bias
    int16_t* w = weights_[c0_].w;
    const int d = clamp_stretched(mix(x, w) >> kWeightShift);
    const int pr_mix = squash_clamped(d);
    const uint32_t high = (c4_ & 0xFF) >> c1_shift_ << 8;
    const int pr_refined = refine_.nearest(d, static_cast<uint32_t>(c0_) | high);
    if (bit_pos_ < 7) refine_.prefetch(static_cast<uint32_t>(c0_ << 1) | high);
    const int y = code(clamp_p12((pr_mix + 3 * pr_refined + 2) >> 2));

    // With the byte complete, its lookups go out before the training, so
    // the training runs while they are on their way.
    const bool last = bit_pos_ == 7;
    if (last) begin_byte(static_cast<uint32_t>((c0_ << 1 | y) & 0xFF));
    for (int i = 0; i < kN; ++i) ++maps_.seen[i][st[i]][y];
    if (matched) match_map_.update(y);
    train(w, ((y << 12) - pr_mix) * kMixRate / 4);
    refine_.update(y, kRefinerRate);
    for (int i = 0; i < kN; ++i) slot[i][node] = kStates.next[st[i]][y];
    c0_ = c0_ << 1 | y;
    node_ = node << 1 | y;
    ++bit_pos_;
    if (last)
      finish_byte();
    else if (bit_pos_ == 4)
      nibble_update();
    return y;
  }

 private:
  struct alignas(32) Weights {
    int16_t w[kLanes];
  };

  // The bit the longest recent repeat predicts, while it still agrees
  // with the partial byte.
  bool predict_match(int16_t* x) {
    if (match_.length() == 0) return false;
    const int expected = (match_.expected() + 256) >> (7 - bit_pos_);
    if ((expected >> 1) != c0_) {
      match_.drop();
      return false;
    }
    const int len = match_.length() < kMatchLengthCap ? static_cast<int>(match_.length()) : kMatchLengthCap;
    x[kContexts] = static_cast<int16_t>(stretch(match_map_.p(static_cast<uint32_t>(len * 2 + (expected & 1)))));
    return true;
  }

  int32_t mix(const int16_t* x, const int16_t* w) {
    if (kVectors) return dot_fresh10(x, w, x_);
    for (int i = 0; i < kLanes; ++i) x_[i] = x[i];
    return dot_portable<kLanes>(x, w);
  }

  void train(int16_t* w, int e) {
    if (kVectors)
      train_vector<kLanes>(x_, w, e);
    else
      train_portable<kLanes>(x_, w, e);
  }

  void nibble_update() {
    const auto hi = static_cast<unsigned char>((c0_ & 15) + 1);
    for (int i = 0; i < kN - 1; ++i) slot_[1 + i] = ContextTable::second_tree(line_[i], hi);
    slot_[0] = o1_.get() + (static_cast<size_t>(c4_ & 0xFF) * 17 + hi) * kTree;
    node_ = 1;
  }

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
      columns_.update(buf_, pos_, c);
    }
    const Columns::Place at = columns_.here();
    hash_context(Context{c4_, c8_, word0_, word1_, at.above, at.col}, hash_);
    refine_.prefetch(1 | (c4_ & 0xFF) >> c1_shift_ << 8);
    // All lookups of a byte go out together, so their cache misses
    // overlap; the match model works on lines fetched a byte earlier.
    if (c != guessed_ || first)
      for (int i = 0; i < kN - 1; ++i) table_.prefetch(hash_[i]);
  }

  // The lines of the byte after next are asked for as soon as this byte
  // starts, for the byte it most likely is: the one the match model
  // expects, or the one that last followed the same two bytes. When the
  // guess is right, 8 bits of coding hide the wait; when it is wrong, only
  // some memory bandwidth is lost.
  void guess_next() {
    const uint32_t g = match_.length() > 0 ? match_.expected() : guess_[c4_ & 0xFFFF];
    guessed_ = g;
    const Columns::Place at = columns_.after(buf_, pos_, g);
    Context x{c4_ << 8 | g, c8_ << 8 | c4_ >> 24, word0_, word1_, at.above, at.col};
    if (params_ & kText) next_word(g, x.word0, x.word1);
    uint32_t h[kHashed];
    hash_context(x, h);
    for (int i = 0; i < kN - 1; ++i) table_.prefetch_first(h[i]);
  }

  void finish_byte() {
    maps_.at_byte(pos_);
    bit_pos_ = 0;
    node_ = 1;
    c0_ = 1;
    if (pos_ > 0) match_.update(pos_, c4_ & 0xFF);
    guess_next();
    for (int i = 0; i < kN - 1; ++i) slot_[1 + i] = line_[i] = table_.find(hash_[i]);
    slot_[0] = o1_.get() + static_cast<size_t>(c4_ & 0xFF) * 17 * kTree;
  }

  const unsigned char* buf_;
  uint8_t params_;
  ContextTable table_;
  MatchModel match_;
  Columns columns_;
  std::unique_ptr<unsigned char[]> o1_;  // order 1, indexed directly
  alignas(32) int16_t x_[kLanes] = {};   // mixer inputs of the bit being coded
  HistoryMaps<kContexts> maps_;
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
  uint32_t guessed_ = 256;
  unsigned char guess_[65536] = {};  // the byte that last followed two bytes
};

template <bool kVectors, int kN>
bool encode_as(const unsigned char* data, uint32_t len, uint8_t params, Encoder& enc, const Progress& progress) {
  auto model = std::unique_ptr<Model<kVectors, kN>>(new (std::nothrow) Model<kVectors, kN>(data, params));
  return model && model->init() && encode_bytes(*model, data, len, enc, progress);
}

template <bool kVectors, int kN>
bool decode_as(unsigned char* dst, uint32_t len, uint8_t params, Decoder& dec, const Progress& progress) {
  auto model = std::unique_ptr<Model<kVectors, kN>>(new (std::nothrow) Model<kVectors, kN>(dst, params));
  return model && model->init() && decode_bytes(*model, dec, dst, len, progress);
}

}  // namespace

bool encode(const unsigned char* data, uint32_t len, uint8_t params, Kernels kernels, Encoder& enc,
            const Progress& progress) {
  const bool vectors = kernels == Kernels::kBest && kHaveVectors;
  const bool all = !(params & kText);
  if (vectors)
    return all ? encode_as<true, kContexts>(data, len, params, enc, progress)
               : encode_as<true, kContexts - 1>(data, len, params, enc, progress);
  return all ? encode_as<false, kContexts>(data, len, params, enc, progress)
             : encode_as<false, kContexts - 1>(data, len, params, enc, progress);
}

bool decode(unsigned char* dst, uint32_t len, uint8_t params, Kernels kernels, Decoder& dec,
            const Progress& progress) {
  const bool vectors = kernels == Kernels::kBest && kHaveVectors;
  const bool all = !(params & kText);
  if (vectors)
    return all ? decode_as<true, kContexts>(dst, len, params, dec, progress)
               : decode_as<true, kContexts - 1>(dst, len, params, dec, progress);
  return all ? decode_as<false, kContexts>(dst, len, params, dec, progress)
             : decode_as<false, kContexts - 1>(dst, len, params, dec, progress);
}

// The table and the match model's table, order 1, the refiner, the mixer
// weights and the match model's map, and the model itself.
uint64_t model_bytes(uint8_t params) {
  const int bits = table_bits(params);
  const int c1_shift = bits >= 14 ? kRefinerDropBits : 17 - bits;
  uint64_t total = ContextTable::bytes(bits) + MatchModel::bytes(bits - kMatchTableShift) + 256 * 17 * kTree;
  total += (uint64_t{256} << (8 - c1_shift)) * coding::kRefinerPoints * sizeof(uint16_t);
  total += kWeightSets * kLanes * sizeof(int16_t) + 128 * sizeof(uint32_t);
  return total + sizeof(Model<true, kContexts>);
}

}  // namespace mirt::cm::v1
