// Block-sorting codec. Stored body:
//   varint n, varint primary index, then one binary arithmetic-coded stream.
// The sorted bytes are coded one at a time: first a flag "same byte as the
// previous one" (long runs dominate sorted text), then, only when the byte
// changes, its 8 bits from the top. Each binary decision mixes a few
// adaptive probabilities in the logistic domain and refines the mix with an
// interpolated secondary estimate. Everything is integer arithmetic, so the
// stored form is the same on every platform.
#include "bwt_codec.h"

#include <divsufsort.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace mirt::bwt {
namespace {

// ---- Logistic helpers: 12-bit probabilities, stretch domain +-2047 -------

// 4096 / (1 + e^(-x/256)) at x = -2048, -1920, ..., 2048.
constexpr int kSquashPoints[33] = {1,    2,    4,    6,    10,   17,   27,   45,   74,
                                   120,  194,  311,  488,  747,  1102, 1546, 2048, 2550,
                                   2994, 3349, 3608, 3785, 3902, 3976, 4022, 4051, 4069,
                                   4079, 4086, 4090, 4092, 4094, 4095};

constexpr int squash(int d) {
  if (d > 2047) return 4095;
  if (d < -2047) return 1;
  const int w = d & 127;
  const int i = (d >> 7) + 16;
  return (kSquashPoints[i] * (128 - w) + kSquashPoints[i + 1] * w + 64) >> 7;
}

constexpr std::array<int16_t, 4096> make_stretch() {
  std::array<int16_t, 4096> t{};
  int next = 0;
  for (int x = -2047; x <= 2047; ++x) {
    const int v = squash(x);
    for (int j = next; j <= v; ++j) t[j] = static_cast<int16_t>(x);
    next = v + 1;
  }
  for (int j = next; j < 4096; ++j) t[j] = 2047;
  return t;
}
constexpr std::array<int16_t, 4096> kStretch = make_stretch();

inline int stretch(uint32_t p16) { return kStretch[p16 >> 4]; }

// A probability of a 1 in 16 bits, moved towards each outcome by 2^-rate.
template <int Rate>
inline void update(uint16_t& p, int bit) {
  if (bit)
    p = static_cast<uint16_t>(p + ((65536 - p) >> Rate));
  else
    p = static_cast<uint16_t>(p - (p >> Rate));
}

// A probability with a count of its updates: it moves by 1/(n+1.5) of the
// error, so a new context learns at once, and by 1/(Limit+1.5) when settled.
constexpr std::array<uint32_t, 256> make_reciprocals() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) t[n] = 65536u * 2 / (2 * n + 3);
  return t;
}
constexpr std::array<uint32_t, 256> kReciprocal = make_reciprocals();

constexpr uint32_t kHalf = 1u << 31;
inline uint32_t p16_of(uint32_t v) { return v >> 16; }

template <uint32_t Limit>
inline void adapt(uint32_t& v, int bit) {
  const uint32_t n = v & 255;
  const int64_t p = v >> 8;
  const int64_t target = bit ? (1 << 24) - 1 : 0;
  const int64_t np = p + (((target - p) * kReciprocal[n]) >> 16);
  v = static_cast<uint32_t>(np) << 8 | (n < Limit ? n + 1 : n);
}

// Logistic mixing of N stretched inputs with one weight set per context.
template <int N>
struct Mixer {
  explicit Mixer(int sets) : weights(new int32_t[static_cast<size_t>(sets) * N]) {
    for (int i = 0; i < sets * N; ++i) weights[i] = 22000;
  }
  int mix(const int* in, int set) {
    w = &weights[static_cast<size_t>(set) * N];
    inputs = in;
    int64_t dot = 0;
    for (int i = 0; i < N; ++i) dot += int64_t{in[i]} * w[i];
    pr = squash(static_cast<int>(dot >> 16));
    return pr;
  }
  void learn(int bit, int rate) {
    const int err = ((bit << 12) - pr) * rate;
    for (int i = 0; i < N; ++i) w[i] += (inputs[i] * err + 0x8000) >> 16;
  }
  std::unique_ptr<int32_t[]> weights;
  int32_t* w = nullptr;
  const int* inputs = nullptr;
  int pr = 2048;
};

