// The second model set. Against the first one it makes the corpus 3-7%
// smaller (text 4.5%, markup 8%, source 6.5%, executables 3-4%, a tar of
// small binary files 6%, tables of fixed-width records 20%) for about
// twice the time. What the parts brought, each measured by leaving it out:
// - three first-layer mixers and a final one instead of one mixer: 1.4-1.8%
//   on text, 3.1% on machine code, for a quarter more instructions;
// - the refiners of orders 1 and 2: 0.5% on text, 1.7% on machine code;
// - the estimator chain over orders 1 to 6: 0.2-0.5% on text, 0.8% on
//   machine code; run over all eight contexts it cost a third of the time
//   for 0.1% more, so it stops at order 6;
// - the record finder with its table contexts: 20% on a table of records,
//   0.3% on executables;
// - orders 3 and the pair of words, which the first set leaves out for
//   speed, and a second input from the match model (a vote that grows
//   with the length of the repeat) came with the new mixers;
// - two more contexts (contexts_v2.h: indentation and brackets and a word
//   skipped in text, two sparse ones in binary data), in place of the
//   mixers' constant input so the inputs still fill 16 lanes: 1.4% on the
//   corpus (markup 3%, a tar of small files 3%, executables 2-3%, source
//   2%) for about 11% more time.
// The third set (kModel3) keeps machine code as it was and adds, measured
// on the shared corpus against the second set:
// - words in binary data (contexts_v2.h): -5% on a database of package
//   records, -0.04% on a tar of small files;
// - two more contexts in text (the words with the byte above, order 8),
//   so the mixers take 24 lanes: markup -3.8%, source -2.2%, prose
//   -0.2%, records the same; about 15% more time on text only;
// - a constant input in a lane the mixers of text then leave free: 0.1%
//   on each text file.
// Tried and left out: a refiner over the match state and the partial
// byte beside the other two (no gain); matches from 8 bytes instead of 6
// (+0.05%); a hash table of a line per two bytes up to 2^22 lines (-0.1%
// on the large files for twice the memory); first-layer mixer rates of 16
// (+0.1%) or 32 (-0.04%), final rates of 8 or 24 (+-0.03%).
#include "cm/model_v2.h"

#include <cstring>
#include <memory>
#include <new>

#include "cm/bit_history.h"
#include "cm/columns.h"
#include "cm/context_table.h"
#include "cm/contexts_v2.h"
#include "cm/match_model.h"
#include "cm/mixer2.h"
#include "cm/record_model.h"
#include "cm/secondary.h"
#include "common/adaptive.h"

namespace mirt::cm::v2 {
namespace {

// The estimator chain runs from order 1 over orders 2, 3, 4 and 6.
constexpr int kChained = 5;

// Mixer inputs, for kN hashed contexts: a map and (from order 2 on) an
// estimator per context and the match model's two.
template <int kN>
struct Inputs {
  static constexpr int kContexts = kN + 1;
  static constexpr int kMap = 0;
  static constexpr int kChain = kContexts;
  static constexpr int kMatch = kChain + kChained - 1;
  static constexpr int kMatchSure = kMatch + 1;
  static constexpr int kLanes = (kMatchSure + 1 + 7) / 8 * 8;
  // A constant input in a lane left free (the third set's text: 0.1%).
  static constexpr int kBias = kMatchSure + 1 < kLanes ? kMatchSure + 1 : -1;
};
constexpr int kLayers = 3;
// Layer selectors: the partial byte; the match length and bit position;
// the previous byte.
constexpr uint32_t kLayerSets[3] = {256, 16 * 8, 256};
constexpr uint32_t kFinalSets = 256;
constexpr int kMatchLengthCap = 15;

using AdaptiveMap = coding::AdaptiveMap<coding::Step::kShort>;

int table_bits(Params params) { return kMinTableBits + (params & kTableMask); }

Kind kind_of(Params params) {
  if (params & kX86) return Kind::kX86;
  if (params & kText) return Kind::kText;
  return params & kModel3 ? Kind::kBinaryWords : Kind::kBinary;
}

template <bool kVectors, int kN>
class Model {
  using In = Inputs<kN>;
  static constexpr int kContexts = In::kContexts;

