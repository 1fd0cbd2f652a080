// The binary arithmetic coder of our modelling codecs: a 32-bit interval
// split at the probability of a 1, given in kBits bits (0 < p < 2^kBits).
// Carry-less: a byte goes out only once the top bytes of both ends agree,
// so the interval never straddles a carry. The model code is the same for
// both directions: code(bit, p) returns the bit it coded or decoded.
#pragma once

#include <cstdint>

namespace mirt::coding {

// The one byte that ends a stream lies inside the final interval; the
// decoder reads zeros after it. Which byte is part of a stored form.
enum class Flush {
  kHigh,      // the top byte of the upper end
  kAboveLow,  // one more than the top byte of the lower end
};

template <int kBits, Flush kFlush>
class BinaryEncoder {
  static_assert(kBits >= 1 && kBits <= 16);

 public:
  BinaryEncoder(unsigned char* out, uint32_t limit) : out_(out), limit_(limit) {}

  int code(int bit, uint32_t p) {
    const uint32_t mid = lo_ + static_cast<uint32_t>((uint64_t{hi_ - lo_} * p) >> kBits);
    // Selects, not branches: the bit is as good as random to the processor.
    hi_ = bit ? mid : hi_;
    lo_ = bit ? lo_ : mid + 1;
    while (((lo_ ^ hi_) & 0xFF000000u) == 0) {
      put(hi_ >> 24);
      lo_ <<= 8;
      hi_ = hi_ << 8 | 255;
    }
    return bit;
  }

  void flush() { put(kFlush == Flush::kHigh ? hi_ >> 24 : (lo_ >> 24) + 1); }
  // More than `limit` bytes were asked for; the rest were dropped.
  bool overflow() const { return overflow_; }
  uint32_t size() const { return n_; }

 private:
  void put(uint32_t b) {
    if (n_ < limit_)
      out_[n_++] = static_cast<unsigned char>(b);
    else
      overflow_ = true;
  }
  unsigned char* out_;
  uint32_t limit_;
  uint32_t n_ = 0;
  uint32_t lo_ = 0, hi_ = 0xFFFFFFFFu;
  bool overflow_ = false;
};

template <int kBits>
class BinaryDecoder {
  static_assert(kBits >= 1 && kBits <= 16);

 public:
  BinaryDecoder(const unsigned char* in, uint32_t len) : in_(in), end_(in + len) {
    for (int i = 0; i < 4; ++i) x_ = x_ << 8 | get();
  }

  // The bit argument is ignored: models call both directions alike.
  int code(int, uint32_t p) {
    const uint32_t mid = lo_ + static_cast<uint32_t>((uint64_t{hi_ - lo_} * p) >> kBits);
    const int bit = x_ <= mid;
    hi_ = bit ? mid : hi_;
    lo_ = bit ? lo_ : mid + 1;
    while (((lo_ ^ hi_) & 0xFF000000u) == 0) {
      lo_ <<= 8;
      hi_ = hi_ << 8 | 255;
      x_ = x_ << 8 | get();
    }
    return bit;
  }

  // Bytes read past the end of the input (zeros). A whole stream reads
  // exactly 3 (four ahead, one of them the flushed byte); more means the
  // input is damaged, and decoders stop rather than decode the length a
  // damaged header claims.
  uint32_t past_end() const { return past_; }

 private:
  uint32_t get() {
    if (in_ < end_) return *in_++;
    ++past_;
    return 0;
  }
  const unsigned char* in_;
  const unsigned char* end_;
  uint32_t lo_ = 0, hi_ = 0xFFFFFFFFu, x_ = 0;
  uint32_t past_ = 0;
};

}  // namespace mirt::coding