// Secondary estimation: maps a probability to a refined one per context by
// interpolating between 33 points on the stretch axis.
struct Apm {
  explicit Apm(size_t contexts) : t(new uint16_t[contexts * 33]) {
    for (int j = 0; j < 33; ++j) t[j] = static_cast<uint16_t>(squash((j - 16) * 128) * 16);
    for (size_t c = 1; c < contexts; ++c) std::memcpy(&t[c * 33], &t[0], 33 * sizeof t[0]);
  }
  // Returns a 16-bit probability.
  uint32_t refine(int st, size_t ctx) {
    const int pos = (st + 2048) * 32;
    const int lo = pos >> 12;
    const int w = pos & 4095;
    index = ctx * 33 + static_cast<size_t>(lo);
    weight = w;
    return (t[index] * static_cast<uint32_t>(4096 - w) + t[index + 1] * static_cast<uint32_t>(w)) >>
           12;
  }
  void learn(int bit) {
    const size_t i = weight < 2048 ? index : index + 1;
    update<6>(t[i], bit);
  }
  std::unique_ptr<uint16_t[]> t;
  size_t index = 0;
  int weight = 0;
};

// ---- Binary arithmetic coder, 32-bit, carry-less ---------------------

class Encoder {
 public:
  Encoder(unsigned char* out, unsigned char* end) : out_(out), end_(end) {}
  // p16: probability of a 1 in (0, 65536).
  int code(int bit, uint32_t p16) {
    const uint32_t mid = lo_ + static_cast<uint32_t>((uint64_t{hi_ - lo_} * p16) >> 16);
    if (bit)
      hi_ = mid;
    else
      lo_ = mid + 1;
    while (((lo_ ^ hi_) & 0xFF000000u) == 0) {
      put(static_cast<unsigned char>(hi_ >> 24));
      lo_ <<= 8;
      hi_ = hi_ << 8 | 255;
    }
    return bit;
  }
  // One byte suffices: the decoder reads zeros past the end, and the top
  // byte of hi followed by zeros lies inside [lo, hi].
  void flush() { put(static_cast<unsigned char>(hi_ >> 24)); }
  bool overflow() const { return overflow_; }
  unsigned char* position() const { return out_; }

 private:
  void put(unsigned char c) {
    if (out_ < end_)
      *out_++ = c;
    else
      overflow_ = true;
  }
  unsigned char* out_;
  unsigned char* end_;
  uint32_t lo_ = 0, hi_ = 0xFFFFFFFFu;
  bool overflow_ = false;
};

class Decoder {
 public:
  Decoder(const unsigned char* in, const unsigned char* end) : in_(in), end_(end) {
    for (int i = 0; i < 4; ++i) x_ = x_ << 8 | get();
  }
  int code(int, uint32_t p16) {
    const uint32_t mid = lo_ + static_cast<uint32_t>((uint64_t{hi_ - lo_} * p16) >> 16);
    const int bit = x_ <= mid;
    if (bit)
      hi_ = mid;
    else
      lo_ = mid + 1;
    while (((lo_ ^ hi_) & 0xFF000000u) == 0) {
      lo_ <<= 8;
      hi_ = hi_ << 8 | 255;
      x_ = x_ << 8 | get();
    }
    return bit;
  }

 private:
  uint32_t get() { return in_ < end_ ? *in_++ : 0; }
  const unsigned char* in_;
  const unsigned char* end_;
  uint32_t lo_ = 0, hi_ = 0xFFFFFFFFu, x_ = 0;
};

// ---- The model of the sorted bytes --------------------------------------

inline uint32_t clamp16(uint32_t p) { return p < 32 ? 32 : p > 65504 ? 65504 : p; }

// Runs of up to 7 exactly, then by powers of two.
inline int run_bucket(uint32_t run) {
  if (run < 8) return static_cast<int>(run);
  int b = 8;
  for (uint32_t r = run >> 4; r != 0 && b < 15; r >>= 1) ++b;
  return b;
}