 public:
  // `known`: how many bytes of buf are there from the start (the encoder
  // knows them all, the decoder none ahead).
  Model(const unsigned char* buf, Params params, uint32_t known = 0)
      : buf_(buf), known_(known), params_(params), kind_(kind_of(params)) {}
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  bool init() {
    const int bits = table_bits(params_);
    if (!table_.map(bits) || !match_.init(buf_, bits - kMatchTableShift, kMatchMin)) return false;
    o1_.reset(new (std::nothrow) unsigned char[256 * 17 * kTree]());
    if (!o1_ || !mixer_.init(kLayerSets, kFinalSets) || !refiners_.init()) return false;
    match_map_.init(2 * (kMatchLengthCap + 1) * 2, 1023);
    if constexpr (In::kBias >= 0) mixer_.inputs()[In::kBias] = 256;
    for (auto& s : slot_) s = o1_.get();
    begin_byte(0, true);
    finish_byte();
    return true;
  }

  template <class Code>
  int bit(Code&& code) {
    const int node = node_;
    // Unrolled loops, the states in a local copy: the stores of states
    // (bytes, which may alias anything) would otherwise reload them. The
    // pointers are read again where they are needed: kept, they would
    // only be spilled.
    int st[kContexts];
    int16_t* x = mixer_.inputs();
    HistoryMaps<kContexts>& maps = maps_;
#pragma GCC unroll 16
    for (int i = 0; i < kContexts; ++i) {
      st[i] = slot_[i][node];
      x[In::kMap + i] = maps.stretched[i][st[i]];
    }
    int chained = x[In::kMap];
    for (int i = 1; i < kChained; ++i) x[In::kChain + i - 1] = static_cast<int16_t>(chained = chain_.step(i, st[i], chained));
    const bool matched = predict_match(x);
    const uint32_t select[3] = {static_cast<uint32_t>(c0_), match_bucket_ * 8 + static_cast<uint32_t>(bit_pos_),
                                      c4_ & 0xFF};
    const int d = mixer_.mix(select, static_cast<uint32_t>(c0_));
    const int y = code(refiners_.p(d, static_cast<uint32_t>(c0_), bit_pos_ < 7));

    const bool last = bit_pos_ == 7;
    if (last) begin_byte(static_cast<uint32_t>((c0_ << 1 | y) & 0xFF));
    if (matched) match_map_.update(y);
    chain_.update(y);
    mixer_.update(y);
    refiners_.update(y);
    // In order: two contexts may share a line.
#pragma GCC unroll 16
    for (int i = 0; i < kContexts; ++i) {
      ++maps.seen[i][st[i]][y];
      slot_[i][node] = kStates.next[st[i]][y];
    }
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
  // The bit the longest recent repeat predicts, while it still agrees
  // with the partial byte: its map's estimate, and a vote that grows with
  // the length.
  bool predict_match(int16_t* x) {
    x[In::kMatch] = 0;
    x[In::kMatchSure] = 0;
    if (match_.length() == 0) return false;
    const int expected = (match_.expected() + 256) >> (7 - bit_pos_);
    if ((expected >> 1) != c0_) {
      match_.drop();
      match_bucket_ = 0;
      return false;
    }
    const int len = static_cast<int>(match_bucket_);
    x[In::kMatch] = static_cast<int16_t>(stretch(match_map_.p(static_cast<uint32_t>(len * 2 + (expected & 1)))));
    // Within the stretched range, as the mixers' training assumes.
    static_assert(kMatchLengthCap * 64 <= 2047);
    const int sure = len * 64;
    x[In::kMatchSure] = static_cast<int16_t>(expected & 1 ? sure : -sure);
    return true;
  }

  void nibble_update() {
    const auto hi = static_cast<unsigned char>((c0_ & 15) + 1);
    for (int i = 0; i < kN; ++i) slot_[1 + i] = ContextTable::second_tree(line_[i], hi);
    slot_[0] = o1_.get() + (static_cast<size_t>(c4_ & 0xFF) * 17 + hi) * kTree;
    node_ = 1;
  }

  // The next byte's contexts: hashed and their lines prefetched once the
  // byte `c` at pos_ is known (with none before the first byte).
  void begin_byte(uint32_t c, bool first = false) {
    if (!first) {
      guess_[c4_ & 0xFFFF] = static_cast<unsigned char>(c);
      ++pos_;
      hist_.push(c, kind_);
      place(c);
    }
    c4_ = hist_.c4;
    refiners_.begin_byte(c4_ & 0xFF, c4_ >> 8 & 0xFF);
    if (!first && c == guessed_ && hist_ == guessed_hist_) {
      std::memcpy(hash_, guessed_hash_, sizeof hash_);
      return;
    }
    hash_contexts<kN>(kind_, hist_, hash_);
    for (int i = 0; i < kN; ++i) table_.prefetch(hash_[i]);
  }

  // The lines of the byte after next, for the byte it is when known (the
  // encoder), else for the one it most likely is (as the first model set
  // does).
  void guess_next() {
    const uint32_t g = pos_ < known_ ? buf_[pos_] : match_.length() > 0 ? match_.expected() : guess_[c4_ & 0xFFFF];
    guessed_ = g;
    contexts_after(g, guessed_hist_, guessed_hash_);
    for (int i = 0; i < kN; ++i) {
      if (pos_ < known_)
        table_.prefetch(guessed_hash_[i]);
      else
        table_.prefetch_first(guessed_hash_[i]);
    }
  }

  // The history and contexts after the byte at pos_ were `g` (ignoring a
  // change of record length there).
  void contexts_after(uint32_t g, History& x, uint32_t* h) const {
    x = hist_;
    x.push(g, kind_);
    if (x.record == 0) {
      const Columns::Place at = columns_.after(buf_, pos_, g);
      x.above = at.above;
      x.col = at.col;
    } else {
      const uint32_t next = pos_ + 1;  // record > 2: two records up is known
      x.col = next % x.record;
      x.above = next >= x.record ? buf_[next - x.record] : 0;
      x.above2 = next >= 2 * x.record ? buf_[next - 2 * x.record] : 0;
    }
    hash_contexts<kN>(kind_, x, h);
  }

  // Where the next byte stands: in a table once binary data shows a record
  // length, else in lines.
  void place(uint32_t c) {
    columns_.update(buf_, pos_, c);
    if (kind_ != Kind::kText) records_.update(pos_, c);
    const uint32_t r = records_.length();
    hist_.record = r;
    if (r == 0) {
      const Columns::Place at = columns_.here();
      hist_.above = at.above;
      hist_.col = at.col;
      return;
    }
    hist_.col = pos_ % r;
    hist_.above = pos_ >= r ? buf_[pos_ - r] : 0;
    hist_.above2 = pos_ >= 2 * r ? buf_[pos_ - 2 * r] : 0;
  }

  void finish_byte() {
    maps_.at_byte(pos_);
    bit_pos_ = 0;
    node_ = 1;
    c0_ = 1;
    if (pos_ > 0) match_.update(pos_, c4_ & 0xFF);
    const uint32_t len = match_.length();
    match_bucket_ = len == 0 ? 0 : len < 16 ? len / 2 + 1 : len < 32 ? 9 + (len - 16) / 4 : len < 64 ? 13 : 15;
    guess_next();
    for (int i = 0; i < kN; ++i) slot_[1 + i] = line_[i] = table_.find(hash_[i]);
    slot_[0] = o1_.get() + static_cast<size_t>(c4_ & 0xFF) * 17 * kTree;
  }

  const unsigned char* buf_;
  uint32_t known_;
  Params params_;
  Kind kind_;
  ContextTable table_;
  MatchModel match_;
  Columns columns_;
  RecordFinder records_;
  History hist_;
  std::unique_ptr<unsigned char[]> o1_;
  // Inside the model (which is on the heap): no pointer to reload after
  // the stores of states, which may alias anything.
  HistoryMaps<kContexts> maps_;
  IsseChain<kChained> chain_;
  Mixer2<In::kLanes, kLayers, kVectors> mixer_;
  RefinerChain refiners_;
  AdaptiveMap match_map_;

  unsigned char* slot_[kContexts] = {};
  unsigned char* line_[kN] = {};
  uint32_t hash_[kN] = {};
  uint32_t pos_ = 0;
  uint32_t c4_ = 0;
  int c0_ = 1;
  int node_ = 1;
  int bit_pos_ = 0;
  uint32_t match_bucket_ = 0;
  uint32_t guessed_ = 256;
  // The guess's contexts, which the byte reuses when it was guessed right.
  History guessed_hist_;
  uint32_t guessed_hash_[kN] = {};
  unsigned char guess_[65536] = {};
};

// The third set's text models read more contexts.
bool wide(Params params) { return (params & kModel3) && (params & kText) && !(params & kX86); }

template <bool kVectors, int kN>
bool encode_as(const unsigned char* data, uint32_t len, Params params, Encoder& enc, const Progress& progress) {
  auto model = std::unique_ptr<Model<kVectors, kN>>(new (std::nothrow) Model<kVectors, kN>(data, params, len));
  return model && model->init() && encode_bytes(*model, data, len, enc, progress);
}

template <bool kVectors, int kN>
bool decode_as(unsigned char* dst, uint32_t len, Params params, Decoder& dec, const Progress& progress) {
  auto model = std::unique_ptr<Model<kVectors, kN>>(new (std::nothrow) Model<kVectors, kN>(dst, params));
  return model && model->init() && decode_bytes(*model, dec, dst, len, progress);
}

template <bool kVectors>
bool encode_with(const unsigned char* data, uint32_t len, Params params, Encoder& enc, const Progress& progress) {
  return wide(params) ? encode_as<kVectors, kHashedWide>(data, len, params, enc, progress)
                      : encode_as<kVectors, kHashed>(data, len, params, enc, progress);
}

template <bool kVectors>
bool decode_with(unsigned char* dst, uint32_t len, Params params, Decoder& dec, const Progress& progress) {
  return wide(params) ? decode_as<kVectors, kHashedWide>(dst, len, params, dec, progress)
                      : decode_as<kVectors, kHashed>(dst, len, params, dec, progress);
}

template <int kN>
uint64_t model_bytes_of(int bits) {
  uint64_t total = ContextTable::bytes(bits) + MatchModel::bytes(bits - kMatchTableShift) + 256 * 17 * kTree;
  total += RefinerChain::bytes();
  total += Mixer2<Inputs<kN>::kLanes, kLayers, true>::bytes(kLayerSets, kFinalSets);
  return total + sizeof(Model<true, kN>);
}

}  // namespace

bool encode(const unsigned char* data, uint32_t len, Params params, Kernels kernels, Encoder& enc,
            const Progress& progress) {
  return kernels == Kernels::kBest && kHaveVectors ? encode_with<true>(data, len, params, enc, progress)
                                                   : encode_with<false>(data, len, params, enc, progress);
}

bool decode(unsigned char* dst, uint32_t len, Params params, Kernels kernels, Decoder& dec,
            const Progress& progress) {
  return kernels == Kernels::kBest && kHaveVectors ? decode_with<true>(dst, len, params, dec, progress)
                                                   : decode_with<false>(dst, len, params, dec, progress);
}

Params table_param_for(uint32_t len) {
  const uint64_t lines = len > kQuarterLinesFrom ? len / 4 : len / 2;
  int bits = kMinTableBits;
  while (bits < kMaxTableBits && (uint64_t{1} << bits) < lines) ++bits;
  return static_cast<Params>(bits - kMinTableBits);
}

uint64_t model_bytes(Params params) {
  const int bits = table_bits(params);
  return wide(params) ? model_bytes_of<kHashedWide>(bits) : model_bytes_of<kHashed>(bits);
}

}  // namespace mirt::cm::v2