// Small blocks get smaller literal tables: setting up the full ones would
// cost more than coding the block.
inline int log2_floor(uint32_t n) {
  int b = 0;
  while (n >>= 1) ++b;
  return b;
}

// Each byte is coded as a flag "same as the previous byte" and, when it
// differs, its 8 bits from the top. Asking for further recent bytes (second,
// third most recent) before the literal measured slightly larger on text.
struct Model {
  explicit Model(uint32_t n)
      : pair_bits(std::clamp(log2_floor(n) - 8, 4, 12)),
        apm_shift(8 - std::clamp(log2_floor(n) - 6, 0, 8)),
        run_mixer(16),
        lit_mixer(256 * 4),
        run_apm(256 * 16),
        lit_apm(size_t{256} << (8 - apm_shift)) {
    for (auto& v : run_fast) v = 32768;
    for (auto& v : run_slow) v = kHalf;
    for (auto& v : run_pair) v = kHalf;
    for (auto& v : run_hist) v = 32768;
    for (auto& v : lit0) v = 32768;
    for (auto& v : lit1) v = 32768;
    for (auto& v : lit1_slow) v = kHalf;
    lit2.reset(new uint32_t[size_t{256} << pair_bits]);
    std::fill_n(lit2.get(), size_t{256} << pair_bits, kHalf);
  }

  // Codes one byte; the coder returns the bits it codes (encoding) or
  // decodes (decoding).
  template <class Coder>
  int code(Coder& coder, int byte) {
    const int rb = run_bucket(run);
    const size_t fs = static_cast<size_t>(c1) << 4 | static_cast<size_t>(rb);
    const size_t fp = static_cast<size_t>(c2) << 8 | static_cast<size_t>(c1);
    const size_t fh = static_cast<size_t>(flags & 63) << 4 | static_cast<size_t>(rb);
    int in[5] = {stretch(run_fast[fs]), stretch(p16_of(run_slow[fs])), stretch(p16_of(run_pair[fp])),
                 stretch(run_hist[fh]), 256};
    const int pm = run_mixer.mix(in, rb);
    const uint32_t pa = run_apm.refine(kStretch[pm], fs);
    const int same = coder.code(byte == c1, clamp16((pm * 16 + pa * 3) >> 2));
    update<4>(run_fast[fs], same);
    adapt<60>(run_slow[fs], same);
    adapt<20>(run_pair[fp], same);
    update<5>(run_hist[fh], same);
    run_mixer.learn(same, 14);
    run_apm.learn(same);
    flags = flags << 1 | static_cast<uint32_t>(same);
    if (same) {
      ++run;
      return c1;
    }

    const uint32_t pair = ((static_cast<uint32_t>(c2) << 8 | static_cast<uint32_t>(c1)) * 0x9E3779B1u) >>
                          (32 - pair_bits);
    uint16_t* o1 = &lit1[static_cast<size_t>(c1) << 8];
    uint32_t* o1s = &lit1_slow[static_cast<size_t>(c1) << 8];
    uint32_t* o2 = &lit2[static_cast<size_t>(pair) << 8];
    const int set_base = rb < 2 ? 0 : rb < 4 ? 256 : rb < 8 ? 512 : 768;
    int ctx = 1;
    for (int i = 7; i >= 0; --i) {
      int lin[5] = {stretch(lit0[ctx]), stretch(o1[ctx]), stretch(p16_of(o1s[ctx])),
                    stretch(p16_of(o2[ctx])), 256};
      const int lm = lit_mixer.mix(lin, set_base + ctx);
      const uint32_t la = lit_apm.refine(kStretch[lm], static_cast<size_t>(c1 >> apm_shift) << 8 | ctx);
      const int bit = coder.code((byte >> i) & 1, clamp16((lm * 16 + la * 3) >> 2));
      update<5>(lit0[ctx], bit);
      update<4>(o1[ctx], bit);
      adapt<60>(o1s[ctx], bit);
      adapt<20>(o2[ctx], bit);
      lit_mixer.learn(bit, 10);
      lit_apm.learn(bit);
      ctx = ctx << 1 | bit;
    }
    c2 = c1;
    c1 = ctx & 255;
    run = 0;
    return c1;
  }

  const int pair_bits;  // hashed (c2, c1) literal contexts: 2^pair_bits
  const int apm_shift;  // literal refinement by the top 8 - apm_shift bits of c1
  // Run flag: by previous byte and run length (two rates), by the byte
  // before the run and the previous byte, by the last six flags.
  std::array<uint16_t, 256 * 16> run_fast;
  std::array<uint32_t, 256 * 16> run_slow;
  std::array<uint32_t, 65536> run_pair;
  std::array<uint16_t, 64 * 16> run_hist;
  // Literal bits: order 0, previous byte (two rates), the last two distinct bytes.
  std::array<uint16_t, 256> lit0;
  std::array<uint16_t, 65536> lit1;
  std::array<uint32_t, 65536> lit1_slow;
  std::unique_ptr<uint32_t[]> lit2;
  Mixer<5> run_mixer, lit_mixer;
  Apm run_apm, lit_apm;
  int c1 = 0, c2 = 0;  // the previous byte and the distinct byte before it
  uint32_t run = 0;    // earlier bytes equal to c1, after the first
  uint32_t flags = 0;
};

// ---- Header ---------------------------------------------------------------

unsigned char* put_varint(unsigned char* p, const unsigned char* end, uint32_t v) {
  while (v >= 128) {
    if (p == end) return nullptr;
    *p++ = static_cast<unsigned char>(v | 128);
    v >>= 7;
  }
  if (p == end) return nullptr;
  *p++ = static_cast<unsigned char>(v);
  return p;
}

const unsigned char* get_varint(const unsigned char* p, const unsigned char* end, uint32_t& v) {
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

// Part j of the block is [j * n / chains, (j + 1) * n / chains).
uint32_t part_begin(uint32_t n, int chains, int j) {
  return static_cast<uint32_t>(static_cast<uint64_t>(n) * static_cast<uint32_t>(j) / static_cast<uint32_t>(chains));
}

std::unique_ptr<Model> make_model(uint32_t n) {
  try {
    return std::make_unique<Model>(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

template <class T>
std::unique_ptr<T[]> allocate(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

}  // namespace

uint32_t forward(const unsigned char* src, uint32_t n, unsigned char* out, uint32_t* starts) {
  if (n == 0 || n > kMaxBlock) return 0;
  auto sa = allocate<saidx_t>(n);
  if (!sa || divsufsort(src, sa.get(), static_cast<saidx_t>(n)) != 0) return 0;
  // Row 0 is the end marker's; suffix sa[i] is row i + 1. The marker's own
  // entry in the last column (the row of the whole block) is left out.
  const int chains = chains_for(n);
  out[0] = src[n - 1];
  uint32_t primary = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const auto pos = static_cast<uint32_t>(sa[i]);
    if (pos == 0) {
      primary = i + 1;
      continue;
    }
    out[primary == 0 ? i + 1 : i] = src[pos - 1];
    // A part ending at `pos` starts its backward walk in this row.
    if (chains > 1) {
      const auto part = static_cast<int>(static_cast<uint64_t>(pos) * static_cast<uint32_t>(chains) / n);
      for (int j = part; j <= part + 1; ++j)
        if (j > 0 && j < chains && part_begin(n, chains, j) == pos) starts[j - 1] = primary == 0 ? i + 1 : i;
    }
  }
  return primary;
}

namespace {

// Walks all parts backwards at once; `step(p, k)` writes position k from
// row p and returns the next row.
template <class Step>
void walk(uint32_t n, int chains, const uint32_t* starts, Step step) {
  uint32_t row[kMaxChains], at[kMaxChains], begin[kMaxChains];
  for (int j = 0; j < chains; ++j) {
    row[j] = j + 1 < chains ? starts[j] : 0;
    begin[j] = part_begin(n, chains, j);
    at[j] = part_begin(n, chains, j + 1);
  }
  uint32_t shortest = n;
  for (int j = 0; j < chains; ++j) shortest = std::min(shortest, at[j] - begin[j]);
  for (uint32_t s = 0; s < shortest; ++s)
    for (int j = 0; j < chains; ++j) row[j] = step(row[j], --at[j]);
  for (int j = 0; j < chains; ++j)
    while (at[j] > begin[j]) row[j] = step(row[j], --at[j]);
}

}  // namespace

// The last column is that of the rotations of the block followed by an end
// marker smaller than every byte, with the marker's own entry (at `primary`)
// left out. Walking the last-to-first mapping gives the block backwards.
bool inverse(const unsigned char* last, uint32_t n, uint32_t primary, const uint32_t* starts,
             unsigned char* out) {
  if (n == 0 || primary == 0 || primary > n) return false;
  const int chains = chains_for(n);
  for (int j = 0; j + 1 < chains; ++j)
    if (starts[j] >= n) return false;
  uint32_t base[256] = {};
  for (uint32_t j = 0; j < n; ++j) ++base[last[j]];
  uint32_t sum = 1;  // row 0 is the marker's
  for (auto& b : base) {
    const uint32_t count = b;
    b = sum;
    sum += count;
  }
  if (n < (1u << 24)) {
    // Next position and byte in one word: one cache miss per step.
    auto next = allocate<uint32_t>(n);
    if (!next) return false;
    for (uint32_t j = 0; j < n; ++j) {
      const uint32_t row = base[last[j]]++;
      next[j] = (row < primary ? row : row - 1) << 8 | last[j];
    }
    walk(n, chains, starts, [&](uint32_t p, uint32_t k) {
      const uint32_t v = next[p];
      out[k] = static_cast<unsigned char>(v);
      return v >> 8;
    });
    return true;
  }
  auto next = allocate<uint32_t>(n);
  auto bytes = allocate<unsigned char>(n);
  if (!next || !bytes) return false;
  std::memcpy(bytes.get(), last, n);
  for (uint32_t j = 0; j < n; ++j) {
    const uint32_t row = base[bytes[j]]++;
    next[j] = row < primary ? row : row - 1;
  }
  walk(n, chains, starts, [&](uint32_t p, uint32_t k) {
    out[k] = bytes[p];
    return next[p];
  });
  return true;
}

uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit) {
  if (len == 0 || len > kMaxBlock || limit == 0) return kDeclined;
  auto last = allocate<unsigned char>(len);
  if (!last) return kDeclined;
  uint32_t starts[kMaxChains] = {};
  const uint32_t primary = forward(src, len, last.get(), starts);
  if (primary == 0) return kDeclined;
  unsigned char* const end = dst + limit;
  unsigned char* p = put_varint(dst, end, len);
  if (p != nullptr) p = put_varint(p, end, primary);
  for (int j = 0; p != nullptr && j + 1 < chains_for(len); ++j) p = put_varint(p, end, starts[j]);
  if (p == nullptr) return kDeclined;

  std::unique_ptr<Model> model = make_model(len);
  if (!model) return kDeclined;
  Encoder coder(p, end);
  for (uint32_t i = 0; i < len; ++i) {
    model->code(coder, last[i]);
    // Give up as soon as the output cannot fit.
    if ((i & 4095) == 0 && coder.overflow()) return kDeclined;
  }
  coder.flush();
  if (coder.overflow()) return kDeclined;
  return static_cast<uint32_t>(coder.position() - dst);
}

uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap) {
  const unsigned char* const end = src + len;
  uint32_t n = 0, primary = 0;
  const unsigned char* p = get_varint(src, end, n);
  if (p != nullptr) p = get_varint(p, end, primary);
  if (p == nullptr || n == 0 || n > cap || n > kMaxBlock || primary == 0 || primary > n)
    return kFailed;
  uint32_t starts[kMaxChains] = {};
  for (int j = 0; p != nullptr && j + 1 < chains_for(n); ++j) p = get_varint(p, end, starts[j]);
  if (p == nullptr) return kFailed;

  std::unique_ptr<Model> model = make_model(n);
  if (!model) return kFailed;
  Decoder coder(p, end);
  // The sorted bytes go straight into the destination; the inverse
  // transform reads them before it overwrites them.
  for (uint32_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(model->code(coder, 0));
  model.reset();
  return inverse(dst, n, primary, starts, dst) ? n : kFailed;
}

}  // namespace mirt::bwt
